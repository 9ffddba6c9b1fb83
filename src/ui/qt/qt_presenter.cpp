#include "ui/qt/qt_presenter.h"

#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QMessageBox>
#include <QVBoxLayout>

#include "seams/message_boxes.h"
#include "ui/dialog.h"
#include "ui/qt/dialog_window.h"
#include "ui/qt/display_probe.h"
#include "ui/qt/program_icon.h"
#include "ui/qt/window_title.h"

namespace countryset {

namespace {

constexpr unsigned kIconMask = 0xF0;

}  // namespace

QtPresenter::QtPresenter() {
    QApplication::setWindowIcon(ProgramIcon());
    // Dialogs and boxes come one after another, each in its own loop; a box closing while no
    // other window is up must not end the application.
    QApplication::setQuitOnLastWindowClosed(false);
}

QtPresenter::~QtPresenter() = default;

void QtPresenter::RunModal(CDialog& dlg) {
    m_progress.reset();
    QtDialogWindow window(dlg);
    m_active = &window;
    QEventLoop loop;
    QObject::connect(&window, &QtDialogWindow::ended, &loop, &QEventLoop::quit);
    // An application told to quit gives the dialog up; the model then cancels it.
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, &loop, &QEventLoop::quit);
    window.Open();
    if (!dlg.IsEnded()) {
        loop.exec(QEventLoop::DialogExec);
    }
    // As it was last drawn, disabled: what the operator sees while the run waits (ShowProgress).
    window.setEnabled(false);
    m_lastLook = window.grab();
    m_lastTitle = window.windowTitle();
    m_lastPlace = window.pos();
    window.hide();
    m_active = nullptr;
}

void QtPresenter::ShowProgress(const std::string& text) {
    if (!m_progress) {
        m_progress = std::make_unique<QWidget>(
            nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
        auto* layout = new QVBoxLayout(m_progress.get());
        auto* look = new QLabel(m_progress.get());
        look->setPixmap(m_lastLook);
        look->setObjectName("look");
        layout->addWidget(look);
        auto* line = new QLabel(m_progress.get());
        line->setObjectName("line");
        line->setTextFormat(Qt::PlainText);
        layout->addWidget(line);
        // The window itself stays enabled: the boxes it owns would be disabled with it.
        SetExactWindowTitle(*m_progress, m_lastTitle);
        m_progress->move(m_lastPlace);
    }
    m_progress->findChild<QLabel*>("line")->setText(ToQString(text));
    m_progress->show();
    m_progress->raise();
    // Drawn now: the run that follows keeps this thread until the modem has answered.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void QtPresenter::ShowMessage(const std::string& caption, const std::string& text, unsigned style) {
    // Owned by the progress window, when one is up, so it comes in front of it.
    QMessageBox box(m_progress.get());
    box.setIcon((style & kIconMask) == MB_ICONERROR ? QMessageBox::Critical : QMessageBox::NoIcon);
    box.setTextFormat(Qt::PlainText);
    box.setText(ToQString(text));
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    // Last, so nothing set before it can put another title in.
    SetExactWindowTitle(box, ToQString(caption));
    box.exec();
}

std::unique_ptr<Presenter> CreateQtPresenter(int& argc, char** argv, std::string* whyNot) {
    auto fail = [whyNot](const std::string& reason) -> std::unique_ptr<Presenter> {
        if (whyNot != nullptr) {
            *whyNot = reason;
        }
        return nullptr;
    };
    if (QCoreApplication::instance() != nullptr) {
        if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
            return fail("a Qt application without widgets is already running");
        }
        return std::make_unique<QtPresenter>();
    }
    const PlatformChoice choice =
        ChooseQtPlatform(DisplayEnvironment::FromProcess(), DisplayProbes::Real());
    if (choice.platform.empty()) {
        return fail(choice.whyNot);
    }
    // Exactly the platform that was probed, so Qt tries no other that could abort.
    qputenv("QT_QPA_PLATFORM", QByteArray::fromStdString(choice.platform));
    auto app = std::make_unique<QApplication>(argc, argv);
    auto presenter = std::make_unique<QtPresenter>();
    presenter->m_ownedApp = std::move(app);
    return presenter;
}

}  // namespace countryset

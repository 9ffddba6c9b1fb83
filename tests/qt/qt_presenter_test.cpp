// The desktop presenter in real Qt windows, on the offscreen platform and once more on a private X
// server: the country dialog drawn from its template, with focus and keys going through the
// model, and message boxes with their exact captions, also when asked for on another thread.
#include <QtTest>
#include <QtWidgets>
#include <chrono>
#include <cmath>
#include <functional>
#include <future>
#include <tuple>

#include "ui/qt/dialog_window.h"
#include "ui/qt/qt_presenter.h"
#include "ui/three_countries.h"
#include "ui/window_services.h"

#ifdef COUNTRYSET_HAVE_XCB
#include <QtGui/qguiapplication_platform.h>
#include <xcb/xcb.h>

#include <cstdlib>
#endif

namespace countryset {
namespace {

using Operate = std::function<void(QtDialogWindow&)>;
using W = QtDialogWindow&;

// The template's rectangles in the window's dialog units; the controls inside the window and
// apart, the buttons below the frame, the rest inside it; whole texts: the label grows past its
// template width where the font needs it.
void CheckLayout(W w) {
    const DialogUnits& u = w.Units();
    QCOMPARE(w.size(), QSize(u.X(205), u.Y(97)));
    QCOMPARE(w.ControlWidget(IDC_OK_BUTTON)->geometry(), u.Rect(43, 74, 50, 14));
    const QRect group = u.Rect(14, 6, 176, 60);
    QCOMPARE(w.ControlWidget(IDC_SETTING_GROUP)->geometry(), group);
    const int ids[] = {IDC_SELECTED_LABEL, IDC_OK_BUTTON, IDC_CANCEL_BUTTON, IDC_COUNTRY_LIST,
                       IDC_PORT_LIST};
    for (int id : ids) {
        const QRect r = w.ControlWidget(id)->geometry();
        const bool framed = id != IDC_OK_BUTTON && id != IDC_CANCEL_BUTTON;
        QVERIFY2(w.rect().contains(r) && group.contains(r) == framed &&
                     (framed || r.top() > group.bottom()),
                 qPrintable(QString::number(id)));
        for (int other : ids) {
            QVERIFY2(other == id || !r.intersects(w.ControlWidget(other)->geometry()),
                     qPrintable(QString("%1 overlaps %2").arg(id).arg(other)));
        }
    }
    auto* label = qobject_cast<QLabel*>(w.ControlWidget(IDC_SELECTED_LABEL));
    QVERIFY(label->width() >= label->fontMetrics().horizontalAdvance(label->text()));
}

// The country dialog of the UI tests (Italy preselected) under a single-byte (not UTF-8) title.
struct Run : ThreeCountries {
    Run() : ThreeCountries("Title=Caf\xe9\n") {}
    QtPresenter presenter;
    WindowServices services{"countryset", presenter};
    QObject alive;
    int width = 0;  // of the window once up

    // Runs the dialog; once its window is up, checks its layout and lets operate work in it. A
    // run the operator does not end is closed after a while, so that a broken key path fails
    // instead of hanging.
    INT_PTR Modal(const Operate& operate) {
        QTimer::singleShot(0, &alive, [this, operate] {
            QtDialogWindow* w = presenter.ActiveWindow();
            QVERIFY(w != nullptr && QTest::qWaitForWindowActive(w));
            width = w->width();
            CheckLayout(*w);
            operate(*w);
        });
        QTimer::singleShot(5000, &alive, [this] {
            if (QtDialogWindow* w = presenter.ActiveWindow()) {
                w->close();
                QFAIL("the dialog did not end");
            }
        });
        return dlg.DoModal();
    }
};

// Each key to the widget that has the focus at the time; Backtab with Shift, Enter from the
// keypad.
void Keys(QtDialogWindow& w, std::initializer_list<Qt::Key> keys) {
    for (Qt::Key key : keys) {
        QTest::keyClick(w.focusWidget() != nullptr ? w.focusWidget() : &w, key,
                        key == Qt::Key_Backtab ? Qt::ShiftModifier
                        : key == Qt::Key_Enter ? Qt::KeypadModifier
                                               : Qt::NoModifier);
    }
}

// What the operator does in the window, what DoModal gives and the code chosen. The OK button
// ends the dialog through the cancel command, so that result carries no meaning; the close box
// is refused to Qt, the model ends the dialog.
const std::tuple<const char*, Operate, INT_PTR, const char*> kRuns[] = {
    {"Tab order, then typing it",
     [](W w) {
         QCOMPARE(w.windowTitle(), QString("Caf\u00e9"));
         QCOMPARE(w.focusWidget(), w.ControlWidget(IDC_OK_BUTTON));
         // The hidden edits 1062 and 1068 are skipped; the order wraps.
         for (int id : {IDC_CANCEL_BUTTON, IDC_COUNTRY_LIST, IDC_PORT_LIST, IDC_OK_BUTTON,
                        IDC_CANCEL_BUTTON, IDC_COUNTRY_LIST}) {
             Keys(w, {Qt::Key_Tab});
             QCOMPARE(w.focusWidget(), w.ControlWidget(id));
         }
         qobject_cast<QComboBox*>(w.focusWidget())->lineEdit()->selectAll();
         QTest::keyClicks(w.focusWidget(), "sp");
         Keys(w, {Qt::Key_Backtab, Qt::Key_Backtab, Qt::Key_Return});
     },
     IDCANCEL, "11"},
    {"Enter in a closed list, focused by a click",
     [](W w) {
         w.ControlWidget(IDC_COUNTRY_LIST)->setFocus(Qt::MouseFocusReason);
         Keys(w, {Qt::Key_Enter});
     },
     IDCANCEL, "33"},
    {"Enter in an open list closes it, the next takes the choice",
     [](W w) {
         auto* combo = qobject_cast<QComboBox*>(w.ControlWidget(IDC_COUNTRY_LIST));
         combo->setFocus(Qt::MouseFocusReason);
         combo->showPopup();
         QTRY_VERIFY(combo->view()->isVisible());
         QTest::keyClick(combo->view(), Qt::Key_Down);
         QTest::keyClick(combo->view(), Qt::Key_Return);
         QTRY_VERIFY(!combo->view()->isVisible());
         QVERIFY(w.isVisible());
         Keys(w, {Qt::Key_Return});
     },
     IDCANCEL, "11"},
    {"Escape", [](W w) { Keys(w, {Qt::Key_Escape}); }, IDCANCEL, ""},
    {"close box", [](W w) { QVERIFY(!w.close()); }, IDCANCEL, ""},
};

// The title a window manager shows.
QString SystemTitle(QWidget* w) {
#ifdef COUNTRYSET_HAVE_XCB
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        auto* c = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
        auto* atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 12, "_NET_WM_NAME"), nullptr);
        auto* reply =
            xcb_get_property_reply(c,
                                   xcb_get_property(c, 0, static_cast<xcb_window_t>(w->winId()),
                                                    atom->atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024),
                                   nullptr);
        const QString title =
            QString::fromUtf8(static_cast<const char*>(xcb_get_property_value(reply)),
                              xcb_get_property_value_length(reply));
        std::free(atom);
        std::free(reply);
        return title;
    }
#endif
    return w->windowHandle()->title();
}

}  // namespace

class QtPresenterTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { QApplication::setFont(m_baseFont); }

    void dialogRuns_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<double>("scale");
        for (double scale : {1.0, 2.0}) {
            for (int i = 0; i < int(std::size(kRuns)); ++i) {
                QTest::addRow("%s, font at %g", std::get<0>(kRuns[i]), scale) << i << scale;
            }
        }
    }

    void dialogRuns() {
        QFETCH(int, row);
        QFETCH(double, scale);
        QFont font = m_baseFont;
        font.setPointSizeF(m_baseFont.pointSizeF() * scale);
        QApplication::setFont(font);
        const auto& [name, operate, result, code] = kRuns[row];
        Run run;
        QCOMPARE(run.Modal(operate), result);
        QCOMPARE(run.dlg.m_strCode, std::string(code));
        // The window came up (no width otherwise) and grows with its font.
        QVERIFY(std::abs(run.width / (scale * DialogUnits(m_baseFont).X(205)) - 1) < 0.15);
    }

    // The user-interface thread is busy, not serving events (a reply collection): the watcher's
    // box neither waits for it nor gets lost, and shows before the next box. Captions as passed,
    // an empty one too, not the application name, also in the window system's title. Each box
    // is recorded as "title|title in the window system|icon|buttons|text" and dismissed.
    void messageBoxes() {
        QtPresenter presenter;
        WindowServices services{"countryset", presenter};
        auto watcher = std::async(std::launch::async, [&] {
            services.AfxMessageBox("Failed to create event for thread!");
        });
        QVERIFY(watcher.wait_for(std::chrono::seconds(5)) == std::future_status::ready);
        QCOMPARE(services.PendingCount(), std::size_t(1));
        QStringList boxes;
        QTimer closer;
        connect(&closer, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                boxes << QStringList{box->windowTitle(), SystemTitle(box),
                                     QString::number(box->icon()),
                                     QString::number(box->buttons().size()), box->text()}
                             .join('|');
                QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
            }
        });
        closer.start(5);
        services.MessageBox("Country set successfully.", "", MB_OK);
        services.MessageBox("Can't open <COM1>\nline two", "Error", MB_ICONERROR);
        QCOMPARE(boxes, (QStringList{"countryset|countryset|0|1|Failed to create event for thread!",
                                     "||0|1|Country set successfully.",
                                     "Error|Error|3|1|Can't open <COM1>\nline two"}));
    }

    // While the run waits for the modem the dialog stays on screen, disabled, with what the run
    // does under it; the box that follows is owned by that window and in front of it, and the
    // next dialog takes its place.
    void progressWhileTheModemAnswers() {
        Run run;
        QCOMPARE(run.Modal([](W w) { Keys(w, {Qt::Key_Return}); }), INT_PTR(IDCANCEL));
        QCOMPARE(run.presenter.ProgressWindow(), nullptr);
        run.services.ShowProgress("Setting Italy on COM3...");
        QWidget* progress = run.presenter.ProgressWindow();
        QVERIFY(progress != nullptr && progress->isVisible());
        QCOMPARE(progress->windowTitle(), QString("Caf\u00e9"));
        QCOMPARE(progress->findChild<QLabel*>("line")->text(), QString("Setting Italy on COM3..."));
        const QPixmap look = progress->findChild<QLabel*>("look")->pixmap();
        QCOMPARE(look.width(), run.width * look.devicePixelRatio());

        QString shown;
        QTimer closer;
        connect(&closer, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                shown = QString("%1|%2|%3")
                            .arg(box->parentWidget() == progress)
                            .arg(box->isEnabled())
                            .arg(progress->isVisible());
                QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
            }
        });
        closer.start(5);
        run.services.MessageBox("Country set successfully.", "", MB_OK);
        QCOMPARE(shown, QString("1|1|1"));
        CCountryDlg next{run.profile, ThreeCountries::kPath, run.state};
        bool goneWhenDrawn = false;
        QTimer::singleShot(0, &run.alive, [&] {
            QtDialogWindow* w = run.presenter.ActiveWindow();
            QVERIFY(w != nullptr && QTest::qWaitForWindowActive(w));
            goneWhenDrawn = run.presenter.ProgressWindow() == nullptr;
            Keys(*w, {Qt::Key_Escape});
        });
        QCOMPARE(next.DoModal(), INT_PTR(IDCANCEL));
        QVERIFY(goneWhenDrawn);
    }

private:
    QFont m_baseFont = QApplication::font();
};

}  // namespace countryset

QTEST_MAIN(countryset::QtPresenterTest)
#include "qt_presenter_test.moc"

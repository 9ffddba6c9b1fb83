// Message boxes as QMessageBox: captions exactly as passed, the two styles, one OK button, and
// boxes asked for on another thread shown by the user-interface thread without deadlock.
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QWindow>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <thread>

#include "ui/country_dlg.h"
#include "ui/qt/dialog_window.h"
#include "ui/qt/qt_presenter.h"
#include "ui/window_services.h"

#ifdef COUNTRYSET_HAVE_XCB
#include <QtGui/qguiapplication_platform.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#endif

namespace countryset {
namespace {

bool PollUntil(const std::atomic<bool>& flag) {
    for (int i = 0; i < 500 && !flag.load(std::memory_order_acquire); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return flag.load(std::memory_order_acquire);
}

struct ShownBox {
    QString title;
    QString systemTitle;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int buttons = 0;
};

#ifdef COUNTRYSET_HAVE_XCB
// A text property of an X window; a null QString when the window does not have it.
QString X11TextProperty(xcb_connection_t* c, xcb_window_t window, const char* name) {
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    if (atom == nullptr) {
        return QString();
    }
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, atom->atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024), nullptr);
    std::free(atom);
    QString value;
    if (reply != nullptr && reply->type != XCB_ATOM_NONE) {
        value = QString::fromUtf8(static_cast<const char*>(xcb_get_property_value(reply)),
                                  xcb_get_property_value_length(reply));
        if (value.isNull()) {
            value = QStringLiteral("");
        }
    }
    std::free(reply);
    return value;
}
#endif

// The title as the window system has it: what a window manager shows.
QString SystemTitle(QWidget* w) {
#ifdef COUNTRYSET_HAVE_XCB
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
        const auto id = static_cast<xcb_window_t>(w->winId());
        const QString netName = X11TextProperty(x11->connection(), id, "_NET_WM_NAME");
        return !netName.isNull() ? netName : X11TextProperty(x11->connection(), id, "WM_NAME");
    }
#endif
    return w->windowHandle() != nullptr ? w->windowHandle()->title() : QStringLiteral("?");
}

QMessageBox* VisibleBox() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(w); box != nullptr && box->isVisible()) {
            return box;
        }
    }
    return nullptr;
}

// Records and dismisses, with its OK button, each message box that shows while it lives.
class BoxCloser : public QObject {
public:
    BoxCloser() {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            QMessageBox* box = VisibleBox();
            if (box == nullptr) {
                return;
            }
            ShownBox shown{box->windowTitle(), SystemTitle(box), box->text(), box->icon(),
                           static_cast<int>(box->buttons().size())};
            boxes.push_back(shown);
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        });
        m_timer.start(5);
    }
    std::vector<ShownBox> boxes;

private:
    QTimer m_timer;
};

}  // namespace

class MessageBoxTest : public QObject {
    Q_OBJECT

private slots:
    void captionIconAndText_data() {
        QTest::addColumn<QString>("caption");
        QTest::addColumn<unsigned>("style");
        QTest::addColumn<int>("icon");
        QTest::newRow("error") << "Error" << unsigned(MB_ICONERROR) << int(QMessageBox::Critical);
        QTest::newRow("empty caption") << "" << unsigned(MB_OK) << int(QMessageBox::NoIcon);
    }

    void captionIconAndText() {
        QFETCH(QString, caption);
        QFETCH(unsigned, style);
        QFETCH(int, icon);
        QtPresenter presenter;
        WindowServices services{"countryset", presenter};
        BoxCloser closer;
        services.MessageBox("Can't open <COM1>\nline two", caption.toStdString(), style);
        QCOMPARE(closer.boxes.size(), std::size_t(1));
        const ShownBox& box = closer.boxes[0];
        QCOMPARE(box.title, caption);
        // Not the application name, also where the platform window takes its title from.
        QCOMPARE(box.systemTitle, caption);
        QCOMPARE(int(box.icon), icon);
        QCOMPARE(box.text, QString("Can't open <COM1>\nline two"));
        QCOMPARE(box.buttons, 1);
    }

    // The user-interface thread is busy, not serving events (a reply collection); the watcher's
    // box must neither wait for it nor get lost.
    void boxFromAnotherThreadWhileTheUiThreadWaits() {
        QtPresenter presenter;
        WindowServices services{"countryset", presenter};
        std::atomic<bool> done{false};
        std::thread watcher([&] {
            services.AfxMessageBox("Failed to create event for thread!");
            done.store(true, std::memory_order_release);
        });
        const bool finished = PollUntil(done);
        watcher.join();
        QVERIFY(finished);
        QVERIFY(VisibleBox() == nullptr);

        BoxCloser closer;
        services.FlushPendingMessages();
        QCOMPARE(closer.boxes.size(), std::size_t(1));
        QCOMPARE(closer.boxes[0].text, QString("Failed to create event for thread!"));
        QCOMPARE(closer.boxes[0].title, QString("countryset"));
    }

    // Asked for by the watcher while a dialog runs: queued at once, never waiting for the
    // user-interface thread, and shown, captioned with the application name, before its next box.
    void boxFromAnotherThreadDuringADialog() {
        QtPresenter presenter;
        WindowServices services{"countryset", presenter};
        CDialog dlg(CountryDialogTemplate());
        std::atomic<bool> done{false};
        std::thread watcher;
        QTimer::singleShot(0, [&] {
            watcher = std::thread([&] {
                services.AfxMessageBox("queued");
                done.store(true, std::memory_order_release);
            });
            QTRY_VERIFY(done.load(std::memory_order_acquire));
            presenter.ActiveWindow()->close();
        });
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [&] {
            if (presenter.ActiveWindow() != nullptr) {
                presenter.ActiveWindow()->close();
            }
        });
        guard.start(5000);
        QCOMPARE(dlg.DoModal(), INT_PTR(IDCANCEL));
        watcher.join();
        QVERIFY(done.load());

        BoxCloser closer;
        services.MessageBox("Country set successfully.", "", MB_OK);
        QCOMPARE(closer.boxes.size(), std::size_t(2));
        QCOMPARE(closer.boxes[0].text, QString("queued"));
        QCOMPARE(closer.boxes[0].title, QString("countryset"));
        QCOMPARE(closer.boxes[1].text, QString("Country set successfully."));
    }
};

}  // namespace countryset

QTEST_MAIN(countryset::MessageBoxTest)
#include "message_box_test.moc"

// The choice of Qt platform before Qt starts, and the presenter refusing, not aborting, when no
// display can be opened.
#include <QApplication>
#include <QtTest>
#include <string>
#include <vector>

#include "ui/qt/display_probe.h"
#include "ui/qt/qt_presenter.h"

namespace countryset {
namespace {

struct FakeSystem {
    bool x11 = true;
    bool wayland = true;
    std::vector<std::string> missingPlugins;
    std::vector<std::string> waylandPaths;

    DisplayProbes Probes() {
        return DisplayProbes{[this](const std::string&) { return x11; },
                             [this](const std::string& path) {
                                 waylandPaths.push_back(path);
                                 return wayland;
                             },
                             [this](const std::string& platform) {
                                 for (const auto& missing : missingPlugins) {
                                     if (missing == platform) {
                                         return false;
                                     }
                                 }
                                 return true;
                             }};
    }
};

}  // namespace

class DisplayProbeTest : public QObject {
    Q_OBJECT

private slots:
    void choosesAPlatformThatCanOpen() {
        FakeSystem sys;
        DisplayEnvironment env;
        PlatformChoice c = ChooseQtPlatform(env, sys.Probes());
        QVERIFY(c.platform.empty());
        QCOMPARE(c.whyNot, std::string("no display: DISPLAY and WAYLAND_DISPLAY are not set"));

        env.display = ":5";
        QCOMPARE(ChooseQtPlatform(env, sys.Probes()).platform, std::string("xcb"));
        sys.x11 = false;
        c = ChooseQtPlatform(env, sys.Probes());
        QVERIFY(c.platform.empty());
        QCOMPARE(c.whyNot, std::string("cannot open the X display :5"));

        // A Wayland session is tried first, at its socket under the runtime folder; X remains.
        env.sessionType = "wayland";
        env.waylandDisplay = "wayland-1";
        env.runtimeDir = "/run/user/1000";
        QCOMPARE(ChooseQtPlatform(env, sys.Probes()).platform, std::string("wayland"));
        QCOMPARE(sys.waylandPaths.back(), std::string("/run/user/1000/wayland-1"));
        sys.x11 = true;
        sys.wayland = false;
        QCOMPARE(ChooseQtPlatform(env, sys.Probes()).platform, std::string("xcb"));
        sys.missingPlugins = {"xcb"};
        c = ChooseQtPlatform(env, sys.Probes());
        QVERIFY(c.platform.empty());
        QVERIFY(c.whyNot.find("wayland-1") != std::string::npos);
    }

    void anExplicitPlatformIsHonouredInItsOrder() {
        FakeSystem sys;
        DisplayEnvironment env;
        env.qpaPlatform = "offscreen";
        QCOMPARE(ChooseQtPlatform(env, sys.Probes()).platform, std::string("offscreen"));
        env.qpaPlatform = "wayland;xcb:nograb";
        env.display = ":0";
        sys.wayland = false;
        env.runtimeDir = "/run/user/1";
        QCOMPARE(ChooseQtPlatform(env, sys.Probes()).platform, std::string("xcb:nograb"));
        QCOMPARE(sys.waylandPaths.back(), std::string("/run/user/1/wayland-0"));
    }

    void realProbesFailQuietly() {
        const DisplayProbes real = DisplayProbes::Real();
        QVERIFY(!real.connectX11(":4711"));
        QVERIFY(!real.connectWayland("/nonexistent/wayland-0"));
        // Longer than a socket address holds: refused, never cut or copied past its end.
        QVERIFY(!real.connectWayland("/tmp/" + std::string(300, 'w')));
        QVERIFY(real.hasPlugin("offscreen"));
        QVERIFY(!real.hasPlugin("no-such-platform"));
    }

    // Must run last: it starts the one QApplication of this process.
    void presenterRefusesAnUnusableDisplayThenStarts() {
        static int argc = 1;
        static char name[] = "countryset";
        static char* argv[] = {name, nullptr};
        qunsetenv("QT_QPA_PLATFORM");
        qunsetenv("WAYLAND_DISPLAY");
        qputenv("DISPLAY", ":4711");
        std::string whyNot;
        QVERIFY(CreateQtPresenter(argc, argv, &whyNot) == nullptr);
        QCOMPARE(whyNot, std::string("cannot open the X display :4711"));
        QVERIFY(QCoreApplication::instance() == nullptr);

        qputenv("QT_QPA_PLATFORM", "offscreen");
        whyNot.clear();
        std::unique_ptr<Presenter> presenter = CreateQtPresenter(argc, argv, &whyNot);
        QVERIFY(presenter != nullptr);
        QVERIFY(whyNot.empty());
        QVERIFY(qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr);
        QCOMPARE(QGuiApplication::platformName(), QString("offscreen"));
        presenter.reset();
        QVERIFY(QCoreApplication::instance() == nullptr);
    }
};

}  // namespace countryset

QTEST_APPLESS_MAIN(countryset::DisplayProbeTest)
#include "display_probe_test.moc"

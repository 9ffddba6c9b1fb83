// The choice of Qt platform before Qt starts, and the presenter refusing, not aborting, when no
// display can be opened.
#include <QApplication>
#include <QtTest>
#include <string>
#include <tuple>

#include "ui/qt/display_probe.h"
#include "ui/qt/qt_presenter.h"

namespace countryset {

class DisplayProbeTest : public QObject {
    Q_OBJECT

private slots:
    // A Wayland session tries Wayland first, at its socket under the runtime folder, and X after
    // it; elsewhere X comes first. An explicit platform list is tried in its order. The reason
    // given is the first failure.
    void choosesAPlatformThatCanOpen() {
        // QT_QPA_PLATFORM, DISPLAY, a Wayland session on wayland-1; the displays that open (X,
        // Wayland), a plugin not installed; the choice, or the reason for none.
        const std::tuple<const char*, const char*, bool, std::string, const char*, const char*>
            cases[] = {
                {"", "", false, "XW", "", "no display: DISPLAY and WAYLAND_DISPLAY are not set"},
                {"", ":5", false, "XW", "", "xcb"},
                {"", ":5", false, "W", "", "cannot open the X display :5"},
                {"", ":5", true, "XW", "", "wayland"},
                {"", ":5", true, "X", "", "xcb"},
                {"", ":5", true, "X", "xcb", "cannot connect to the Wayland display wayland-1"},
                {"wayland;xcb:nograb", ":0", false, "XW", "", "xcb:nograb"},
                {"offscreen", "", false, "", "", "offscreen"}};
        for (const auto& [qpa, display, session, opens, missing, choice] : cases) {
            const DisplayProbes probes{
                [o = opens](const std::string&) { return o.find('X') != std::string::npos; },
                [o = opens](const std::string& path) {
                    return o.find('W') != std::string::npos && path == "/run/user/1/wayland-1";
                },
                [m = missing](const std::string& platform) { return platform != m; }};
            const DisplayEnvironment env{qpa, display,       session ? "wayland-1" : "",
                                         "",  "/run/user/1", session ? "wayland" : ""};
            const PlatformChoice c = ChooseQtPlatform(env, probes);
            QCOMPARE(c.platform.empty() ? c.whyNot : c.platform, std::string(choice));
        }
    }

    // The real probes fail quietly, so the presenter refuses a display that cannot be opened
    // instead of letting Qt end the process. Must run last: it starts this process's QApplication.
    void presenterRefusesAnUnusableDisplayThenStarts() {
        static int argc = 1;
        static char name[] = "countryset";
        static char* argv[] = {name, nullptr};
        qunsetenv("QT_QPA_PLATFORM");
        qunsetenv("WAYLAND_DISPLAY");
        qputenv("DISPLAY", ":4711");
        const DisplayProbes real = DisplayProbes::Real();
        QVERIFY(!real.connectWayland("/nonexistent/wayland-0"));
        // Longer than a socket address holds: refused, never cut or copied past its end.
        QVERIFY(!real.connectWayland("/tmp/" + std::string(300, 'w')));
        QVERIFY(real.hasPlugin("offscreen") && !real.hasPlugin("no-such-platform"));
        std::string whyNot;
        QVERIFY(CreateQtPresenter(argc, argv, &whyNot) == nullptr);
        QCOMPARE(whyNot, std::string("cannot open the X display :4711"));
        QVERIFY(QCoreApplication::instance() == nullptr);

        qputenv("QT_QPA_PLATFORM", "offscreen");
        std::unique_ptr<Presenter> presenter = CreateQtPresenter(argc, argv, &whyNot);
        QCOMPARE(QGuiApplication::platformName(), QString("offscreen"));  // so it started
        presenter.reset();
        QVERIFY(QCoreApplication::instance() == nullptr);
    }
};

}  // namespace countryset

QTEST_APPLESS_MAIN(countryset::DisplayProbeTest)
#include "display_probe_test.moc"

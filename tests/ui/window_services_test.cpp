#include "ui/window_services.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ui/scripted_presenter.h"
#include "ui/selection_dialog.h"

namespace countryset {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> Texts(const ScriptedPresenter& presenter) {
    std::vector<std::string> texts;
    for (const auto& m : presenter.Messages()) {
        texts.push_back(m.text);
    }
    return texts;
}

// Waits as the program's port close does, polling; gives up after a generous bound so a
// blocked worker fails the test instead of hanging it.
bool PollUntil(const std::atomic<bool>& flag) {
    for (int i = 0; i < 500 && !flag.load(std::memory_order_acquire); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    return flag.load(std::memory_order_acquire);
}

TEST(MessageBoxesOnTheUiThread, CaptionsAndStylesReachThePresenter) {
    ScriptedPresenter presenter;
    WindowServices services{"countryset", presenter};
    services.AfxMessageBox("Out of memory");
    services.MessageBox("Country set successfully.", "", MB_OK);
    services.MessageBox("Can't perform country setting on this model modem!", "Error",
                        MB_ICONERROR);
    const auto shown = presenter.Messages();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0].caption, "countryset");
    EXPECT_EQ(shown[0].style, MB_OK);
    EXPECT_EQ(shown[1].caption, "");
    EXPECT_EQ(shown[2].caption, "Error");
    EXPECT_EQ(shown[2].style, MB_ICONERROR);
    for (const auto& m : shown) {
        EXPECT_EQ(m.thread, std::this_thread::get_id());
    }
}

TEST(MessageBoxesFromAnotherThread, NeverWaitForTheUiThreadAndAllShowInOrder) {
    ScriptedPresenter presenter;
    WindowServices services{"countryset", presenter};
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        for (int i = 0; i < 5; ++i) {
            services.AfxMessageBox("box " + std::to_string(i));
        }
        done.store(true, std::memory_order_release);
    });
    // The user-interface thread is busy waiting for the watcher and shows nothing meanwhile.
    const bool finished = PollUntil(done);
    watcher.join();
    ASSERT_TRUE(finished);
    EXPECT_TRUE(presenter.Messages().empty());
    EXPECT_EQ(services.PendingCount(), 5u);

    services.FlushPendingMessages();
    EXPECT_EQ(Texts(presenter),
              (std::vector<std::string>{"box 0", "box 1", "box 2", "box 3", "box 4"}));
    for (const auto& m : presenter.Messages()) {
        EXPECT_EQ(m.caption, "countryset");
        EXPECT_EQ(m.thread, std::this_thread::get_id());
    }
}

TEST(MessageBoxesFromAnotherThread, QueuedBoxesComeBeforeTheNextBoxAndTheNextDialog) {
    ScriptedPresenter presenter;
    WindowServices services{"countryset", presenter};
    std::thread([&] { services.AfxMessageBox("from watcher"); }).join();
    services.MessageBox("from ui", "Error", MB_ICONERROR);
    EXPECT_EQ(Texts(presenter), (std::vector<std::string>{"from watcher", "from ui"}));

    std::thread([&] { services.AfxMessageBox("before dialog"); }).join();
    std::size_t shownWhenDialogOpened = 0;
    presenter.Check([&](CDialog&) { shownWhenDialogOpened = presenter.Messages().size(); });
    SelectionDialog dlg;
    dlg.DoModal();
    EXPECT_EQ(shownWhenDialogOpened, 3u);
}

TEST(MessageBoxesFromAnotherThread, QueueingWhileTheUiThreadShowsIsSafe) {
    ScriptedPresenter presenter;
    WindowServices services{"countryset", presenter};
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        for (int i = 0; i < 200; ++i) {
            services.AfxMessageBox(std::to_string(i));
        }
        done.store(true, std::memory_order_release);
    });
    while (!done.load(std::memory_order_acquire)) {
        services.FlushPendingMessages();
        std::this_thread::yield();
    }
    watcher.join();
    services.FlushPendingMessages();
    const auto texts = Texts(presenter);
    ASSERT_EQ(texts.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(texts[static_cast<std::size_t>(i)], std::to_string(i));
    }
}

TEST(ServicesRegistry, NewestServicesAreCurrentUntilDestroyed) {
    ScriptedPresenter a;
    ScriptedPresenter b;
    WindowServices outer{"outer", a};
    {
        WindowServices inner{"inner", b};
        EXPECT_EQ(WindowServices::Current(), &inner);
        CWnd wnd;
        wnd.MessageBox("hello", "Caption");
    }
    EXPECT_EQ(WindowServices::Current(), &outer);
    EXPECT_EQ(b.Messages().size(), 1u);
    EXPECT_TRUE(a.Messages().empty());
}

}  // namespace
}  // namespace countryset

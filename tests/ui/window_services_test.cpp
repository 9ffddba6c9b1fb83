#include "ui/window_services.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "fakes/scripted_presenter.h"

namespace countryset {
namespace {

// The watcher queues its boxes at once, without waiting for the user-interface thread: neither
// while that waits, showing nothing, as a reply collection does (bounded, so a watcher that waits
// for it fails instead of hanging), nor while it shows the queue. The user-interface thread shows
// them all, in order, before its own next box.
TEST(MessageBoxesFromAnotherThread, NeverWaitForTheUiThreadAndAllShowInOrder) {
    ScriptedPresenter presenter;
    WindowServices services{"countryset", presenter};
    std::vector<std::string> sent;
    for (int i = 0; i < 1000; ++i) {
        sent.push_back(std::to_string(i));
    }
    std::atomic<std::size_t> queued{0};
    std::thread watcher([&] {
        for (const std::string& text : sent) {
            services.AfxMessageBox(text);
            queued.fetch_add(1, std::memory_order_release);
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (queued.load(std::memory_order_acquire) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_GT(queued.load(std::memory_order_acquire), 0u);
    EXPECT_TRUE(presenter.Messages().empty());
    while (queued.load(std::memory_order_acquire) < sent.size()) {
        services.FlushPendingMessages();
    }
    watcher.join();

    services.MessageBox("from ui", "Error", MB_ICONERROR);
    sent.push_back("from ui");
    std::vector<std::string> shown;
    for (const auto& m : presenter.Messages()) {
        EXPECT_EQ(m.thread, std::this_thread::get_id());
        shown.push_back(m.text);
    }
    EXPECT_EQ(shown, sent);
}

// Several ports each run their dialog on a thread of their own: a window there reaches its own
// thread's services, never the newest of another thread, and the chain unwinds per thread.
TEST(WindowServicesPerThread, EachThreadReachesItsOwn) {
    ScriptedPresenter presenter;
    WindowServices mine{"countryset", presenter};
    std::promise<void> made;
    std::promise<void> checked;
    std::thread port([&] {
        EXPECT_EQ(WindowServices::Current(), nullptr);
        ScriptedPresenter portPresenter;
        WindowServices outer{"countryset", portPresenter};
        {
            WindowServices inner{"countryset", portPresenter};
            EXPECT_EQ(WindowServices::Current(), &inner);
        }
        EXPECT_EQ(WindowServices::Current(), &outer);
        made.set_value();
        checked.get_future().wait();
    });
    made.get_future().wait();
    // The port thread's services are the newest of the process now, and still alive.
    EXPECT_EQ(WindowServices::Current(), &mine);
    checked.set_value();
    port.join();
    EXPECT_EQ(WindowServices::Current(), &mine);
}

}  // namespace
}  // namespace countryset

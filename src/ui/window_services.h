// The window services: message boxes and modal runs through one presenter, for one
// user-interface thread. Boxes asked for on any other thread are queued and shown by the
// user-interface thread, in order, before its next box or dialog and at FlushPendingMessages.
#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "seams/message_boxes.h"
#include "ui/presenter.h"

namespace countryset {

class CWnd;
class CDialog;

class WindowServices : public MessageBoxes {
public:
    // The constructing thread is the user-interface thread. The newest living instance made on
    // the calling thread is the one that thread's windows without services of their own reach
    // (Current()): threads that each run a dialog (one per port) never reach another's.
    WindowServices(std::string appName, Presenter& presenter);
    ~WindowServices() override;
    WindowServices(const WindowServices&) = delete;
    WindowServices& operator=(const WindowServices&) = delete;

    static WindowServices* Current();

    // Application-captioned, no icon. Never waits for the user-interface thread: elsewhere it
    // queues the box and returns at once.
    void AfxMessageBox(const std::string& text) override;
    // Caption as passed, MB_OK or MB_ICONERROR. Off the user-interface thread it is queued.
    void MessageBox(const std::string& text, const std::string& caption, unsigned style) override;

    // Shows the queued boxes, in order; on another thread it does nothing.
    void FlushPendingMessages();
    // Shows the queued boxes, then lets the presenter run dlg.
    void RunModal(CDialog& dlg);

    const std::string& AppName() const { return m_appName; }
    Presenter& GetPresenter() const { return m_presenter; }
    void SetMainWnd(CWnd* wnd) { m_mainWnd = wnd; }
    CWnd* GetMainWnd() const { return m_mainWnd; }
    bool IsUiThread() const { return std::this_thread::get_id() == m_uiThread; }
    std::size_t PendingCount() const;

private:
    struct Pending {
        std::string caption;
        std::string text;
        unsigned style = MB_OK;
    };
    void Show(const std::string& caption, const std::string& text, unsigned style);

    std::string m_appName;
    Presenter& m_presenter;
    CWnd* m_mainWnd = nullptr;  // user-interface thread only
    const std::thread::id m_uiThread;
    WindowServices* m_previous;  // the thread's newest before this one

    mutable std::mutex m_mutex;
    std::deque<Pending> m_pending;  // guarded by m_mutex
};

}  // namespace countryset

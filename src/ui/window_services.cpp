#include "ui/window_services.h"

#include <utility>

#include "ui/dialog.h"

namespace countryset {

namespace {

// Per thread: threads that each run a dialog of their own (one per port) each reach their own.
thread_local WindowServices* t_current = nullptr;

}  // namespace

WindowServices::WindowServices(std::string appName, Presenter& presenter)
    : m_appName(std::move(appName)),
      m_presenter(presenter),
      m_uiThread(std::this_thread::get_id()),
      m_previous(std::exchange(t_current, this)) {}

WindowServices::~WindowServices() {
    if (t_current == this) {
        t_current = m_previous;
    }
}

WindowServices* WindowServices::Current() {
    return t_current;
}

void WindowServices::AfxMessageBox(const std::string& text) {
    Show(m_appName, text, MB_OK);
}

void WindowServices::MessageBox(const std::string& text, const std::string& caption,
                                unsigned style) {
    Show(caption, text, style);
}

void WindowServices::Show(const std::string& caption, const std::string& text, unsigned style) {
    if (!IsUiThread()) {
        std::lock_guard lock(m_mutex);
        m_pending.push_back(Pending{caption, text, style});
        return;
    }
    FlushPendingMessages();
    m_presenter.ShowMessage(caption, text, style);
}

void WindowServices::FlushPendingMessages() {
    if (!IsUiThread()) {
        return;
    }
    for (;;) {
        Pending next;
        {
            std::lock_guard lock(m_mutex);
            if (m_pending.empty()) {
                return;
            }
            next = std::move(m_pending.front());
            m_pending.pop_front();
        }
        // Shown outside the lock: the operator may take his time, and queuing must not wait.
        m_presenter.ShowMessage(next.caption, next.text, next.style);
    }
}

void WindowServices::RunModal(CDialog& dlg) {
    FlushPendingMessages();
    m_presenter.RunModal(dlg);
}

std::size_t WindowServices::PendingCount() const {
    std::lock_guard lock(m_mutex);
    return m_pending.size();
}

}  // namespace countryset

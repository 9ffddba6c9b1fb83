// The native Windows presenter: each dialog of the model runs as a dialog of the system's dialog
// manager, built from the same template; what the operator does goes to the model, and the
// windows are redrawn from it. Message boxes are the system's own.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "ui/presenter.h"
#include "ui/win32_text.h"

namespace countryset {

class Win32Presenter : public Presenter {
public:
    Win32Presenter() = default;
    ~Win32Presenter() override;
    Win32Presenter(const Win32Presenter&) = delete;
    Win32Presenter& operator=(const Win32Presenter&) = delete;

    void RunModal(CDialog& dlg) override;
    // Owned by the dialog being run, so that it stays out of reach until the box is dismissed;
    // by no window when none runs.
    void ShowMessage(const std::string& caption, const std::string& text, unsigned style) override;
    // A small window under the last dialog's title with the line; the boxes that follow are
    // owned by it and come to the front. Gone at the next dialog.
    void ShowProgress(const std::string& text) override;

    // The progress window while one is shown; nullptr otherwise.
    void* ProgressWindow() const { return m_progress; }

private:
    void CloseProgress();

    void* m_activeDialog = nullptr;  // the native window of the dialog being run
    std::wstring m_lastTitle;        // of the last dialog run
    void* m_progress = nullptr;      // its window
    void* m_progressFont = nullptr;  // the font of its line, made for it
};

// What the session says of its windows.
struct WindowSession {
    bool windowMade = false;      // a window could be made at all
    bool stationKnown = false;    // the window station's flags could be read
    bool stationVisible = false;  // and it is one the operator sees
};

// Why the native dialog cannot run in this session, or "" when it can. A service, an SSH
// session or a task run while no one is logged on can make windows, but on a window station
// no one sees: a dialog there would wait for good.
std::string WhyNoDialog(const WindowSession& session);

// The native presenter; nullptr, with the reason in whyNot, when this session cannot show windows
// (no display under Wine, a service without a desktop).
std::unique_ptr<Presenter> CreateWin32Presenter(std::string* whyNot);

}  // namespace countryset

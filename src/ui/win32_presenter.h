// The native Windows presenter: each dialog of the model runs as a dialog of the system's dialog
// manager, built from the same template; what the operator does goes to the model, and the
// windows are redrawn from it. Message boxes are the system's own.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "ui/presenter.h"

namespace countryset {

class Win32Presenter : public Presenter {
public:
    Win32Presenter() = default;
    ~Win32Presenter() override = default;
    Win32Presenter(const Win32Presenter&) = delete;
    Win32Presenter& operator=(const Win32Presenter&) = delete;

    void RunModal(CDialog& dlg) override;
    // Owned by the dialog being run, so that it stays out of reach until the box is dismissed;
    // by no window when none runs.
    void ShowMessage(const std::string& caption, const std::string& text, unsigned style) override;

private:
    void* m_activeDialog = nullptr;  // the native window of the dialog being run
};

// The native presenter; nullptr, with the reason in whyNot, when this session cannot open windows
// (no display under Wine, a service without a desktop).
std::unique_ptr<Presenter> CreateWin32Presenter(std::string* whyNot);

// A GUI-subsystem program starts without a console: the standard streams that are not already
// redirected are pointed at the console of the program that started it, or at a new one. False
// when there is neither.
bool UseConsoleWindow();

// Settings texts are bytes. Shown as UTF-8 when the whole text is well-formed UTF-8, otherwise
// in the system's ANSI code page, as the single-byte programs that wrote such files showed them.
std::wstring ShownText(std::string_view bytes);
// What the operator typed, back as bytes: in the ANSI code page when ansi (the texts it is
// matched against are shown that way), otherwise UTF-8.
std::string TypedText(const std::wstring& typed, bool ansi);
// Whether text would be shown through the ANSI code page.
bool ShownAsAnsi(std::string_view bytes);

}  // namespace countryset

// Message boxes as the program's logic asks for them. Each is modal with one OK button.
// Every layer that reports to the operator (serial, ui, app) includes this; it includes nothing
// of theirs.
#pragma once

#include <string>

namespace countryset {

inline constexpr unsigned MB_OK = 0;
inline constexpr unsigned MB_ICONERROR = 16;

// One box as a value, for the code that decides what to tell apart from the code that tells it.
struct MessageBoxText {
    std::string text;
    std::string caption;
    unsigned style = MB_OK;
    bool application = false;  // an application box (AfxMessageBox): caption and style unused
};

class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // Captioned with the application name, no icon. Callable from any thread; it never waits
    // for the user-interface thread, so a caller that the user-interface thread joins cannot
    // deadlock with it.
    virtual void AfxMessageBox(const std::string& text) = 0;
    // Caption as passed ("" is an empty title), style MB_OK or MB_ICONERROR. User-interface
    // thread only.
    virtual void MessageBox(const std::string& text, const std::string& caption,
                            unsigned style) = 0;

    // A line on what the run is doing while it waits, until the boxes that follow; left out
    // where there is nowhere to show it. User-interface thread only.
    virtual void ShowProgress(const std::string& text) { static_cast<void>(text); }

    void ShowBox(const MessageBoxText& box) {
        if (box.application) {
            AfxMessageBox(box.text);
        } else {
            MessageBox(box.text, box.caption, box.style);
        }
    }
};

}  // namespace countryset

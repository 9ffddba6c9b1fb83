// The presenter seam: draws dialogs and message boxes and forwards what the operator did to the
// dialog model. A presenter holds no behaviour of its own.
#pragma once

#include <string>

namespace countryset {

class CDialog;

class Presenter {
public:
    virtual ~Presenter() = default;
    // Draws dlg and forwards the operator's actions to it; returns once dlg.IsEnded().
    virtual void RunModal(CDialog& dlg) = 0;
    // A modal message box with one OK button; returns when the operator dismissed it. style is
    // MB_OK or MB_ICONERROR. Called on the user-interface thread only.
    virtual void ShowMessage(const std::string& caption, const std::string& text,
                             unsigned style) = 0;
    // What the run does while the operator waits for the port and the modem ("Setting France
    // on COM3..."): shown until the next dialog, with the boxes that follow in front of it. A
    // presenter with nowhere to show it leaves it out. User-interface thread only.
    virtual void ShowProgress(const std::string& text) { static_cast<void>(text); }
};

}  // namespace countryset

// The dialog model: a modal dialog built from a template, with its controls, focus, keys,
// data exchange and command map. Presenters draw it and call the operator actions below;
// every rule lives here, so it holds the same in every presenter.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ui/dialog_templates.h"
#include "ui/icon.h"
#include "ui/window.h"

namespace countryset {

class CDialog;

// One run of the data exchange: the direction, the dialog, and whether a check failed.
class CDataExchange {
public:
    CDataExchange(CDialog* dlg, bool saveAndValidate)
        : m_bSaveAndValidate(saveAndValidate), m_pDlgWnd(dlg) {}

    const bool m_bSaveAndValidate;
    CDialog* const m_pDlgWnd;
    int m_idLastControl = 0;  // the control the last DDX_ call exchanged with
    bool m_bFailed = false;   // a check failed; later exchanges of this run are skipped

    // Marks the run failed (the dialog stays open).
    void Fail() { m_bFailed = true; }
};

// Edit control id <-> value.
void DDX_Text(CDataExchange* pDX, int nIDC, std::string& value);
// Loading: the limit goes to the edit control of the last DDX_Text. Saving: a longer value
// fails the exchange with a message.
void DDV_MaxChars(CDataExchange* pDX, const std::string& value, int nChars);
// Drop-down list id <-> value. Saving reads the edit-field text; loading selects the first
// item that value is a prefix of and, with none, puts value in the edit field.
void DDX_CBString(CDataExchange* pDX, int nIDC, std::string& value);

class CDialog : public CWnd {
public:
    // pParentWnd: the owner; nullptr means the application's main window.
    explicit CDialog(const DialogTemplate& tmpl, CWnd* pParentWnd = nullptr);
    ~CDialog() override;

    // Create, OnCreate (-1: return -1 at once), OnInitDialog, the presenter's operator loop,
    // the end result. A dialog ended during initialisation never reaches the presenter.
    // -1 also when there are no window services.
    virtual INT_PTR DoModal();
    void EndDialog(int nResult);

    // A control of the dialog; nullptr when there is none with that id or no window yet.
    CWnd* GetDlgItem(int nID) const;
    CComboBox* GetComboBox(int nID) const;
    CEdit* GetEdit(int nID) const;

    // Runs DoDataExchange in the given direction; false when a check failed.
    bool UpdateData(bool bSaveAndValidate = true);
    // The big icon (title bar, task switcher) or the small one.
    void SetIcon(const Icon& icon, bool bBigIcon);

    WindowServices* GetServices() const override;

    // --- Operator actions, called by presenters. Each returns false when it had no effect
    // (dialog not running, no such visible control, ...).
    // Enter: in a list with its drop-down part open, closes it and keeps the highlighted item;
    // otherwise presses the focused push button; with none, the default button if the template
    // has one, else the standard OK command.
    bool PressEnter();
    // Escape: the cancel command.
    bool PressEscape();
    // The close box: the cancel command.
    bool CloseBox();
    // Clicks a visible push button: its command.
    bool Click(int nID);
    // Gives the focus to a visible edit, button or list.
    bool SetFocus(int nID);
    // Tab / Shift+Tab: the next / previous visible tab stop in template order, wrapping.
    bool PressTab(bool backwards = false);
    // Picks an item of a visible list from its drop-down part (outside the list: none).
    bool SelectItem(int listId, int pos);
    // Opens (the list takes the focus) or closes the drop-down part of a visible list.
    bool ShowDropDown(int listId, bool show);
    // Replaces the text of a visible edit or list edit field by what the operator typed.
    bool TypeText(int nID, std::string_view text);

    // --- What a presenter reads to draw.
    const DialogTemplate& GetTemplate() const { return *m_template; }
    // The controls in template order (empty before the window exists).
    const std::vector<std::unique_ptr<CWnd>>& Controls() const { return m_controls; }
    int GetFocusId() const { return m_focusId; }  // 0: no control has the focus
    bool IsRunning() const { return m_running; }  // between creation and the end
    bool IsEnded() const { return m_ended; }
    int GetResult() const { return m_result; }
    // Grows with every change a presenter would redraw.
    unsigned long GetRevision() const { return m_revision; }

protected:
    // Creation handler: 0 to go on, -1 to fail the modal run.
    virtual int OnCreate() { return 0; }
    // Loads the data exchange; true gives the focus to the first visible tab stop.
    virtual bool OnInitDialog();
    virtual void DoDataExchange(CDataExchange* /*pDX*/) {}
    // The standard OK command: saving exchange, then IDOK.
    virtual void OnOK();
    // The standard cancel command: IDCANCEL, no exchange.
    virtual void OnCancel();

    // Message map: clicking control nID (or the command nID) runs handler. Without an entry,
    // IDOK runs OnOK and IDCANCEL runs OnCancel.
    void MapCommand(int nID, std::function<void()> handler);
    // Runs the command nID as the map says.
    void OnCommand(int nID);

private:
    void CreateControls();
    const ControlTemplate* FocusableControl(int nID) const;
    // A drop-down part closes when its list loses the focus.
    void MoveFocus(int nID);
    void NoteChange() { ++m_revision; }

    const DialogTemplate* m_template;
    CWnd* m_pParentWnd;
    std::vector<std::unique_ptr<CWnd>> m_controls;
    std::map<int, std::function<void()>> m_commands;
    int m_focusId = 0;
    bool m_running = false;
    bool m_ended = false;
    int m_result = 0;
    unsigned long m_revision = 0;

    friend class CWnd;
};

}  // namespace countryset

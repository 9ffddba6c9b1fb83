// Windows of the dialog model: CWnd (any window: text, visibility, messages, message boxes) and
// the two controls with behaviour of their own, CEdit and CComboBox. Message numbers and
// results are those programs for the classic platform have always used.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "seams/message_boxes.h"
#include "ui/dialog_templates.h"
#include "ui/drop_down_list.h"
#include "ui/icon.h"

namespace countryset {

using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using INT_PTR = std::intptr_t;

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;

inline constexpr unsigned WM_SETTEXT = 0x000C;
inline constexpr unsigned WM_GETTEXT = 0x000D;  // WPARAM: buffer size, LPARAM: char*
inline constexpr unsigned WM_GETTEXTLENGTH = 0x000E;
inline constexpr unsigned WM_SETICON = 0x0080;  // WPARAM: ICON_BIG/ICON_SMALL, LPARAM: const Icon*
inline constexpr unsigned EM_LIMITTEXT = 0x00C5;
inline constexpr unsigned CB_GETEDITSEL = 0x0140;
inline constexpr unsigned CB_ADDSTRING = 0x0143;
inline constexpr unsigned CB_GETCOUNT = 0x0146;
inline constexpr unsigned CB_GETCURSEL = 0x0147;
inline constexpr unsigned CB_GETLBTEXTLEN = 0x0149;
inline constexpr unsigned CB_RESETCONTENT = 0x014B;
inline constexpr unsigned CB_FINDSTRING = 0x014C;
inline constexpr unsigned CB_SELECTSTRING = 0x014D;
inline constexpr unsigned CB_SETCURSEL = 0x014E;
inline constexpr unsigned CB_SHOWDROPDOWN = 0x014F;  // WPARAM: nonzero opens, 0 closes
inline constexpr unsigned CB_GETDROPPEDSTATE = 0x0157;

inline constexpr WPARAM ICON_SMALL = 0;
inline constexpr WPARAM ICON_BIG = 1;

class CDialog;
class WindowServices;

class CWnd {
public:
    CWnd() = default;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;
    virtual ~CWnd() = default;

    void SetWindowText(std::string_view text);
    std::string GetWindowText() const { return m_text; }
    // WM_SETTEXT/WM_GETTEXT/WM_GETTEXTLENGTH/WM_SETICON here, control messages in the
    // controls; anything else gives 0. A text passed in LPARAM is a const char* (null reads as
    // the empty text).
    virtual LRESULT SendMessage(unsigned message, WPARAM wParam = 0, LPARAM lParam = 0);

    // Modal window message box through the window services; returns IDOK.
    int MessageBox(const std::string& text, const std::string& caption, unsigned style = MB_OK);

    bool IsWindowVisible() const { return m_visible; }
    void ShowWindow(bool show);
    int GetDlgCtrlID() const { return m_controlId; }
    // The dialog a control lives in; nullptr for a top-level window.
    CDialog* GetParent() const { return m_parent; }
    // The template the control was built from; nullptr for a dialog.
    const ControlTemplate* GetControlTemplate() const { return m_template; }

    // The icons WM_SETICON recorded (null icons until set).
    const Icon& GetIcon(bool bigIcon) const { return bigIcon ? m_bigIcon : m_smallIcon; }

    // The services this window reaches; nullptr when there are none.
    virtual WindowServices* GetServices() const;

protected:
    // A control of dialog parent, built from tmpl.
    void AttachToDialog(CDialog* parent, const ControlTemplate* tmpl);
    void SetTextNoNotify(std::string_view text) { m_text = text; }
    // Lets a control keep its own copy of the text in step.
    virtual void OnTextSet() {}
    // Tells the dialog that something a presenter draws has changed.
    void Changed();

private:
    std::string m_text;
    bool m_visible = false;
    int m_controlId = 0;
    CDialog* m_parent = nullptr;
    const ControlTemplate* m_template = nullptr;
    Icon m_bigIcon;
    Icon m_smallIcon;

    friend class CDialog;
};

// Edit field: a text with a limit on what the operator may type.
class CEdit : public CWnd {
public:
    static constexpr int kDefaultLimit = 30000;
    static constexpr int kMaxLimit = 0x7FFFFFFE;

    // EM_LIMITTEXT: WPARAM is the limit in characters, 0 for the largest.
    LRESULT SendMessage(unsigned message, WPARAM wParam = 0, LPARAM lParam = 0) override;
    void SetLimitText(int nMax);
    int GetLimitText() const { return m_limit; }
    // The operator replaced the text: cut at the limit, upper case when the style says so.
    void TypeText(std::string_view text);

private:
    int m_limit = kDefaultLimit;
};

// Drop-down list with an edit field. The window text is the edit field's text.
class CComboBox : public CWnd {
public:
    LRESULT SendMessage(unsigned message, WPARAM wParam = 0, LPARAM lParam = 0) override;

    int AddString(std::string_view text);
    void ResetContent();
    int GetCount() const { return m_list.GetCount(); }
    std::string GetLBText(int pos) const { return m_list.GetLBText(pos); }
    int SetCurSel(int pos);
    int GetCurSel() const { return m_list.GetCurSel(); }
    int FindString(int start, std::string_view text) const {
        return m_list.FindString(start, text);
    }
    int SelectString(int start, std::string_view text);
    // The operator typed into the edit field.
    void TypeText(std::string_view text);
    // Whether the drop-down part is open. Presenters that draw one keep it in step, so that the
    // keys mean what they mean in an open list.
    void ShowDropDown(bool show) { m_dropped = show; }
    bool GetDroppedState() const { return m_dropped; }

    const DropDownList& List() const { return m_list; }

protected:
    void OnTextSet() override;

private:
    void SyncText();

    DropDownList m_list;
    bool m_dropped = false;
    friend class CDialog;
};

}  // namespace countryset

// Windows of the dialog model: CWnd (any window: text, visibility, icons, message boxes) and
// the two controls with behaviour of their own, CEdit and CComboBox. Each is driven through its
// typed methods; results (IDOK, CB_ERR) are those programs for the classic platform have always
// used.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "seams/message_boxes.h"
#include "ui/dialog_templates.h"
#include "ui/drop_down_list.h"
#include "ui/icon.h"

namespace countryset {

using INT_PTR = std::intptr_t;

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;

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

    // Modal window message box through the window services; returns IDOK.
    int MessageBox(const std::string& text, const std::string& caption, unsigned style = MB_OK);

    bool IsWindowVisible() const { return m_visible; }
    void ShowWindow(bool show);
    int GetDlgCtrlID() const { return m_controlId; }
    // The dialog a control lives in; nullptr for a top-level window.
    CDialog* GetParent() const { return m_parent; }
    // The template the control was built from; nullptr for a dialog.
    const ControlTemplate* GetControlTemplate() const { return m_template; }

    // The icons the dialog was given (null icons until set).
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

    // The limit in characters; 0 or less for the largest.
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

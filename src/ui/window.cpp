#include "ui/window.h"

#include "ui/dialog.h"
#include "ui/window_services.h"

namespace countryset {

void CWnd::SetWindowText(std::string_view text) {
    m_text = text;
    OnTextSet();
    Changed();
}

void CWnd::ShowWindow(bool show) {
    if (m_visible != show) {
        m_visible = show;
        Changed();
    }
}

int CWnd::MessageBox(const std::string& text, const std::string& caption, unsigned style) {
    if (WindowServices* services = GetServices()) {
        services->MessageBox(text, caption, style);
    }
    return IDOK;
}

WindowServices* CWnd::GetServices() const {
    return m_parent != nullptr ? m_parent->GetServices() : WindowServices::Current();
}

void CWnd::AttachToDialog(CDialog* parent, const ControlTemplate* tmpl) {
    m_parent = parent;
    m_template = tmpl;
    m_controlId = tmpl->id;
    m_visible = tmpl->Has(ctl::kVisible);
    SetTextNoNotify(tmpl->text);
    OnTextSet();
}

void CWnd::Changed() {
    if (m_parent != nullptr) {
        m_parent->NoteChange();
    } else if (auto* self = dynamic_cast<CDialog*>(this)) {
        self->NoteChange();
    }
}

void CEdit::SetLimitText(int nMax) {
    m_limit = nMax <= 0 ? kMaxLimit : nMax;
}

void CEdit::TypeText(std::string_view text) {
    std::string typed(text.substr(0, static_cast<std::size_t>(m_limit)));
    const ControlTemplate* tmpl = GetControlTemplate();
    if (tmpl != nullptr && tmpl->Has(ctl::kUpperCase)) {
        for (char& c : typed) {
            if (c >= 'a' && c <= 'z') {
                c = static_cast<char>(c - 'a' + 'A');
            }
        }
    }
    SetWindowText(typed);
}

int CComboBox::AddString(std::string_view text) {
    const int pos = m_list.AddString(text);
    Changed();
    return pos;
}

void CComboBox::ResetContent() {
    m_list.ResetContent();
    SyncText();
}

int CComboBox::SetCurSel(int pos) {
    const int result = m_list.SetCurSel(pos);
    SyncText();
    return result;
}

int CComboBox::SelectString(int start, std::string_view text) {
    const int result = m_list.SelectString(start, text);
    SyncText();
    return result;
}

void CComboBox::TypeText(std::string_view text) {
    m_list.TypeText(text);
    SyncText();
}

void CComboBox::OnTextSet() {
    m_list.SetEditText(GetWindowText());
}

void CComboBox::SyncText() {
    SetTextNoNotify(m_list.GetEditText());
    Changed();
}

}  // namespace countryset

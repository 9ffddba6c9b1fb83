#include "ui/window.h"

#include <algorithm>
#include <cstring>

#include "ui/dialog.h"
#include "ui/window_services.h"

namespace countryset {

namespace {

std::string_view TextParam(LPARAM lParam) {
    const char* text = reinterpret_cast<const char*>(lParam);
    return text != nullptr ? std::string_view(text) : std::string_view();
}

}  // namespace

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

LRESULT CWnd::SendMessage(unsigned message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_SETTEXT:
            SetWindowText(TextParam(lParam));
            return 1;
        case WM_GETTEXT: {
            // Copies at most wParam - 1 characters and always terminates: never past the buffer.
            char* buffer = reinterpret_cast<char*>(lParam);
            if (buffer == nullptr || wParam == 0) {
                return 0;
            }
            const std::size_t n = std::min<std::size_t>(m_text.size(), wParam - 1);
            std::memcpy(buffer, m_text.data(), n);
            buffer[n] = '\0';
            return static_cast<LRESULT>(n);
        }
        case WM_GETTEXTLENGTH:
            return static_cast<LRESULT>(m_text.size());
        case WM_SETICON: {
            const Icon* icon = reinterpret_cast<const Icon*>(lParam);
            Icon& slot = wParam == ICON_BIG ? m_bigIcon : m_smallIcon;
            slot = icon != nullptr ? *icon : Icon{};
            Changed();
            return 0;
        }
        default:
            return 0;
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

LRESULT CEdit::SendMessage(unsigned message, WPARAM wParam, LPARAM lParam) {
    if (message == EM_LIMITTEXT) {
        SetLimitText(static_cast<int>(std::min<WPARAM>(wParam, kMaxLimit)));
        return 0;
    }
    return CWnd::SendMessage(message, wParam, lParam);
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

LRESULT CComboBox::SendMessage(unsigned message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case CB_ADDSTRING:
            return AddString(TextParam(lParam));
        case CB_RESETCONTENT:
            ResetContent();
            return 0;
        case CB_GETCOUNT:
            return GetCount();
        case CB_GETCURSEL:
            return GetCurSel();
        case CB_SETCURSEL:
            return SetCurSel(static_cast<int>(static_cast<LPARAM>(wParam)));
        case CB_FINDSTRING:
            return FindString(static_cast<int>(static_cast<LPARAM>(wParam)), TextParam(lParam));
        case CB_SELECTSTRING:
            return SelectString(static_cast<int>(static_cast<LPARAM>(wParam)), TextParam(lParam));
        case CB_SHOWDROPDOWN:
            ShowDropDown(wParam != 0);
            return 1;
        case CB_GETDROPPEDSTATE:
            return GetDroppedState() ? 1 : 0;
        case CB_GETLBTEXTLEN: {
            const int pos = static_cast<int>(static_cast<LPARAM>(wParam));
            if (pos < 0 || pos >= GetCount()) {
                return CB_ERR;
            }
            return static_cast<LRESULT>(m_list.GetLBText(pos).size());
        }
        default:
            return CWnd::SendMessage(message, wParam, lParam);
    }
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

#include "ui/dialog.h"

#include <utility>

#include "ui/window_services.h"

namespace countryset {

namespace {

bool TakesFocus(const ControlTemplate& c) {
    return c.kind != ControlKind::StaticText && c.kind != ControlKind::GroupBox;
}

}  // namespace

void DDX_Text(CDataExchange* pDX, int nIDC, std::string& value) {
    if (pDX->m_bFailed) {
        return;
    }
    CWnd* wnd = pDX->m_pDlgWnd->GetDlgItem(nIDC);
    if (wnd == nullptr) {
        return;
    }
    pDX->m_idLastControl = nIDC;
    if (pDX->m_bSaveAndValidate) {
        value = wnd->GetWindowText();
    } else {
        wnd->SetWindowText(value);
    }
}

void DDV_MaxChars(CDataExchange* pDX, const std::string& value, int nChars) {
    if (pDX->m_bFailed) {
        return;
    }
    if (!pDX->m_bSaveAndValidate) {
        if (CEdit* edit = pDX->m_pDlgWnd->GetEdit(pDX->m_idLastControl)) {
            edit->SetLimitText(nChars);
        }
        return;
    }
    if (nChars >= 0 && value.size() > static_cast<std::size_t>(nChars)) {
        if (WindowServices* services = pDX->m_pDlgWnd->GetServices()) {
            services->AfxMessageBox("Enter no more than " + std::to_string(nChars) +
                                    " characters.");
        }
        pDX->m_pDlgWnd->SetFocus(pDX->m_idLastControl);
        pDX->Fail();
    }
}

void DDX_CBString(CDataExchange* pDX, int nIDC, std::string& value) {
    if (pDX->m_bFailed) {
        return;
    }
    CComboBox* combo = pDX->m_pDlgWnd->GetComboBox(nIDC);
    if (combo == nullptr) {
        return;
    }
    pDX->m_idLastControl = nIDC;
    if (pDX->m_bSaveAndValidate) {
        value = combo->GetWindowText();
    } else if (combo->SelectString(-1, value) == CB_ERR) {
        combo->SetWindowText(value);
    }
}

CDialog::CDialog(const DialogTemplate& tmpl, CWnd* pParentWnd)
    : m_template(&tmpl), m_pParentWnd(pParentWnd) {
    SetTextNoNotify(tmpl.caption);
}

CDialog::~CDialog() {
    // A main window that goes away must not stay reachable as one. Only the current services
    // are asked: an owner may already be gone.
    WindowServices* services = WindowServices::Current();
    if (services != nullptr && services->GetMainWnd() == this) {
        services->SetMainWnd(nullptr);
    }
}

WindowServices* CDialog::GetServices() const {
    if (m_pParentWnd != nullptr) {
        return m_pParentWnd->GetServices();
    }
    return WindowServices::Current();
}

void CDialog::CreateControls() {
    m_controls.clear();
    for (const ControlTemplate& c : m_template->controls) {
        std::unique_ptr<CWnd> wnd;
        if (c.kind == ControlKind::Edit) {
            wnd = std::make_unique<CEdit>();
        } else if (c.kind == ControlKind::DropDownList) {
            auto combo = std::make_unique<CComboBox>();
            combo->m_list = DropDownList(c.Has(ctl::kSort));
            wnd = std::move(combo);
        } else {
            wnd = std::make_unique<CWnd>();
        }
        wnd->AttachToDialog(this, &c);
        m_controls.push_back(std::move(wnd));
    }
    SetTextNoNotify(m_template->caption);
    m_visible = !m_template->Has(dlg::kHiddenUntilShown);
    m_focusId = 0;
    m_ended = false;
    m_result = 0;
    NoteChange();
}

INT_PTR CDialog::DoModal() {
    WindowServices* services = GetServices();
    if (services == nullptr || m_running) {
        return -1;
    }
    CreateControls();
    m_running = true;
    if (OnCreate() == -1) {
        m_running = false;
        m_controls.clear();
        return -1;
    }
    if (OnInitDialog() && !m_ended) {
        for (const auto& c : m_controls) {
            if (c->IsWindowVisible() && c->GetControlTemplate()->Has(ctl::kTabStop)) {
                m_focusId = c->GetDlgCtrlID();
                break;
            }
        }
    }
    if (!m_ended) {
        ShowWindow(true);
        services->RunModal(*this);
        // A presenter that gives up (its operator went away) leaves as the close box would.
        if (!m_ended) {
            OnCommand(IDCANCEL);
        }
        if (!m_ended) {
            EndDialog(IDCANCEL);
        }
    }
    m_running = false;
    ShowWindow(false);
    return m_result;
}

void CDialog::EndDialog(int nResult) {
    m_result = nResult;
    m_ended = true;
    NoteChange();
}

CWnd* CDialog::GetDlgItem(int nID) const {
    for (const auto& c : m_controls) {
        if (c->GetDlgCtrlID() == nID) {
            return c.get();
        }
    }
    return nullptr;
}

CComboBox* CDialog::GetComboBox(int nID) const {
    return dynamic_cast<CComboBox*>(GetDlgItem(nID));
}

CEdit* CDialog::GetEdit(int nID) const {
    return dynamic_cast<CEdit*>(GetDlgItem(nID));
}

bool CDialog::UpdateData(bool bSaveAndValidate) {
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return !dx.m_bFailed;
}

void CDialog::SetIcon(const Icon& icon, bool bBigIcon) {
    (bBigIcon ? m_bigIcon : m_smallIcon) = icon;
    Changed();
}

bool CDialog::OnInitDialog() {
    UpdateData(false);
    return true;
}

void CDialog::OnOK() {
    if (!UpdateData(true)) {
        return;
    }
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

void CDialog::MapCommand(int nID, std::function<void()> handler) {
    m_commands[nID] = std::move(handler);
}

void CDialog::OnCommand(int nID) {
    auto it = m_commands.find(nID);
    if (it != m_commands.end()) {
        // A copy: the handler may remap commands while it runs.
        auto handler = it->second;
        handler();
    } else if (nID == IDOK) {
        OnOK();
    } else if (nID == IDCANCEL) {
        OnCancel();
    }
}

const ControlTemplate* CDialog::FocusableControl(int nID) const {
    const CWnd* wnd = GetDlgItem(nID);
    if (wnd == nullptr || !wnd->IsWindowVisible() || !TakesFocus(*wnd->GetControlTemplate())) {
        return nullptr;
    }
    return wnd->GetControlTemplate();
}

bool CDialog::PressEnter() {
    if (!m_running || m_ended) {
        return false;
    }
    const ControlTemplate* focused = FocusableControl(m_focusId);
    if (CComboBox* list = GetComboBox(m_focusId); list != nullptr && list->GetDroppedState()) {
        list->ShowDropDown(false);
        return true;
    }
    if (focused != nullptr && focused->kind == ControlKind::PushButton) {
        OnCommand(focused->id);
        return true;
    }
    for (const auto& c : m_controls) {
        const ControlTemplate* t = c->GetControlTemplate();
        if (t->kind == ControlKind::PushButton && t->Has(ctl::kDefaultButton) &&
            c->IsWindowVisible()) {
            OnCommand(t->id);
            return true;
        }
    }
    OnCommand(IDOK);
    return true;
}

bool CDialog::PressEscape() {
    if (!m_running || m_ended) {
        return false;
    }
    OnCommand(IDCANCEL);
    return true;
}

bool CDialog::CloseBox() {
    return PressEscape();
}

bool CDialog::Click(int nID) {
    if (!m_running || m_ended) {
        return false;
    }
    const ControlTemplate* t = FocusableControl(nID);
    if (t == nullptr || t->kind != ControlKind::PushButton) {
        return false;
    }
    OnCommand(nID);
    return true;
}

bool CDialog::SetFocus(int nID) {
    if (!m_running || m_ended || FocusableControl(nID) == nullptr) {
        return false;
    }
    MoveFocus(nID);
    return true;
}

void CDialog::MoveFocus(int nID) {
    if (nID == m_focusId) {
        return;
    }
    if (CComboBox* list = GetComboBox(m_focusId)) {
        list->ShowDropDown(false);
    }
    m_focusId = nID;
    NoteChange();
}

bool CDialog::PressTab(bool backwards) {
    if (!m_running || m_ended) {
        return false;
    }
    std::vector<int> stops;
    int current = -1;
    for (const auto& c : m_controls) {
        if (c->IsWindowVisible() && c->GetControlTemplate()->Has(ctl::kTabStop)) {
            if (c->GetDlgCtrlID() == m_focusId) {
                current = static_cast<int>(stops.size());
            }
            stops.push_back(c->GetDlgCtrlID());
        }
    }
    if (stops.empty()) {
        return false;
    }
    const int n = static_cast<int>(stops.size());
    int next;
    if (current < 0) {
        next = backwards ? n - 1 : 0;
    } else {
        next = (current + (backwards ? n - 1 : 1)) % n;
    }
    MoveFocus(stops[static_cast<std::size_t>(next)]);
    return true;
}

bool CDialog::SelectItem(int listId, int pos) {
    if (!m_running || m_ended) {
        return false;
    }
    CComboBox* combo = GetComboBox(listId);
    if (combo == nullptr || !combo->IsWindowVisible()) {
        return false;
    }
    combo->SetCurSel(pos);
    return true;
}

bool CDialog::ShowDropDown(int listId, bool show) {
    if (!m_running || m_ended) {
        return false;
    }
    CComboBox* combo = GetComboBox(listId);
    if (combo == nullptr || !combo->IsWindowVisible()) {
        return false;
    }
    if (show) {
        MoveFocus(listId);
    }
    combo->ShowDropDown(show);
    return true;
}

bool CDialog::TypeText(int nID, std::string_view text) {
    if (!m_running || m_ended) {
        return false;
    }
    CWnd* wnd = GetDlgItem(nID);
    if (wnd == nullptr || !wnd->IsWindowVisible()) {
        return false;
    }
    if (auto* combo = dynamic_cast<CComboBox*>(wnd)) {
        combo->TypeText(text);
        return true;
    }
    if (auto* edit = dynamic_cast<CEdit*>(wnd)) {
        edit->TypeText(text);
        return true;
    }
    return false;
}

}  // namespace countryset

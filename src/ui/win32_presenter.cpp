#include "ui/win32_presenter.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "ui/dialog.h"
#include "ui/dialog_template_bytes.h"
#include "ui/grow_to_fit.h"
#include "ui/shown_text.h"

// Last, and its function-name macros undone: the model's members bear the same names.
#include <windows.h>
#undef MessageBox
#undef SendMessage
#undef SetWindowText
#undef GetWindowText
#undef LoadIcon

namespace countryset {

namespace {

constexpr unsigned kIconMask = 0xF0;

std::wstring WindowTextOf(HWND hwnd) {
    const int length = ::GetWindowTextLengthW(hwnd);
    std::wstring text(static_cast<std::size_t>(std::max(length, 0)) + 1, L'\0');
    const int got = ::GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()));
    text.resize(static_cast<std::size_t>(std::max(got, 0)));
    return text;
}

void SetTextIfChanged(HWND hwnd, const std::wstring& text) {
    if (WindowTextOf(hwnd) != text) {
        ::SetWindowTextW(hwnd, text.c_str());
    }
}

// Buttons and group boxes read "&" as a mnemonic; a settings text means the character itself.
std::wstring WithoutMnemonics(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        out += c;
        if (c == L'&') {
            out += L'&';
        }
    }
    return out;
}

bool AnyShownAsAnsi(const std::vector<std::string>& texts) {
    return std::any_of(texts.begin(), texts.end(),
                       [](const std::string& t) { return ShownAsAnsi(t); });
}

class NativeDialog {
public:
    // active names the window while it exists.
    NativeDialog(CDialog& model, void*& active) : m_model(model), m_active(active) {}

    static INT_PTR CALLBACK Proc(HWND hwnd, UINT message, ::WPARAM wParam, ::LPARAM lParam) {
        if (message == WM_INITDIALOG) {
            ::SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        }
        auto* self = reinterpret_cast<NativeDialog*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
        return self != nullptr ? self->Handle(hwnd, message, wParam, lParam) : FALSE;
    }

private:
    struct Control {
        const ControlTemplate* tmpl;
        CWnd* wnd;
        HWND hwnd;
        std::vector<std::string> shownItems;
        bool sized = false;
    };

    INT_PTR Handle(HWND hwnd, UINT message, ::WPARAM wParam, ::LPARAM lParam) {
        switch (message) {
            case WM_INITDIALOG:
                Init(hwnd);
                // The focus is the model's, given by the drawing.
                return FALSE;
            case WM_COMMAND:
                Command(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
                return TRUE;
            case WM_CLOSE:
                // Not the dialog manager's cancel command: the model decides what the close box
                // does.
                Forward([this] { m_model.CloseBox(); });
                return TRUE;
            default:
                return FALSE;
        }
    }

    void Init(HWND hwnd) {
        m_hwnd = hwnd;
        m_active = hwnd;
        for (const auto& wnd : m_model.Controls()) {
            const ControlTemplate* t = wnd->GetControlTemplate();
            m_controls.push_back(Control{t, wnd.get(), ::GetDlgItem(hwnd, t->id), {}});
        }
        if (m_model.IsEnded()) {
            ::EndDialog(hwnd, m_model.GetResult());
            return;
        }
        Sync();
    }

    void Command(int id, int code, HWND from) {
        if (m_syncing) {
            return;  // raised by the drawing itself, which only shows what the model holds
        }
        Control* c = FindByWindow(from);
        if (c != nullptr && c->tmpl->id == id) {
            ControlNotification(*c, code);
            return;
        }
        // The dialog manager's own commands: Return where no push button takes it, Escape.
        if (id == IDOK) {
            FocusFromNative();
            Forward([this] { m_model.PressEnter(); });
        } else if (id == IDCANCEL) {
            FocusFromNative();
            Forward([this] { m_model.PressEscape(); });
        }
    }

    void ControlNotification(Control& c, int code) {
        const int id = c.tmpl->id;
        switch (c.tmpl->kind) {
            case ControlKind::PushButton:
                if (code == BN_CLICKED) {
                    Forward([this, id] { m_model.Click(id); });
                }
                break;
            case ControlKind::DropDownList:
                if (code == CBN_SELCHANGE) {
                    const int pos = static_cast<int>(::SendMessageW(c.hwnd, CB_GETCURSEL, 0, 0));
                    Forward([this, id, pos] { m_model.SelectItem(id, pos); });
                } else if (code == CBN_EDITCHANGE) {
                    const auto* list = dynamic_cast<const CComboBox*>(c.wnd);
                    const bool ansi = list != nullptr && AnyShownAsAnsi(list->List().Items());
                    std::string typed = TypedText(WindowTextOf(c.hwnd), ansi);
                    Forward([this, id, typed] { m_model.TypeText(id, typed); });
                } else if (code == CBN_DROPDOWN || code == CBN_CLOSEUP) {
                    const bool show = code == CBN_DROPDOWN;
                    Forward([this, id, show] { m_model.ShowDropDown(id, show); });
                } else if (code == CBN_SETFOCUS) {
                    Forward([this, id] { m_model.SetFocus(id); });
                }
                break;
            case ControlKind::Edit:
                if (code == EN_CHANGE) {
                    const bool ansi = ShownAsAnsi(c.wnd->GetWindowText());
                    std::string typed = TypedText(WindowTextOf(c.hwnd), ansi);
                    Forward([this, id, typed] { m_model.TypeText(id, typed); });
                } else if (code == EN_SETFOCUS) {
                    Forward([this, id] { m_model.SetFocus(id); });
                }
                break;
            case ControlKind::StaticText:
            case ControlKind::GroupBox:
                break;
        }
    }

    // The dialog manager moves the focus itself (Tab, clicks on buttons, which say nothing of
    // it): the model learns where it is before a key that depends on it.
    void FocusFromNative() {
        const HWND focus = ::GetFocus();
        for (const Control& c : m_controls) {
            if (c.hwnd != nullptr && (c.hwnd == focus || ::IsChild(c.hwnd, focus))) {
                if (m_model.GetFocusId() != c.tmpl->id) {
                    m_model.SetFocus(c.tmpl->id);
                }
                return;
            }
        }
    }

    template <typename Action>
    void Forward(Action action) {
        if (m_syncing || m_model.IsEnded()) {
            return;
        }
        action();
        if (m_model.IsEnded()) {
            ::EndDialog(m_hwnd, m_model.GetResult());
            return;
        }
        Sync();
    }

    Control* FindByWindow(HWND hwnd) {
        for (Control& c : m_controls) {
            if (hwnd != nullptr && c.hwnd == hwnd) {
                return &c;
            }
        }
        return nullptr;
    }
    Control* FindById(int id) {
        for (Control& c : m_controls) {
            if (c.tmpl->id == id) {
                return &c;
            }
        }
        return nullptr;
    }

    void Sync() {
        if (m_drawn && m_model.GetRevision() == m_drawnRevision) {
            return;
        }
        m_syncing = true;
        SetTextIfChanged(m_hwnd, ShownText(m_model.GetWindowText()));
        SyncIcon(true);
        SyncIcon(false);
        for (Control& c : m_controls) {
            if (c.hwnd != nullptr) {
                SyncControl(c);
            }
        }
        if (Control* focus = FindById(m_model.GetFocusId()); focus != nullptr) {
            const HWND now = ::GetFocus();
            if (focus->hwnd != nullptr && now != focus->hwnd && !::IsChild(focus->hwnd, now)) {
                ::SendMessageW(m_hwnd, WM_NEXTDLGCTL, reinterpret_cast<::WPARAM>(focus->hwnd),
                               TRUE);
            }
        }
        m_drawnRevision = m_model.GetRevision();
        m_drawn = true;
        m_syncing = false;
    }

    void SyncIcon(bool big) {
        const Icon& icon = m_model.GetIcon(big);
        Icon& shown = big ? m_shownBigIcon : m_shownSmallIcon;
        if (m_drawn && icon == shown) {
            return;
        }
        shown = icon;
        // Without icons of its own the dialog shows the program's, as the Linux build does.
        const int id = icon.IsNull() ? IDR_MAINFRAME : icon.id;
        // Shared: the system keeps the resource's icon for the life of the program.
        HANDLE image = ::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), IMAGE_ICON,
                                    MetricForWindow(big ? SM_CXICON : SM_CXSMICON),
                                    MetricForWindow(big ? SM_CYICON : SM_CYSMICON), LR_SHARED);
        ::SendMessageW(m_hwnd, WM_SETICON, big ? ICON_BIG : ICON_SMALL,
                       reinterpret_cast<::LPARAM>(image));
    }

    // At the dialog's own DPI, which may differ from the system's on a second monitor; from the
    // system alone where the calls for that are missing (before Windows 10).
    int MetricForWindow(int metric) const {
        using ForDpi = int(WINAPI*)(int, UINT);
        using DpiOf = UINT(WINAPI*)(HWND);
        static const HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
        static const auto forDpi = reinterpret_cast<ForDpi>(
            reinterpret_cast<void*>(::GetProcAddress(user32, "GetSystemMetricsForDpi")));
        static const auto dpiOf = reinterpret_cast<DpiOf>(
            reinterpret_cast<void*>(::GetProcAddress(user32, "GetDpiForWindow")));
        if (forDpi != nullptr && dpiOf != nullptr) {
            if (const UINT dpi = dpiOf(m_hwnd); dpi != 0) {
                return forDpi(metric, dpi);
            }
        }
        return ::GetSystemMetrics(metric);
    }

    void SyncControl(Control& c) {
        const bool visible = c.wnd->IsWindowVisible();
        const bool shown = (::GetWindowLongW(c.hwnd, GWL_STYLE) & WS_VISIBLE) != 0;
        if (visible != shown) {
            ::ShowWindow(c.hwnd, visible ? SW_SHOWNA : SW_HIDE);
        }
        const std::string& text = c.wnd->GetWindowText();
        switch (c.tmpl->kind) {
            case ControlKind::StaticText:
                SetTextIfChanged(c.hwnd, ShownText(text));
                FitText(c);
                break;
            case ControlKind::GroupBox:
            case ControlKind::PushButton:
                SetTextIfChanged(c.hwnd, WithoutMnemonics(ShownText(text)));
                break;
            case ControlKind::Edit:
                if (const auto* edit = dynamic_cast<const CEdit*>(c.wnd)) {
                    ::SendMessageW(c.hwnd, EM_SETLIMITTEXT,
                                   static_cast<::WPARAM>(edit->GetLimitText()), 0);
                }
                SetTextIfChanged(c.hwnd, ShownText(text));
                break;
            case ControlKind::DropDownList:
                SyncList(c, text);
                break;
        }
    }

    void SyncList(Control& c, const std::string& text) {
        const auto* list = dynamic_cast<const CComboBox*>(c.wnd);
        if (list == nullptr) {
            return;
        }
        const std::vector<std::string>& items = list->List().Items();
        if (items != c.shownItems) {
            ::SendMessageW(c.hwnd, CB_RESETCONTENT, 0, 0);
            for (const std::string& item : items) {
                // Inserted at the end, in the model's order: a sorted list's own collation
                // would put some items elsewhere, and positions would no longer agree.
                const std::wstring shown = ShownText(item);
                ::SendMessageW(c.hwnd, CB_INSERTSTRING, static_cast<::WPARAM>(-1),
                               reinterpret_cast<::LPARAM>(shown.c_str()));
            }
            c.shownItems = items;
        }
        // Selecting an item puts its text in the edit field and putting a text there moves the
        // caret to its start: the operator's caret is put back, or the next key lands before
        // what was typed.
        DWORD selStart = 0;
        DWORD selEnd = 0;
        ::SendMessageW(c.hwnd, CB_GETEDITSEL, reinterpret_cast<::WPARAM>(&selStart),
                       reinterpret_cast<::LPARAM>(&selEnd));
        bool changed = false;
        const int selected = list->GetCurSel();
        if (static_cast<int>(::SendMessageW(c.hwnd, CB_GETCURSEL, 0, 0)) != selected) {
            ::SendMessageW(c.hwnd, CB_SETCURSEL, static_cast<::WPARAM>(selected), 0);
            changed = true;
        }
        // The edit field keeps what the operator typed while the model agrees with it.
        const std::wstring shown = ShownText(text);
        if (changed || WindowTextOf(c.hwnd) != shown) {
            ::SetWindowTextW(c.hwnd, shown.c_str());
            const auto length = static_cast<DWORD>(shown.size());
            ::SendMessageW(c.hwnd, CB_SETEDITSEL, 0,
                           MAKELPARAM(std::min(selStart, length), std::min(selEnd, length)));
        }
        const bool dropped = ::SendMessageW(c.hwnd, CB_GETDROPPEDSTATE, 0, 0) != 0;
        if (dropped != list->GetDroppedState() && ::IsWindowVisible(m_hwnd)) {
            ::SendMessageW(c.hwnd, CB_SHOWDROPDOWN, list->GetDroppedState() ? TRUE : FALSE, 0);
        }
    }

    // A static text grows to the right, up to its group box's inner edge, the dialog's margin or
    // the next control in its band, when the font of the system is wider than the template
    // assumed. It never shrinks below the template's width.
    void FitText(Control& c) {
        RECT rect{};
        ::GetWindowRect(c.hwnd, &rect);
        ::MapWindowPoints(nullptr, m_hwnd, reinterpret_cast<POINT*>(&rect), 2);
        const int wanted = TextWidth(c.hwnd, WindowTextOf(c.hwnd)) + 1;
        const int templateWidth = DialogUnitsX(c.tmpl->x + c.tmpl->cx) - DialogUnitsX(c.tmpl->x);
        const int left = static_cast<int>(rect.left);
        const int width =
            std::max(templateWidth, std::min(wanted, GrowLimit(c, rect, templateWidth) - left));
        if (width != rect.right - rect.left) {
            ::SetWindowPos(c.hwnd, nullptr, 0, 0, width, rect.bottom - rect.top,
                           SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
    }

    int GrowLimit(const Control& self, const RECT& rect, int templateWidth) {
        std::vector<Box> groups;
        std::vector<Box> neighbours;
        for (const Control& other : m_controls) {
            if (&other == &self || other.hwnd == nullptr || !other.wnd->IsWindowVisible()) {
                continue;
            }
            const ControlTemplate& t = *other.tmpl;
            const Box box{DialogUnitsX(t.x), DialogUnitsY(t.y), DialogUnitsX(t.x + t.cx),
                          DialogUnitsY(t.y + t.cy)};
            (t.kind == ControlKind::GroupBox ? groups : neighbours).push_back(box);
        }
        const Box box{static_cast<int>(rect.left), static_cast<int>(rect.top),
                      static_cast<int>(rect.left) + templateWidth, static_cast<int>(rect.bottom)};
        return countryset::GrowLimit(
            box, groups, neighbours,
            GrowGaps{DialogUnitsX(m_model.GetTemplate().cx - kDialogMargin),
                     DialogUnitsX(kGroupInnerMargin), DialogUnitsX(kGapToNeighbour)});
    }

    int DialogUnitsX(int du) const {
        RECT r{0, 0, du, 0};
        ::MapDialogRect(m_hwnd, &r);
        return r.right;
    }
    int DialogUnitsY(int du) const {
        RECT r{0, 0, 0, du};
        ::MapDialogRect(m_hwnd, &r);
        return r.bottom;
    }

    static int TextWidth(HWND hwnd, const std::wstring& text) {
        HDC dc = ::GetDC(hwnd);
        if (dc == nullptr) {
            return 0;
        }
        const auto font = reinterpret_cast<HFONT>(::SendMessageW(hwnd, WM_GETFONT, 0, 0));
        HGDIOBJ old = font != nullptr ? ::SelectObject(dc, font) : nullptr;
        SIZE size{};
        ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
        if (old != nullptr) {
            ::SelectObject(dc, old);
        }
        ::ReleaseDC(hwnd, dc);
        return size.cx;
    }

    CDialog& m_model;
    void*& m_active;
    HWND m_hwnd = nullptr;
    std::vector<Control> m_controls;
    bool m_syncing = false;
    bool m_drawn = false;
    unsigned long m_drawnRevision = 0;
    Icon m_shownBigIcon;
    Icon m_shownSmallIcon;
};

}  // namespace

Win32Presenter::~Win32Presenter() {
    CloseProgress();
}

void Win32Presenter::CloseProgress() {
    if (m_progress != nullptr) {
        ::DestroyWindow(static_cast<HWND>(m_progress));
        m_progress = nullptr;
    }
    if (m_progressFont != nullptr) {
        ::DeleteObject(static_cast<HFONT>(m_progressFont));
        m_progressFont = nullptr;
    }
}

void Win32Presenter::RunModal(CDialog& dlg) {
    CloseProgress();
    if (dlg.IsEnded()) {
        return;
    }
    m_lastTitle = ShownText(dlg.GetWindowText());
    const std::vector<unsigned char> image = DialogTemplateBytes(dlg.GetTemplate());
    // The dialog manager wants the template on a DWORD boundary.
    std::vector<DWORD> aligned((image.size() + sizeof(DWORD) - 1) / sizeof(DWORD));
    std::copy(image.begin(), image.end(), reinterpret_cast<unsigned char*>(aligned.data()));

    // Boxes shown while it runs are owned by it; the one it was started from owns it.
    const auto owner = static_cast<HWND>(m_activeDialog);
    NativeDialog native(dlg, m_activeDialog);
    const INT_PTR result = ::DialogBoxIndirectParamW(
        ::GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(aligned.data()), owner,
        &NativeDialog::Proc, reinterpret_cast<::LPARAM>(&native));
    m_activeDialog = owner;
    // -1: no window could be made; the model then ends the dialog as its close box would.
    static_cast<void>(result);
}

void Win32Presenter::ShowMessage(const std::string& caption, const std::string& text,
                                 unsigned style) {
    const UINT type = MB_OK | ((style & kIconMask) == MB_ICONERROR ? MB_ICONERROR : 0);
    // An empty caption is passed as such: a null one would show the system's "Error".
    const std::wstring shownCaption = ShownText(caption);
    // Owned by the dialog being run; else by the progress window, and then brought to the front,
    // as the run that showed it may have kept this thread busy long enough to lose it.
    const bool overProgress = m_activeDialog == nullptr && m_progress != nullptr;
    const auto owner = static_cast<HWND>(overProgress ? m_progress : m_activeDialog);
    ::MessageBoxW(owner, ShownText(text).c_str(), shownCaption.c_str(),
                  type | (overProgress ? MB_SETFOREGROUND : 0));
}

void Win32Presenter::ShowProgress(const std::string& text) {
    constexpr int kMargin = 16;
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    if (m_progress == nullptr) {
        // The system's dialog class: its background and frame, without a template.
        const HWND window = ::CreateWindowExW(WS_EX_DLGMODALFRAME, L"#32770", m_lastTitle.c_str(),
                                              WS_POPUP | WS_CAPTION, 0, 0, 1, 1, nullptr, nullptr,
                                              instance, nullptr);
        if (window == nullptr) {
            return;
        }
        const HWND line =
            ::CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 0,
                              0, 1, 1, window, nullptr, instance, nullptr);
        NONCLIENTMETRICSW metrics{};
        metrics.cbSize = sizeof metrics;
        if (line != nullptr &&
            ::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
            m_progressFont = ::CreateFontIndirectW(&metrics.lfMessageFont);
        }
        if (line != nullptr && m_progressFont != nullptr) {
            ::SendMessageW(line, WM_SETFONT, reinterpret_cast<::WPARAM>(m_progressFont), FALSE);
        }
        m_progress = window;
    }
    const auto window = static_cast<HWND>(m_progress);
    const HWND line = ::GetWindow(window, GW_CHILD);
    if (line == nullptr) {
        return;
    }
    const std::wstring shown = ShownText(text);
    ::SetWindowTextW(line, shown.c_str());

    // As wide as the line, centred on the screen's work area.
    SIZE size{200, 16};
    if (HDC dc = ::GetDC(line)) {
        const HGDIOBJ old = m_progressFont != nullptr
                                ? ::SelectObject(dc, static_cast<HFONT>(m_progressFont))
                                : nullptr;
        ::GetTextExtentPoint32W(dc, shown.c_str(), static_cast<int>(shown.size()), &size);
        if (old != nullptr) {
            ::SelectObject(dc, old);
        }
        ::ReleaseDC(line, dc);
    }
    const int clientWidth = std::max<int>(size.cx, 200) + 2 * kMargin;
    RECT frame{0, 0, clientWidth, static_cast<int>(size.cy) + 2 * kMargin};
    ::AdjustWindowRectEx(&frame, WS_POPUP | WS_CAPTION, FALSE, WS_EX_DLGMODALFRAME);
    RECT work{0, 0, 800, 600};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    ::SetWindowPos(window, HWND_TOP, work.left + (work.right - work.left - width) / 2,
                   work.top + (work.bottom - work.top - height) / 2, width, height, SWP_SHOWWINDOW);
    ::MoveWindow(line, kMargin, kMargin, clientWidth - 2 * kMargin, static_cast<int>(size.cy),
                 TRUE);
    ::SetForegroundWindow(window);
    // Drawn now: the run that follows keeps this thread until the modem has answered.
    ::RedrawWindow(window, nullptr, nullptr,
                   RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

std::string WhyNoDialog(const WindowSession& session) {
    if (!session.windowMade) {
        return "no window can be opened in this session";
    }
    if (!session.stationKnown || !session.stationVisible) {
        return "this session's windows are not shown on any screen";
    }
    return {};
}

std::unique_ptr<Presenter> CreateWin32Presenter(std::string* whyNot) {
    WindowSession session;
    // A window that is never shown tells whether this session can make any.
    const HWND probe = ::CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                         ::GetModuleHandleW(nullptr), nullptr);
    session.windowMade = probe != nullptr;
    if (probe != nullptr) {
        ::DestroyWindow(probe);
    }
    USEROBJECTFLAGS flags{};
    const HWINSTA station = ::GetProcessWindowStation();
    session.stationKnown =
        station != nullptr &&
        ::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr);
    session.stationVisible = (flags.dwFlags & WSF_VISIBLE) != 0;
    std::string reason = WhyNoDialog(session);
    if (!reason.empty()) {
        if (whyNot != nullptr) {
            *whyNot = std::move(reason);
        }
        return nullptr;
    }
    return std::make_unique<Win32Presenter>();
}

}  // namespace countryset

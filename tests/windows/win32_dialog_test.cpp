// The native dialog on a real display (Xvfb under Wine): the country dialog drawn from the model,
// keys and clicks given the way the system gives them, and what the model makes of them.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../ui/three_countries.h"
#include "serial/process_signals.h"
#include "ui/win32_presenter.h"
#include "ui/window_services.h"

#include <windows.h>
#undef MessageBox

namespace countryset {
namespace {

// Only catches a hang: each step normally takes milliseconds.
bool WaitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 6000; ++i) {
        if (done()) {
            return true;
        }
        ::Sleep(10);
    }
    return false;
}

std::wstring TextOf(HWND hwnd) {
    wchar_t text[512] = {};
    ::GetWindowTextW(hwnd, text, 512);
    return text;
}

std::vector<std::wstring> ItemsOf(HWND combo) {
    std::vector<std::wstring> items;
    const auto count = ::SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t text[256] = {};
        ::SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
        items.emplace_back(text);
    }
    return items;
}

// Plays the operator from a thread of its own while the test's thread runs the dialog.
class Operator {
public:
    Operator() : m_uiThread(::GetCurrentThreadId()) {}
    ~Operator() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    void Start(std::function<void(Operator&)> script) {
        m_thread = std::thread([this, script] { script(*this); });
    }
    void Finish() {
        m_thread.join();
        for (const std::string& f : m_failures) {
            ADD_FAILURE() << f;
        }
    }
    void Fail(const std::string& what) { m_failures.push_back(what); }

    // The shown top-level dialog of the user-interface thread for which has(window) holds, once
    // it holds the focus: a key sent before then would find none, or go where the focus was.
    HWND Window(const std::function<bool(HWND)>& has) {
        HWND found = nullptr;
        const bool shown = WaitFor([&] {
            m_predicate = &has;
            ::EnumThreadWindows(m_uiThread, &Operator::Visit, reinterpret_cast<LPARAM>(this));
            found = m_found;
            m_found = nullptr;
            return found != nullptr && FocusSettledIn(found) != nullptr;
        });
        if (!shown) {
            Fail(found == nullptr ? "no window showed up" : "the window never took the focus");
            return nullptr;
        }
        return found;
    }
    HWND CountryDialog() {
        return Window([](HWND w) { return ::GetDlgItem(w, IDC_OK_BUTTON) != nullptr; });
    }
    HWND MessageBoxWindow() {
        return Window([](HWND w) {
            return ::GetDlgItem(w, IDC_OK_BUTTON) == nullptr && ::GetDlgItem(w, 0xFFFF) != nullptr;
        });
    }
    HWND Focus() const {
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        ::GetGUIThreadInfo(m_uiThread, &info);
        return info.hwndFocus;
    }
    // The control of dialog that holds the focus, once the focus has come to rest: a list
    // passes the focus on to its edit field, and in between the focus is on the list itself.
    HWND FocusSettledIn(HWND dialog) const {
        const HWND focus = Focus();
        if (focus == nullptr || ::GetWindow(focus, GW_CHILD) != nullptr) {
            return nullptr;
        }
        for (HWND w = focus; w != nullptr; w = ::GetParent(w)) {
            if (::GetParent(w) == dialog) {
                return w;
            }
        }
        return nullptr;
    }
    // A key as the system queues it, to the window with the focus.
    void Key(UINT vk) {
        const HWND target = Focus();
        if (target == nullptr) {
            Fail("no focus for key " + std::to_string(vk));
            return;
        }
        ::PostMessageW(target, WM_KEYDOWN, vk, 1);
        ::PostMessageW(target, WM_KEYUP, vk, 0xC0000001);
    }
    // One Tab at a time, the next only once the focus has moved for the last: a Tab sent while
    // one is still queued moves the focus on past the control, however long one waits before.
    void TabTo(HWND control) {
        const HWND dialog = ::GetParent(control);
        for (int i = 0; i < 10; ++i) {
            const HWND from = FocusSettledIn(dialog);
            if (from == control) {
                return;
            }
            if (from == nullptr) {
                Fail("the focus is not in the dialog");
                return;
            }
            Key(VK_TAB);
            if (!WaitFor([&] {
                    const HWND now = FocusSettledIn(dialog);
                    return now != nullptr && now != from;
                })) {
                Fail("Tab did not move the focus");
                return;
            }
        }
        Fail("Tab never reached the control");
    }
    bool InFocus(HWND control) const {
        const HWND focus = Focus();
        return focus != nullptr && (focus == control || ::IsChild(control, focus));
    }

private:
    static BOOL CALLBACK Visit(HWND hwnd, LPARAM self) {
        auto* op = reinterpret_cast<Operator*>(self);
        wchar_t cls[64] = {};
        ::GetClassNameW(hwnd, cls, 64);
        if (::IsWindowVisible(hwnd) && std::wstring(cls) == L"#32770" && (*op->m_predicate)(hwnd)) {
            op->m_found = hwnd;
            return FALSE;
        }
        return TRUE;
    }

    DWORD m_uiThread;
    std::thread m_thread;
    std::vector<std::string> m_failures;
    const std::function<bool(HWND)>* m_predicate = nullptr;
    HWND m_found = nullptr;
};

// Holds each key the dialog's thread takes for a while, as a loaded machine may: what the
// operator does next must wait for what the key did, not for a time.
class SlowKeys {
public:
    SlowKeys()
        : m_hook(::SetWindowsHookExW(WH_GETMESSAGE, &Hook, nullptr, ::GetCurrentThreadId())) {}
    ~SlowKeys() {
        if (m_hook != nullptr) {
            ::UnhookWindowsHookEx(m_hook);
        }
    }
    SlowKeys(const SlowKeys&) = delete;
    SlowKeys& operator=(const SlowKeys&) = delete;
    bool Hooked() const { return m_hook != nullptr; }

private:
    static LRESULT CALLBACK Hook(int code, WPARAM removed, LPARAM lParam) {
        const auto* msg = reinterpret_cast<const MSG*>(lParam);
        if (code == HC_ACTION && removed == PM_REMOVE && msg->message == WM_KEYDOWN) {
            ::Sleep(50);
        }
        return ::CallNextHookEx(nullptr, code, removed, lParam);
    }
    HHOOK m_hook;
};

struct NativeRun {
    explicit NativeRun(const std::string& setting = "") : dialog(setting) {}
    Win32Presenter presenter;
    WindowServices services{"countryset", presenter};
    ThreeCountries dialog;
};

TEST(Win32Dialog, DrawsTheModelAndReturnAtOpenTakesThePreselectedChoice) {
    NativeRun run;
    Operator op;
    op.Start([](Operator& o) {
        const HWND dlg = o.CountryDialog();
        if (dlg == nullptr) {
            return;
        }
        const HWND countries = ::GetDlgItem(dlg, IDC_COUNTRY_LIST);
        const HWND ports = ::GetDlgItem(dlg, IDC_PORT_LIST);
        if (TextOf(dlg) != L"Country Setting")
            o.Fail("caption");
        if (TextOf(::GetDlgItem(dlg, IDC_SETTING_GROUP)) != L"Setting")
            o.Fail("group box");
        if (ItemsOf(countries) != std::vector<std::wstring>{L"France", L"Italy", L"Spain"})
            o.Fail("country items");
        if (::SendMessageW(countries, CB_GETCURSEL, 0, 0) != 1)
            o.Fail("Italy preselected");
        if (ItemsOf(ports).size() != 8 || ItemsOf(ports)[7] != L"COM8")
            o.Fail("port items");
        if (::SendMessageW(ports, CB_GETCURSEL, 0, 0) != 0)
            o.Fail("COM1 preselected");
        if (::IsWindowVisible(::GetDlgItem(dlg, IDC_CODE_EDIT)))
            o.Fail("code edit shown");
        // The model sets no icon on this dialog: it shows the program's.
        if (::SendMessageW(dlg, WM_GETICON, ICON_BIG, 0) == 0)
            o.Fail("no large icon");
        if (::SendMessageW(dlg, WM_GETICON, ICON_SMALL, 0) == 0)
            o.Fail("no small icon");
        if (!WaitFor([&] { return o.InFocus(::GetDlgItem(dlg, IDC_OK_BUTTON)); }))
            o.Fail("OK button has no focus at open");
        // The template's font block as the system read it: the face that stands for the
        // current one, upright, of normal weight.
        LOGFONTW font{};
        ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(dlg, WM_GETFONT, 0, 0)), sizeof font,
                     &font);
        if (std::wstring(font.lfFaceName) != L"MS Shell Dlg 2" || font.lfItalic != 0 ||
            font.lfWeight != FW_NORMAL)
            o.Fail("dialog font");

        // The whole label shows, whatever the system's dialog font makes of its template width.
        const HWND label = ::GetDlgItem(dlg, IDC_SELECTED_LABEL);
        RECT client{};
        ::GetClientRect(label, &client);
        HDC dc = ::GetDC(label);
        ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(label, WM_GETFONT, 0, 0)));
        SIZE size{};
        const std::wstring text = TextOf(label);
        ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
        ::ReleaseDC(label, dc);
        if (text != L"Current Selected Country" || size.cx > client.right)
            o.Fail("label cut: needs " + std::to_string(size.cx) + " px, has " +
                   std::to_string(client.right));
        o.Key(VK_RETURN);
    });
    run.dialog.dlg.DoModal();
    op.Finish();
    EXPECT_EQ(run.dialog.dlg.m_strCode, "33");
    EXPECT_EQ(run.dialog.dlg.m_nCountrySel, 1);
    EXPECT_EQ(run.dialog.dlg.m_nPortSel, 0);
}

// Typing into a list's edit field: the model picks the item the text begins with, and the field
// keeps the text and the caret where the operator left them.
TEST(Win32Dialog, TypingInAListSelectsWhatTheTextBeginsWith) {
    NativeRun run;
    std::wstring field;
    Operator op;
    op.Start([&](Operator& o) {
        const HWND dlg = o.CountryDialog();
        if (dlg == nullptr) {
            return;
        }
        const HWND countries = ::GetDlgItem(dlg, IDC_COUNTRY_LIST);
        o.TabTo(countries);
        for (wchar_t c : std::wstring(L"sp")) {
            ::PostMessageW(o.Focus(), WM_CHAR, c, 1);
        }
        if (!WaitFor([&] { return ::SendMessageW(countries, CB_GETCURSEL, 0, 0) == 2; })) {
            o.Fail("typing did not reach Spain");
        }
        WaitFor([&] { return TextOf(countries).size() >= 2; });
        field = TextOf(countries);
        ::PostMessageW(::GetDlgItem(dlg, IDC_OK_BUTTON), BM_CLICK, 0, 0);
    });
    run.dialog.dlg.DoModal();
    op.Finish();
    EXPECT_EQ(field, L"sp");
    EXPECT_EQ(run.dialog.dlg.m_strCode, "11");
    EXPECT_EQ(run.dialog.dlg.m_nCountrySel, 2);
}

// A dialog that ends with a result of its own for each command, to tell them apart.
class CommandResults : public CDialog {
public:
    static constexpr int kOkCommand = 7;
    static constexpr int kOkButton = 8;
    static constexpr int kCancelButton = 9;
    CommandResults() : CDialog(CountryDialogTemplate()) {
        MapCommand(IDOK, [this] { EndDialog(kOkCommand); });
        MapCommand(IDC_OK_BUTTON, [this] { EndDialog(kOkButton); });
        MapCommand(IDC_CANCEL_BUTTON, [this] { EndDialog(kCancelButton); });
    }
};

// Each key and click gives the command the model gives it: Return the focused push button, else
// the standard OK command (a button that had the focus before does not keep it); Escape and the
// close box cancel.
TEST(Win32Dialog, KeysAndClicksGiveTheCommandsOfTheModel) {
    const auto key = [](UINT vk) { return [vk](Operator& o, HWND) { o.Key(vk); }; };
    const auto click = [](int id) {
        return [id](Operator&, HWND dlg) { ::PostMessageW(::GetDlgItem(dlg, id), BM_CLICK, 0, 0); };
    };
    struct Case {
        const char* name;
        int tabTo;  // 0: stay where the dialog opened
        std::function<void(Operator&, HWND)> act;
        int result;
    } const cases[] = {
        {"Return at open", 0, key(VK_RETURN), CommandResults::kOkButton},
        {"Return on Cancel", IDC_CANCEL_BUTTON, key(VK_RETURN), CommandResults::kCancelButton},
        {"Return in the port list", IDC_PORT_LIST, key(VK_RETURN), CommandResults::kOkCommand},
        {"Escape in the country list", IDC_COUNTRY_LIST, key(VK_ESCAPE), IDCANCEL},
        {"close box", 0,
         [](Operator&, HWND dlg) { ::PostMessageW(dlg, WM_SYSCOMMAND, SC_CLOSE, 0); }, IDCANCEL},
        {"OK clicked from a list", IDC_COUNTRY_LIST, click(IDC_OK_BUTTON),
         CommandResults::kOkButton},
    };
    Win32Presenter presenter;
    WindowServices services{"countryset", presenter};
    for (const bool slow : {false, true}) {
        std::optional<SlowKeys> slowKeys;
        if (slow) {
            slowKeys.emplace();
            ASSERT_TRUE(slowKeys->Hooked());
        }
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (slow ? ", slow" : ""));
            CommandResults dlg;
            Operator op;
            op.Start([&c](Operator& o) {
                const HWND window = o.CountryDialog();
                if (window == nullptr) {
                    return;
                }
                if (c.tabTo != 0) {
                    o.TabTo(::GetDlgItem(window, c.tabTo));
                }
                c.act(o, window);
            });
            EXPECT_EQ(dlg.DoModal(), c.result);
            op.Finish();
        }
    }
}

// The list shows the model's items at the model's positions, whatever order the system's own
// collation would give them: the position picked is the position the model reads.
TEST(Win32Dialog, ListsKeepTheModelsOrderAndSettingsBytes) {
    NativeRun run;
    run.dialog.profile.SetFile(ThreeCountries::kPath,
                               "[Setting]\nTitle=Caf\xE9\nNumOfCountry=4\nCurrentSet=0\n"
                               "[Country]\nb-c=1\nbb=2\nb_a=3\nBa=4\n");
    std::vector<std::wstring> shown;
    std::wstring caption;
    Operator op;
    op.Start([&](Operator& o) {
        const HWND dlg = o.CountryDialog();
        if (dlg == nullptr) {
            return;
        }
        shown = ItemsOf(::GetDlgItem(dlg, IDC_COUNTRY_LIST));
        caption = TextOf(dlg);
        o.Key(VK_ESCAPE);
    });
    run.dialog.dlg.DoModal();
    op.Finish();
    // The model's order: ASCII case folded, byte by byte.
    const std::vector<std::wstring> model{L"b-c", L"b_a", L"Ba", L"bb"};
    EXPECT_EQ(shown, model);
    if (::GetACP() == 1252) {
        EXPECT_EQ(caption, L"Caf\u00E9");
    }
}

// A custom dialog whose OK button shows a box, as the program's messages come while a dialog
// runs.
class BoxOnOk : public CDialog {
public:
    BoxOnOk() : CDialog(CountryDialogTemplate()) {
        MapCommand(IDC_OK_BUTTON, [this] {
            MessageBox("Failed", "Error", MB_ICONERROR);
            EndDialog(IDOK);
        });
    }
};

TEST(Win32Dialog, MessageBoxesKeepTheirCaptionAndAreOwnedByTheDialogOrNone) {
    Win32Presenter presenter;
    WindowServices services{"countryset", presenter};
    struct Seen {
        std::wstring caption, text;
        HWND owner = nullptr;
        HWND dialog = nullptr;
        bool dialogEnabled = true;
    };

    Seen alone;
    Operator op;
    op.Start([&](Operator& o) {
        const HWND box = o.MessageBoxWindow();
        if (box == nullptr) {
            return;
        }
        alone.caption = TextOf(box);
        alone.text = TextOf(::GetDlgItem(box, 0xFFFF));
        alone.owner = ::GetWindow(box, GW_OWNER);
        o.Key(VK_RETURN);
    });
    services.MessageBox("No modem", "", MB_ICONERROR);
    op.Finish();
    EXPECT_EQ(alone.caption, L"");
    EXPECT_EQ(alone.text, L"No modem");
    EXPECT_EQ(alone.owner, nullptr);

    Seen inside;
    BoxOnOk dlg;
    Operator op2;
    op2.Start([&](Operator& o) {
        inside.dialog = o.CountryDialog();
        if (inside.dialog == nullptr) {
            return;
        }
        ::PostMessageW(::GetDlgItem(inside.dialog, IDC_OK_BUTTON), BM_CLICK, 0, 0);
        const HWND box = o.MessageBoxWindow();
        if (box == nullptr) {
            return;
        }
        inside.caption = TextOf(box);
        inside.text = TextOf(::GetDlgItem(box, 0xFFFF));
        inside.owner = ::GetWindow(box, GW_OWNER);
        inside.dialogEnabled = ::IsWindowEnabled(inside.dialog) != FALSE;
        o.Key(VK_RETURN);
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    op2.Finish();
    EXPECT_EQ(inside.caption, L"Error");
    EXPECT_EQ(inside.text, L"Failed");
    EXPECT_EQ(inside.owner, inside.dialog);
    EXPECT_FALSE(inside.dialogEnabled);
}

// While the run waits for the modem a window says what it does; the box that follows is owned
// by it, and the next dialog takes its place.
TEST(Win32Dialog, ProgressIsShownUntilTheNextDialogAndOwnsTheBoxes) {
    NativeRun run;
    run.services.ShowProgress("Setting Italy on COM3...");
    const auto progress = static_cast<HWND>(run.presenter.ProgressWindow());
    ASSERT_NE(progress, nullptr);
    EXPECT_TRUE(::IsWindowVisible(progress));
    EXPECT_EQ(TextOf(::GetWindow(progress, GW_CHILD)), L"Setting Italy on COM3...");

    HWND owner = nullptr;
    Operator op;
    op.Start([&](Operator& o) {
        if (const HWND box = o.MessageBoxWindow()) {
            owner = ::GetWindow(box, GW_OWNER);
            o.Key(VK_RETURN);
        }
    });
    run.services.MessageBox("Country set successfully.", "", MB_OK);
    op.Finish();
    EXPECT_EQ(owner, progress);

    bool goneWhenDrawn = false;
    Operator op2;
    op2.Start([&](Operator& o) {
        if (const HWND dialog = o.CountryDialog()) {
            goneWhenDrawn = !::IsWindow(progress);
            ::PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
        }
    });
    run.dialog.dlg.DoModal();
    op2.Finish();
    EXPECT_TRUE(goneWhenDrawn);
    EXPECT_EQ(run.presenter.ProgressWindow(), nullptr);
}

// Logoff and shutdown come to a program with windows as messages, not console events: the
// ports are released when the session ends, not when it is only asked whether it may.
TEST(Win32SessionEnd, EndingTheSessionReleasesThePorts) {
    std::atomic<int> released{0};
    ProcessSignals signals([&] { ++released; });
    const HWND window = ::FindWindowW(L"countryset-session-end", nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(::GetParent(window), nullptr);  // top level: only those hear of the session
    EXPECT_TRUE(::SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF));
    EXPECT_EQ(released.load(), 0);
    ::SendMessageW(window, WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF);  // called off
    EXPECT_EQ(released.load(), 0);
    ::SendMessageW(window, WM_ENDSESSION, TRUE, 0);
    EXPECT_EQ(released.load(), 1);
}

}  // namespace
}  // namespace countryset

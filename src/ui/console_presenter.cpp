#include "ui/console_presenter.h"

#include <cctype>
#include <sstream>
#include <vector>

#include "ui/dialog.h"
#include "ui/shown_text.h"

namespace countryset {

namespace {

constexpr const char* kCommands =
    "type a number or a name, Enter or \"ok\" to accept, "
    "\"cancel\" to quit, \"?\" for help";

struct ListEntry {
    const CComboBox* combo;
    std::string label;
    char prefix;  // 0: the first list, chosen by a bare number
    char alias;   // the first letter of its name, when no other list uses it
};

bool IsControlByte(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
}

std::string Trim(const std::string& s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) {
        ++b;
    }
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) {
        --e;
    }
    return s.substr(b, e - b);
}

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

// Input echoed in a hint: short, and never cut inside a character.
std::string Quote(const std::string& s) {
    constexpr std::size_t kShown = 40;
    const std::size_t shown = CutWithoutSplitting(s, kShown);
    return "\"" + s.substr(0, shown) + (shown < s.size() ? "..." : "") + "\"";
}

bool InsideGroup(const ControlTemplate& c, const ControlTemplate& group) {
    return c.x >= group.x && c.y >= group.y && c.x < group.x + group.cx && c.y < group.y + group.cy;
}

// The visible lists in template order, each with its label and number prefix.
std::vector<ListEntry> Lists(const CDialog& dlg) {
    std::vector<ListEntry> lists;
    for (const auto& wnd : dlg.Controls()) {
        const auto* combo = dynamic_cast<const CComboBox*>(wnd.get());
        if (combo == nullptr || !combo->IsWindowVisible()) {
            continue;
        }
        const std::string& name = combo->GetControlTemplate()->name;
        ListEntry entry{combo, name.empty() ? "List" : name, 0, 0};
        if (!lists.empty()) {
            char prefix = name.empty() ? 0 : Lower(name.substr(0, 1))[0];
            for (const ListEntry& other : lists) {
                if (prefix == other.alias) {
                    prefix = 0;
                }
            }
            // Without a usable name letter, the list takes the first free letter.
            for (char c = 'a'; prefix == 0 && c <= 'z'; ++c) {
                bool used = false;
                for (const ListEntry& other : lists) {
                    used = used || other.alias == c;
                }
                if (!used) {
                    prefix = c;
                }
            }
            entry.prefix = prefix;
            entry.alias = prefix;
        } else if (!name.empty()) {
            entry.alias = Lower(name.substr(0, 1))[0];
        }
        lists.push_back(entry);
    }
    return lists;
}

std::string ItemKey(const ListEntry& list, int pos) {
    std::string key = list.prefix != 0 ? std::string(1, list.prefix) : std::string();
    return key + std::to_string(pos + 1);
}

void DrawList(std::ostringstream& out, const ListEntry& list, const std::string& indent) {
    out << indent << list.label << ":";
    if (list.combo->GetCount() == 0) {
        out << " (empty)";
    } else if (list.combo->GetCurSel() < 0) {
        out << " (nothing selected)";
    }
    out << "\n";
    for (int i = 0; i < list.combo->GetCount(); ++i) {
        const bool selected = i == list.combo->GetCurSel();
        std::string key = ItemKey(list, i);
        if (key.size() < 4) {
            key.insert(0, 4 - key.size(), ' ');
        }
        out << indent << (selected ? " * " : "   ") << key << "  " << list.combo->GetLBText(i)
            << "\n";
    }
}

void DrawControl(std::ostringstream& out, const CDialog& dlg, const CWnd& wnd,
                 const std::vector<ListEntry>& lists, const std::string& indent) {
    const ControlTemplate& t = *wnd.GetControlTemplate();
    switch (t.kind) {
        case ControlKind::StaticText:
            out << indent << wnd.GetWindowText() << "\n";
            break;
        case ControlKind::GroupBox:
            out << indent << "[ " << wnd.GetWindowText() << " ]\n";
            break;
        case ControlKind::Edit:
            out << indent << (t.name.empty() ? "Text" : t.name) << ": [" << wnd.GetWindowText()
                << "]\n";
            break;
        case ControlKind::DropDownList:
            for (const ListEntry& list : lists) {
                if (list.combo == &wnd) {
                    DrawList(out, list, indent);
                }
            }
            break;
        case ControlKind::PushButton:
            (void)dlg;  // buttons are drawn together on the last line
            break;
    }
}

std::string Draw(const CDialog& dlg) {
    const std::vector<ListEntry> lists = Lists(dlg);
    std::ostringstream out;
    out << "\n== " << dlg.GetWindowText() << " ==\n";
    const auto& controls = dlg.Controls();
    std::vector<const CWnd*> groups;
    for (const auto& wnd : controls) {
        if (wnd->IsWindowVisible() && wnd->GetControlTemplate()->kind == ControlKind::GroupBox) {
            groups.push_back(wnd.get());
        }
    }
    auto inAnyGroup = [&](const CWnd& wnd) {
        for (const CWnd* g : groups) {
            if (g != &wnd && InsideGroup(*wnd.GetControlTemplate(), *g->GetControlTemplate())) {
                return true;
            }
        }
        return false;
    };
    for (const auto& wnd : controls) {
        if (!wnd->IsWindowVisible() || inAnyGroup(*wnd)) {
            continue;
        }
        DrawControl(out, dlg, *wnd, lists, "");
        if (wnd->GetControlTemplate()->kind != ControlKind::GroupBox) {
            continue;
        }
        // What lies inside the group box follows it, indented.
        for (const auto& inner : controls) {
            if (inner.get() != wnd.get() && inner->IsWindowVisible() &&
                InsideGroup(*inner->GetControlTemplate(), *wnd->GetControlTemplate())) {
                DrawControl(out, dlg, *inner, lists, "  ");
            }
        }
    }
    std::string buttons;
    for (const auto& wnd : controls) {
        if (wnd->IsWindowVisible() && wnd->GetControlTemplate()->kind == ControlKind::PushButton) {
            const bool focused = wnd->GetDlgCtrlID() == dlg.GetFocusId();
            buttons += (focused ? " <" : " [") + wnd->GetWindowText() + (focused ? ">" : "]");
        }
    }
    if (!buttons.empty()) {
        out << "Buttons:" << buttons << "\n";
    }
    out << "(" << kCommands << ")\n";
    return out.str();
}

std::string Status(const CDialog& dlg) {
    std::string status;
    for (const ListEntry& list : Lists(dlg)) {
        if (!status.empty()) {
            status += " | ";
        }
        const int sel = list.combo->GetCurSel();
        status += list.label + ": " +
                  (sel < 0 ? std::string("(none)")
                           : list.combo->GetLBText(sel) + " (" + ItemKey(list, sel) + ")");
    }
    return status.empty() ? std::string("OK") : status;
}

std::string Help(const CDialog& dlg) {
    std::string help = "Commands: Enter or \"ok\" accepts, \"cancel\" quits";
    for (const ListEntry& list : Lists(dlg)) {
        help += "; ";
        help += list.prefix != 0 ? std::string(1, list.prefix) + "<number>" : "<number>";
        help += " picks from the " + list.label + " list";
    }
    return help + "; a name or its beginning picks the first item that starts with it.";
}

// The visible push button whose text is word, ignoring case; 0 when there is none.
int ButtonNamed(const CDialog& dlg, const std::string& word) {
    for (const auto& wnd : dlg.Controls()) {
        if (wnd->IsWindowVisible() && wnd->GetControlTemplate()->kind == ControlKind::PushButton &&
            Lower(wnd->GetWindowText()) == word) {
            return wnd->GetDlgCtrlID();
        }
    }
    return 0;
}

}  // namespace

ConsolePresenter::ConsolePresenter(std::istream& in, std::ostream& out) : m_in(in), m_out(out) {}

ConsolePresenter::LineResult ConsolePresenter::ReadLine(std::string& line) {
    line.clear();
    bool tooLong = false;
    bool any = false;
    std::streambuf* buf = m_in.rdbuf();
    for (;;) {
        const int c = buf != nullptr ? buf->sbumpc() : std::char_traits<char>::eof();
        if (c == std::char_traits<char>::eof()) {
            m_in.setstate(std::ios::eofbit);
            if (!any) {
                return LineResult::End;
            }
            break;
        }
        any = true;
        if (c == '\n') {
            break;
        }
        if (line.size() < kMaxLine) {
            line.push_back(static_cast<char>(c));
        } else {
            tooLong = true;  // keep reading to the end of the line, keep nothing more
        }
    }
    if (!tooLong && !line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return tooLong ? LineResult::TooLong : LineResult::Ok;
}

void ConsolePresenter::Write(const std::string& screen) {
    // Texts from the settings file and from the operator are part of every screen: none of their
    // control bytes may reach the terminal. The screens' own line breaks are line feeds.
    const std::string shown = VisibleText(screen, true);
    std::lock_guard lock(m_outMutex);
    m_out << shown << std::flush;
}

std::string ConsolePresenter::Handle(CDialog& dlg, const std::string& raw) {
    for (char c : raw) {
        if (IsControlByte(c) && c != '\t') {
            return std::string("That line holds unreadable characters; ") + kCommands + ".";
        }
    }
    const std::string line = Trim(raw);
    const std::string word = Lower(line);
    if (line.empty()) {
        dlg.PressEnter();
        return {};
    }
    if (word == "ok" || word == "cancel") {
        if (const int id = ButtonNamed(dlg, word)) {
            dlg.Click(id);
        } else if (word == "ok") {
            dlg.PressEnter();
        } else {
            dlg.PressEscape();
        }
        return {};
    }
    if (word == "?" || word == "help") {
        return Help(dlg);
    }

    const std::vector<ListEntry> lists = Lists(dlg);
    // A number, with the list's letter in front for any list but the first.
    std::size_t i = 0;
    const ListEntry* target = lists.empty() ? nullptr : &lists.front();
    if (!word.empty() && word[0] >= 'a' && word[0] <= 'z') {
        target = nullptr;
        for (const ListEntry& list : lists) {
            if (list.alias == word[0]) {
                target = &list;
            }
        }
        i = 1;
    }
    const bool negative = i < word.size() && word[i] == '-';
    const std::size_t digitsAt = negative ? i + 1 : i;
    bool isNumber = target != nullptr && digitsAt < word.size();
    for (std::size_t k = digitsAt; isNumber && k < word.size(); ++k) {
        isNumber = std::isdigit(static_cast<unsigned char>(word[k])) != 0;
    }
    if (isNumber) {
        const std::string digits = word.substr(digitsAt);
        const int count = target->combo->GetCount();
        // Nine digits cannot overflow; anything longer is out of range anyway.
        const long n = (negative || digits.size() > 9) ? 0 : std::stol(digits);
        if (n < 1 || n > count) {
            if (count == 0) {
                return "The " + target->label + " list is empty; " + kCommands + ".";
            }
            return "There is no " + Quote(line) + " in the " + target->label + " list; pick " +
                   ItemKey(*target, 0) + " to " + ItemKey(*target, count - 1) + ".";
        }
        dlg.SelectItem(target->combo->GetDlgCtrlID(), static_cast<int>(n - 1));
        return {};
    }

    for (const ListEntry& list : lists) {
        const int pos = list.combo->FindString(-1, line);
        if (pos != CB_ERR) {
            dlg.SelectItem(list.combo->GetDlgCtrlID(), pos);
            return {};
        }
    }
    return "No item begins with " + Quote(line) + "; " + kCommands + ".";
}

void ConsolePresenter::RunModal(CDialog& dlg) {
    Write(Draw(dlg) + "> ");
    std::string line;
    while (!dlg.IsEnded()) {
        const LineResult read = ReadLine(line);
        if (read == LineResult::End) {
            Write("\n");
            dlg.CloseBox();
            return;
        }
        std::string hint;
        if (read == LineResult::TooLong) {
            hint = "That line is too long (over " + std::to_string(kMaxLine) + " characters); " +
                   kCommands + ".";
        } else {
            hint = Handle(dlg, line);
        }
        if (dlg.IsEnded()) {
            return;
        }
        Write((hint.empty() ? Status(dlg) : hint) + "\n> ");
    }
}

void ConsolePresenter::ShowMessage(const std::string& caption, const std::string& text,
                                   unsigned style) {
    std::string screen = (style & MB_ICONERROR) != 0 ? "\n[Error]" : "\n[Message]";
    if (!caption.empty()) {
        screen += " " + caption;
    }
    screen += "\n" + text + "\n(press Enter)\n";
    Write(screen);
    std::string line;
    ReadLine(line);  // any line, or the end of input, dismisses the box
}

}  // namespace countryset

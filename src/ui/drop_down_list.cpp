#include "ui/drop_down_list.h"

#include <algorithm>

namespace countryset {

namespace {

unsigned char Lower(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

}  // namespace

int CompareNoCase(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char ca = Lower(a[i]);
        const unsigned char cb = Lower(b[i]);
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return prefix.size() <= text.size() &&
           CompareNoCase(text.substr(0, prefix.size()), prefix) == 0;
}

int DropDownList::AddString(std::string_view text) {
    auto where = m_items.end();
    if (m_sorted) {
        where = std::upper_bound(
            m_items.begin(), m_items.end(), text,
            [](std::string_view t, const std::string& item) { return CompareNoCase(t, item) < 0; });
    }
    const int pos = static_cast<int>(where - m_items.begin());
    m_items.insert(where, std::string(text));
    // The selected item keeps its selection when an item lands before it.
    if (m_sel >= pos) {
        ++m_sel;
    }
    return pos;
}

void DropDownList::ResetContent() {
    m_items.clear();
    m_sel = CB_ERR;
    m_edit.clear();
}

std::string DropDownList::GetLBText(int pos) const {
    if (pos < 0 || pos >= GetCount()) {
        return {};
    }
    return m_items[static_cast<std::size_t>(pos)];
}

int DropDownList::SetCurSel(int pos) {
    if (pos < 0 || pos >= GetCount()) {
        m_sel = CB_ERR;
        m_edit.clear();
        return CB_ERR;
    }
    m_sel = pos;
    m_edit = m_items[static_cast<std::size_t>(pos)];
    return pos;
}

int DropDownList::FindString(int start, std::string_view text) const {
    const int count = GetCount();
    if (text.empty() || count == 0) {
        return CB_ERR;
    }
    if (start < 0 || start >= count) {
        start = -1;
    }
    for (int i = 1; i <= count; ++i) {
        const int pos = (start + i) % count;
        if (StartsWithNoCase(m_items[static_cast<std::size_t>(pos)], text)) {
            return pos;
        }
    }
    return CB_ERR;
}

int DropDownList::SelectString(int start, std::string_view text) {
    const int pos = FindString(start, text);
    if (pos == CB_ERR) {
        return CB_ERR;
    }
    return SetCurSel(pos);
}

void DropDownList::TypeText(std::string_view text) {
    m_edit = text;
    m_sel = FindString(-1, text);
}

}  // namespace countryset

// The item list and edit field of a drop-down list with an edit field, without any window:
// sorted insertion, the selection rules and what typing does.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace countryset {

inline constexpr int CB_ERR = -1;

// Single-byte text compared byte by byte after ASCII tolower; negative, 0 or positive.
int CompareNoCase(std::string_view a, std::string_view b);
// True when text begins with prefix, ignoring ASCII case.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

class DropDownList {
public:
    explicit DropDownList(bool sorted = true) : m_sorted(sorted) {}

    // Sorted: the text lands at its case-insensitive place, after items equal to it. Returns its
    // position.
    int AddString(std::string_view text);
    void ResetContent();
    int GetCount() const { return static_cast<int>(m_items.size()); }
    // The item's text; empty for a position outside the list.
    std::string GetLBText(int pos) const;
    const std::vector<std::string>& Items() const { return m_items; }

    // A position inside the list selects that item and puts its text in the edit field and is
    // returned; any other position (-1, past the end) clears the selection and the edit field
    // and gives CB_ERR.
    int SetCurSel(int pos);
    int GetCurSel() const { return m_sel; }
    // First item after start (start -1 or out of range: from the top, wrapping round) that
    // begins with text, ignoring case; CB_ERR for no match and always for the empty text.
    int FindString(int start, std::string_view text) const;
    // Selects what FindString finds; with no match nothing changes and CB_ERR is returned.
    int SelectString(int start, std::string_view text);

    const std::string& GetEditText() const { return m_edit; }
    // Sets the edit field without touching the selection (what a program does).
    void SetEditText(std::string_view text) { m_edit = text; }
    // The operator typed text into the edit field, replacing it: the selection follows to the
    // first item that text is a prefix of, or to none.
    void TypeText(std::string_view text);

private:
    bool m_sorted;
    std::vector<std::string> m_items;
    int m_sel = CB_ERR;
    std::string m_edit;
};

}  // namespace countryset

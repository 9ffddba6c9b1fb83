#include "settings/profile_text.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace countryset {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsLineBreak(char c) {
    return c == '\r' || c == '\n';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

enum class LineKind { kBlank, kComment, kSection, kEntry, kOther };

struct Line {
    std::size_t begin = 0;  // first byte of the content
    std::size_t end = 0;    // one past the content, before the line break
    std::size_t next = 0;   // one past the line break
    LineKind kind = LineKind::kBlank;
    std::string_view name;   // section name or key, trimmed
    std::string_view value;  // entry value, trimmed
    std::size_t equals = 0;  // offset of the entry's first "="
};

void Classify(std::string_view text, Line& line) {
    const std::string_view content = text.substr(line.begin, line.end - line.begin);
    const std::string_view trimmed = Trim(content);
    line.name = {};
    line.value = {};
    if (trimmed.empty()) {
        line.kind = LineKind::kBlank;
    } else if (trimmed.front() == ';') {
        line.kind = LineKind::kComment;
    } else if (const std::size_t close = trimmed.find(']');
               trimmed.front() == '[' && close != std::string_view::npos) {
        // The name ends at the first "]": what follows ("[Country] ; codes [hex]") is not part
        // of it.
        line.kind = LineKind::kSection;
        line.name = Trim(trimmed.substr(1, close - 1));
    } else if (const std::size_t eq = content.find('='); eq != std::string_view::npos) {
        line.kind = LineKind::kEntry;
        line.name = Trim(content.substr(0, eq));
        line.value = Trim(content.substr(eq + 1));
        line.equals = line.begin + eq;
    } else {
        line.kind = LineKind::kOther;
    }
}

// Walks the text line by line without storing the lines, so a read costs one pass over the
// text and no memory beyond it, however many lines the file has.
class LineCursor {
public:
    explicit LineCursor(std::string_view text)
        : text_(text), pos_(text.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0) {}

    bool Next(Line& line) {
        if (pos_ >= text_.size()) {
            return false;
        }
        std::size_t end = pos_;
        while (end < text_.size() && !IsLineBreak(text_[end])) {
            ++end;
        }
        std::size_t next = end;
        if (next < text_.size()) {
            next +=
                (text_[next] == '\r' && next + 1 < text_.size() && text_[next + 1] == '\n') ? 2 : 1;
        }
        line.begin = pos_;
        line.end = end;
        line.next = next;
        Classify(text_, line);
        pos_ = next;
        return true;
    }

private:
    std::string_view text_;
    std::size_t pos_;
};

// Moves the cursor past the header of the first section of that name; false when there is none.
bool FindSection(LineCursor& cursor, std::string_view section, Line* header = nullptr) {
    const std::string_view wanted = Trim(section);
    Line line;
    while (cursor.Next(line)) {
        if (line.kind == LineKind::kSection && EqualsNoCase(line.name, wanted)) {
            if (header != nullptr) {
                *header = line;
            }
            return true;
        }
    }
    return false;
}

// The next line of the current section; false at the next section's header or the end.
bool NextInSection(LineCursor& cursor, Line& line) {
    return cursor.Next(line) && line.kind != LineKind::kSection;
}

// New lines take the file's own line break; a file without one gets CRLF.
std::string_view LineBreakOf(std::string_view text) {
    const std::size_t at = text.find_first_of("\r\n");
    if (at == std::string_view::npos) {
        return "\r\n";
    }
    if (text[at] == '\n') {
        return "\n";
    }
    return (at + 1 < text.size() && text[at + 1] == '\n') ? "\r\n" : "\r";
}

bool HasAny(std::string_view s, std::string_view bytes) {
    for (const char c : s) {
        if (bytes.find(c) != std::string_view::npos) {
            return true;
        }
    }
    return false;
}

constexpr std::string_view kLineBreaksAndNul{"\r\n\0", 3};

// Lays entries out in a section buffer as they come, by the rules of CopyProfileSection.
class SectionLayout {
public:
    SectionLayout(char* buffer, std::uint32_t size) : buffer_(buffer), size_(size) {}

    // Adds one entry made of the pieces; false once the buffer is full.
    bool Add(std::string_view first, std::string_view second = {}, std::string_view third = {}) {
        if (full_) {
            return false;
        }
        if (size_ <= 1) {
            full_ = true;
            return false;
        }
        // One byte is always kept back for the zero that ends the list.
        const std::size_t room = size_ - 1 - pos_;
        const std::size_t length = first.size() + second.size() + third.size();
        if (length + 1 <= room) {
            Put(first);
            Put(second);
            Put(third);
            buffer_[pos_++] = '\0';
            return true;
        }
        // The cut entry takes the rest, so a cut list always ends in the buffer's last two bytes.
        // With room for its terminator alone it reads as the list's end, and the entries before
        // it stand whole.
        full_ = true;
        cut_ = room >= 2;
        if (room >= 1) {
            std::size_t left = room - 1;
            for (const std::string_view piece : {first, second, third}) {
                const std::size_t n = piece.size() < left ? piece.size() : left;
                Put(piece.substr(0, n));
                left -= n;
            }
            buffer_[pos_++] = '\0';
        }
        return false;
    }

    std::uint32_t Finish(bool* cut) {
        if (cut != nullptr) {
            *cut = cut_;
        }
        if (size_ == 0) {
            return 0;
        }
        if (size_ == 1) {
            buffer_[0] = '\0';
            return 0;
        }
        buffer_[pos_] = '\0';
        if (pos_ == 0) {
            buffer_[1] = '\0';
        }
        return static_cast<std::uint32_t>(pos_);
    }

private:
    void Put(std::string_view piece) {
        if (!piece.empty()) {
            std::memcpy(buffer_ + pos_, piece.data(), piece.size());
            pos_ += piece.size();
        }
    }

    char* buffer_;
    std::uint32_t size_;
    std::size_t pos_ = 0;
    bool cut_ = false;
    bool full_ = false;
};

// Calls add(entry pieces) for each entry of the section in file order until it returns false.
template <class Add>
void ForEachSectionEntry(std::string_view text, std::string_view section, Add add) {
    LineCursor cursor(text);
    if (!FindSection(cursor, section)) {
        return;
    }
    Line line;
    while (NextInSection(cursor, line)) {
        if (line.kind == LineKind::kEntry) {
            if (!add(line.name, "=", line.value)) {
                return;
            }
        } else if (line.kind == LineKind::kOther) {
            if (!add(Trim(text.substr(line.begin, line.end - line.begin)), "", "")) {
                return;
            }
        }
    }
}

}  // namespace

std::optional<std::string_view> FindProfileValue(std::string_view text, std::string_view section,
                                                 std::string_view key) {
    LineCursor cursor(text);
    if (!FindSection(cursor, section)) {
        return std::nullopt;
    }
    const std::string_view wanted = Trim(key);
    Line line;
    while (NextInSection(cursor, line)) {
        if (line.kind == LineKind::kEntry && EqualsNoCase(line.name, wanted)) {
            std::string_view value = line.value;
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
                value = value.substr(1, value.size() - 2);
            }
            return value;
        }
    }
    return std::nullopt;
}

// Values beyond the 32-bit range are clamped to INT_MIN/INT_MAX rather than wrapped, so a
// mistyped number never turns into one of the opposite sign.
int ParseProfileInt(std::string_view value, int def) {
    std::size_t i = 0;
    while (i < value.size() && IsBlank(value[i])) {
        ++i;
    }
    bool negative = false;
    if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
        negative = value[i] == '-';
        ++i;
    }
    if (i >= value.size() || value[i] < '0' || value[i] > '9') {
        return def;
    }
    constexpr long long kLimit = static_cast<long long>(INT_MAX) + 1;
    long long magnitude = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        if (magnitude <= kLimit) {
            magnitude = magnitude * 10 + (value[i] - '0');
        }
    }
    if (negative) {
        return magnitude >= kLimit ? INT_MIN : static_cast<int>(-magnitude);
    }
    return magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
}

std::vector<std::string> ProfileSectionEntries(std::string_view text, std::string_view section) {
    std::vector<std::string> entries;
    ForEachSectionEntry(text, section, [&](auto first, auto second, auto third) {
        std::string entry(first);
        entry += second;
        entry += third;
        entries.push_back(std::move(entry));
        return true;
    });
    return entries;
}

std::uint32_t CopyProfileText(std::string_view value, char* buffer, std::uint32_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t n = value.size() < size - 1 ? value.size() : size - 1;
    if (n > 0) {
        std::memcpy(buffer, value.data(), n);
    }
    buffer[n] = '\0';
    return static_cast<std::uint32_t>(n);
}

std::uint32_t CopyProfileSection(const std::vector<std::string>& entries, char* buffer,
                                 std::uint32_t size, bool* cut) {
    SectionLayout layout(buffer, size);
    for (const std::string& entry : entries) {
        if (!layout.Add(entry)) {
            break;
        }
    }
    return layout.Finish(cut);
}

int ReadProfileInt(std::string_view text, std::string_view section, std::string_view key, int def) {
    const std::optional<std::string_view> value = FindProfileValue(text, section, key);
    return value ? ParseProfileInt(*value, def) : def;
}

std::uint32_t ReadProfileString(std::string_view text, std::string_view section,
                                std::string_view key, std::string_view def, char* buffer,
                                std::uint32_t size) {
    const std::optional<std::string_view> value = FindProfileValue(text, section, key);
    return CopyProfileText(value ? *value : def, buffer, size);
}

std::uint32_t ReadProfileSection(std::string_view text, std::string_view section, char* buffer,
                                 std::uint32_t size, bool* cut) {
    // Straight into the buffer: a section of millions of entries costs no memory of its own.
    SectionLayout layout(buffer, size);
    ForEachSectionEntry(text, section, [&](auto first, auto second, auto third) {
        return layout.Add(first, second, third);
    });
    return layout.Finish(cut);
}

std::optional<std::string> WriteProfileValue(std::string_view text, std::string_view section,
                                             std::string_view key, std::string_view value) {
    const ProfileKeyText one{key, value};
    return WriteProfileValues(text, section, std::span(&one, 1));
}

std::optional<std::string> WriteProfileValues(std::string_view text, std::string_view section,
                                              std::span<const ProfileKeyText> keys) {
    const std::string_view sectionName = Trim(section);
    // A "]" would end the name early when the file is read back.
    if (keys.empty() || sectionName.empty() || HasAny(section, kLineBreaksAndNul) ||
        section.find(']') != std::string_view::npos) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const std::string_view keyName = Trim(keys[i].key);
        if (keyName.empty() || HasAny(keys[i].key, kLineBreaksAndNul) ||
            HasAny(keys[i].text, kLineBreaksAndNul) ||
            keys[i].key.find('=') != std::string_view::npos || keyName.front() == '[' ||
            keyName.front() == ';') {
            return std::nullopt;
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (EqualsNoCase(keyName, Trim(keys[j].key))) {
                return std::nullopt;  // two values for one key: which one would stand is a guess
            }
        }
    }

    const std::string_view lineBreak = LineBreakOf(text);
    std::string result;
    result.reserve(text.size() + 64);

    LineCursor cursor(text);
    Line header;
    if (!FindSection(cursor, section, &header)) {
        result = text;
        const std::size_t bodyStart = text.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
        if (text.size() > bodyStart && !IsLineBreak(text.back())) {
            result += lineBreak;
        }
        result += '[';
        result += section;
        result += ']';
        result += lineBreak;
        for (const ProfileKeyText& k : keys) {
            result += k.key;
            result += '=';
            result += k.text;
            result += lineBreak;
        }
        return result;
    }

    // Where each key's value stands, when the section has it; new keys follow the section's last
    // entry, ahead of blank lines and comments that separate it from the next section.
    struct Span {
        std::size_t begin = 0, end = 0;
        bool found = false;
    };
    std::vector<Span> spans(keys.size());
    Line anchor = header;
    Line line;
    while (NextInSection(cursor, line)) {
        if (line.kind != LineKind::kEntry && line.kind != LineKind::kOther) {
            continue;
        }
        anchor = line;
        if (line.kind != LineKind::kEntry) {
            continue;
        }
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (spans[i].found || !EqualsNoCase(line.name, Trim(keys[i].key))) {
                continue;
            }
            // Only the value's bytes change; the key's spelling and the blanks around it stay.
            std::size_t valueEnd = line.end;
            while (valueEnd > line.equals + 1 && IsBlank(text[valueEnd - 1])) {
                --valueEnd;
            }
            std::size_t valueBegin = line.equals + 1;
            while (valueBegin < valueEnd && IsBlank(text[valueBegin])) {
                ++valueBegin;
            }
            spans[i] = Span{valueBegin, valueEnd, true};
            break;
        }
    }

    std::string inserted;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (spans[i].found) {
            continue;
        }
        // After a last line without a line break the file keeps ending without one.
        const bool breakFirst = anchor.next == anchor.end;
        if (breakFirst) {
            inserted += lineBreak;
        }
        inserted += keys[i].key;
        inserted += '=';
        inserted += keys[i].text;
        if (!breakFirst) {
            inserted += lineBreak;
        }
    }

    // The edits in the order of the text: the replaced values, all of them on the anchor's line
    // or before it, then the new keys after the anchor.
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (spans[i].found) {
            order.push_back(i);
        }
    }
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return spans[a].begin < spans[b].begin; });
    std::size_t copied = 0;
    auto copyUpTo = [&](std::size_t offset) {
        result.append(text.substr(copied, offset - copied));
        copied = offset;
    };
    for (const std::size_t i : order) {
        copyUpTo(spans[i].begin);
        result += keys[i].text;
        copied = spans[i].end;
    }
    copyUpTo(anchor.next);
    result += inserted;
    copyUpTo(text.size());
    return result;
}

}  // namespace countryset

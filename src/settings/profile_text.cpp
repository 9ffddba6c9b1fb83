#include "settings/profile_text.h"

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

Line Classify(std::string_view text, std::size_t begin, std::size_t end, std::size_t next) {
    Line line;
    line.begin = begin;
    line.end = end;
    line.next = next;
    const std::string_view content = text.substr(begin, end - begin);
    const std::string_view trimmed = Trim(content);
    if (trimmed.empty()) {
        line.kind = LineKind::kBlank;
    } else if (trimmed.front() == ';') {
        line.kind = LineKind::kComment;
    } else if (const std::size_t close = trimmed.rfind(']');
               trimmed.front() == '[' && close != std::string_view::npos) {
        line.kind = LineKind::kSection;
        line.name = Trim(trimmed.substr(1, close - 1));
    } else if (const std::size_t eq = content.find('='); eq != std::string_view::npos) {
        line.kind = LineKind::kEntry;
        line.name = Trim(content.substr(0, eq));
        line.value = Trim(content.substr(eq + 1));
        line.equals = begin + eq;
    } else {
        line.kind = LineKind::kOther;
    }
    return line;
}

std::vector<Line> SplitLines(std::string_view text) {
    std::vector<Line> lines;
    std::size_t pos = text.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
    while (pos < text.size()) {
        std::size_t end = pos;
        while (end < text.size() && !IsLineBreak(text[end])) {
            ++end;
        }
        std::size_t next = end;
        if (next < text.size()) {
            next +=
                (text[next] == '\r' && next + 1 < text.size() && text[next + 1] == '\n') ? 2 : 1;
        }
        lines.push_back(Classify(text, pos, end, next));
        pos = next;
    }
    return lines;
}

// Lines [first, last) of the first section of that name; header is the index of its "[name]".
struct SectionSpan {
    std::size_t header = 0;
    std::size_t first = 0;
    std::size_t last = 0;
};

std::optional<SectionSpan> FindSection(const std::vector<Line>& lines, std::string_view section) {
    const std::string_view wanted = Trim(section);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].kind != LineKind::kSection || !EqualsNoCase(lines[i].name, wanted)) {
            continue;
        }
        std::size_t last = i + 1;
        while (last < lines.size() && lines[last].kind != LineKind::kSection) {
            ++last;
        }
        return SectionSpan{i, i + 1, last};
    }
    return std::nullopt;
}

const Line* FindEntry(const std::vector<Line>& lines, const SectionSpan& span,
                      std::string_view key) {
    const std::string_view wanted = Trim(key);
    for (std::size_t i = span.first; i < span.last; ++i) {
        if (lines[i].kind == LineKind::kEntry && EqualsNoCase(lines[i].name, wanted)) {
            return &lines[i];
        }
    }
    return nullptr;
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

}  // namespace

std::optional<std::string_view> FindProfileValue(std::string_view text, std::string_view section,
                                                 std::string_view key) {
    const std::vector<Line> lines = SplitLines(text);
    const std::optional<SectionSpan> span = FindSection(lines, section);
    if (!span) {
        return std::nullopt;
    }
    const Line* entry = FindEntry(lines, *span, key);
    if (entry == nullptr) {
        return std::nullopt;
    }
    std::string_view value = entry->value;
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
    }
    return value;
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
    const std::vector<Line> lines = SplitLines(text);
    const std::optional<SectionSpan> span = FindSection(lines, section);
    if (!span) {
        return entries;
    }
    for (std::size_t i = span->first; i < span->last; ++i) {
        const Line& line = lines[i];
        if (line.kind == LineKind::kEntry) {
            std::string entry(line.name);
            entry += '=';
            entry += line.value;
            entries.push_back(std::move(entry));
        } else if (line.kind == LineKind::kOther) {
            entries.emplace_back(Trim(text.substr(line.begin, line.end - line.begin)));
        }
    }
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
    bool wasCut = false;
    const auto report = [&](std::uint32_t placed) {
        if (cut != nullptr) {
            *cut = wasCut;
        }
        return placed;
    };
    if (size <= 1) {
        wasCut = !entries.empty();
        if (size == 1) {
            buffer[0] = '\0';
        }
        return report(0);
    }
    // One byte is always kept back for the zero that ends the list.
    std::size_t pos = 0;
    for (const std::string& entry : entries) {
        const std::size_t room = size - 1 - pos;
        if (entry.size() + 1 <= room) {
            std::memcpy(buffer + pos, entry.data(), entry.size());
            pos += entry.size();
            buffer[pos++] = '\0';
            continue;
        }
        // The cut entry takes the rest, so a cut list always ends in the buffer's last two bytes.
        wasCut = true;
        if (room >= 1) {
            std::memcpy(buffer + pos, entry.data(), room - 1);
            pos += room - 1;
            buffer[pos++] = '\0';
        }
        break;
    }
    buffer[pos] = '\0';
    if (pos == 0) {
        buffer[1] = '\0';
    }
    return report(static_cast<std::uint32_t>(pos));
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
    return CopyProfileSection(ProfileSectionEntries(text, section), buffer, size, cut);
}

std::optional<std::string> WriteProfileValue(std::string_view text, std::string_view section,
                                             std::string_view key, std::string_view value) {
    const std::string_view sectionName = Trim(section);
    const std::string_view keyName = Trim(key);
    if (sectionName.empty() || keyName.empty() || HasAny(section, kLineBreaksAndNul) ||
        HasAny(key, kLineBreaksAndNul) || HasAny(value, kLineBreaksAndNul) ||
        key.find('=') != std::string_view::npos || keyName.front() == '[' ||
        keyName.front() == ';') {
        return std::nullopt;
    }

    const std::vector<Line> lines = SplitLines(text);
    const std::string_view lineBreak = LineBreakOf(text);
    std::string result(text);

    const std::optional<SectionSpan> span = FindSection(lines, section);
    if (!span) {
        const std::size_t bodyStart = text.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
        if (text.size() > bodyStart && !IsLineBreak(text.back())) {
            result += lineBreak;
        }
        result += '[';
        result += section;
        result += ']';
        result += lineBreak;
        result += key;
        result += '=';
        result += value;
        result += lineBreak;
        return result;
    }

    if (const Line* entry = FindEntry(lines, *span, key)) {
        // Only the value's bytes change; the key's spelling and the blanks around it stay.
        std::size_t valueEnd = entry->end;
        while (valueEnd > entry->equals + 1 && IsBlank(text[valueEnd - 1])) {
            --valueEnd;
        }
        std::size_t valueBegin = entry->equals + 1;
        while (valueBegin < valueEnd && IsBlank(text[valueBegin])) {
            ++valueBegin;
        }
        result.replace(valueBegin, valueEnd - valueBegin, value);
        return result;
    }

    // A new key follows the section's last entry, ahead of blank lines and comments that
    // separate it from the next section.
    std::size_t after = span->header;
    for (std::size_t i = span->first; i < span->last; ++i) {
        if (lines[i].kind == LineKind::kEntry || lines[i].kind == LineKind::kOther) {
            after = i;
        }
    }
    const Line& anchor = lines[after];
    std::string inserted;
    if (anchor.next == anchor.end) {
        // The anchor is the last line and has no line break; the file keeps ending without one.
        inserted += lineBreak;
        inserted += key;
        inserted += '=';
        inserted += value;
    } else {
        inserted += key;
        inserted += '=';
        inserted += value;
        inserted += lineBreak;
    }
    result.insert(anchor.next, inserted);
    return result;
}

}  // namespace countryset

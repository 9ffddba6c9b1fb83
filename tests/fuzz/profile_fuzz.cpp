// Fuzz target: the private-profile reader and writer over any bytes.
//
// Input: a section, a key and a value to write, a buffer size, then the settings file's text.
// Checks, beyond the sanitizers' own:
//  - every read stays inside its buffer, for buffer sizes 0 to 1024, with guard bytes on both
//    sides, and leaves a zero-terminated text (a list ended by two zeros for a section);
//  - a write-back that succeeds reads back as the value written, and changes nothing else:
//    every other key of every section reads as before, and the bytes that differ lie within one
//    line of the old text.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/profile_text.h"

namespace {

using countryset::CopyProfileSection;
using countryset::CopyProfileText;
using countryset::FindProfileValue;
using countryset::ProfileSectionEntries;
using countryset::ReadProfileInt;
using countryset::ReadProfileSection;
using countryset::ReadProfileString;
using countryset::WriteProfileValue;

constexpr std::size_t kGuard = 16;
constexpr unsigned char kGuardByte = 0xA5;
constexpr std::uint32_t kMaxBuffer = 1024;
constexpr std::size_t kMaxNames = 48;

void Fail(const char* what) {
    std::fprintf(stderr, "profile_fuzz: %s\n", what);
    std::abort();
}

void Check(bool ok, const char* what) {
    if (!ok) {
        Fail(what);
    }
}

// A buffer of the given size with guard bytes on both sides. The inner part is filled with a
// non-zero pattern so that a missing terminator shows.
class GuardedBuffer {
public:
    explicit GuardedBuffer(std::uint32_t size) : size_(size), bytes_(size + 2 * kGuard) {
        std::fill(bytes_.begin(), bytes_.end(), kGuardByte);
    }
    char* Data() { return reinterpret_cast<char*>(bytes_.data() + kGuard); }
    std::uint32_t Size() const { return size_; }
    void CheckGuards() const {
        for (std::size_t i = 0; i < kGuard; ++i) {
            Check(bytes_[i] == kGuardByte, "write before the buffer");
            Check(bytes_[kGuard + size_ + i] == kGuardByte, "write past the buffer");
        }
    }

private:
    std::uint32_t size_;
    std::vector<unsigned char> bytes_;
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
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

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// How a value reads back: blanks around it dropped, then one pair of enclosing quotes.
std::string_view AsRead(std::string_view value) {
    value = Trim(value);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
    }
    return value;
}

// Every name that could be a section or a key somewhere in the text; more than there are is
// harmless, since a name that is not there reads as missing before and after.
void CollectNames(std::string_view text, std::vector<std::string>& sections,
                  std::vector<std::string>& keys) {
    std::size_t pos = 0;
    while (pos < text.size() && sections.size() < kMaxNames && keys.size() < kMaxNames) {
        std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view line = text.substr(pos, end - pos);
        const std::size_t open = line.find('[');
        const std::size_t close = line.rfind(']');
        if (open != std::string_view::npos && close != std::string_view::npos && close > open) {
            sections.emplace_back(line.substr(open + 1, close - open - 1));
        }
        if (const std::size_t eq = line.find('='); eq != std::string_view::npos) {
            keys.emplace_back(line.substr(0, eq));
        }
        pos = end + 1;
    }
}

// A text read into buffers of every size: never outside the buffer, always terminated, always
// the start of the value. Every size goes through the copy into the buffer; a few through the
// whole read, file parsing included.
void CheckTextReads(std::string_view text, std::string_view section, std::string_view key,
                    std::uint32_t chosenSize) {
    const std::optional<std::string_view> found = FindProfileValue(text, section, key);
    const std::string_view def = "default";
    const std::string_view expected = found ? *found : def;
    auto one = [&](std::uint32_t size, bool wholeRead) {
        GuardedBuffer buffer(size);
        const std::uint32_t n =
            wholeRead ? ReadProfileString(text, section, key, def, buffer.Data(), size)
                      : CopyProfileText(expected, buffer.Data(), size);
        buffer.CheckGuards();
        if (size == 0) {
            Check(n == 0, "a zero-size read reported characters");
            return;
        }
        Check(n == std::min<std::size_t>(expected.size(), size - 1), "text read cut wrongly");
        Check(buffer.Data()[n] == '\0', "text read not terminated");
        Check(std::string_view(buffer.Data(), n) == expected.substr(0, n),
              "text read is not the start of the value");
    };
    const auto upTo =
        static_cast<std::uint32_t>(std::min<std::size_t>(expected.size() + 2, kMaxBuffer));
    for (std::uint32_t size = 0; size <= upTo; ++size) {
        one(size, false);
    }
    for (std::uint32_t size : {0u, 1u, 2u, upTo, chosenSize}) {
        one(size, true);
    }
}

// A section read into buffers of every size: inside the buffer, and byte for byte the section's
// entries laid out as "entry\0entry\0...\0\0" as far as they fit, the list then ending in the
// buffer's last two bytes. (Entries may hold zero bytes of their own; a reader then sees the
// list end early, as it would with any private-profile reader.)
void CheckSectionReads(std::string_view text, std::string_view section, std::uint32_t chosenSize) {
    const std::vector<std::string> entries = ProfileSectionEntries(text, section);
    std::string layout;
    for (const std::string& e : entries) {
        layout += e;
        layout += '\0';
    }
    layout += '\0';
    if (layout.size() == 1) {
        layout += '\0';  // the empty list is two zero bytes where there is room
    }
    auto one = [&](std::uint32_t size, bool wholeRead) {
        GuardedBuffer buffer(size);
        const std::uint32_t placed = wholeRead
                                         ? ReadProfileSection(text, section, buffer.Data(), size)
                                         : CopyProfileSection(entries, buffer.Data(), size);
        buffer.CheckGuards();
        if (size == 0) {
            return;
        }
        const std::string_view got(buffer.Data(), size);
        if (size == 1) {
            Check(got[0] == '\0', "one-byte section read not zero");
            return;
        }
        if (layout.size() <= size) {
            Check(got.substr(0, layout.size()) == layout, "section read differs from the entries");
            Check(placed == (layout.size() == 2 && layout[0] == '\0' ? 0 : layout.size() - 1),
                  "section read reports the wrong length");
        } else {
            Check(got.substr(0, size - 2) == std::string_view(layout).substr(0, size - 2),
                  "cut section read differs from the entries");
            Check(got[size - 2] == '\0' && got[size - 1] == '\0',
                  "cut section list does not end in the buffer's last two bytes");
            Check(placed == size - 1, "cut section read reports the wrong length");
        }
    };
    const std::uint32_t upTo =
        static_cast<std::uint32_t>(std::min<std::size_t>(layout.size() + 2, kMaxBuffer));
    for (std::uint32_t size = 0; size <= upTo; ++size) {
        one(size, false);
    }
    for (std::uint32_t size : {0u, 1u, 2u, upTo, chosenSize}) {
        one(size, true);
    }
}

// The entries of a section less the first one of the key.
std::vector<std::string> WithoutKey(std::vector<std::string> entries, std::string_view key) {
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        const std::size_t eq = it->find('=');
        if (eq != std::string::npos &&
            EqualsNoCase(Trim(std::string_view(*it).substr(0, eq)), Trim(key))) {
            entries.erase(it);
            break;
        }
    }
    return entries;
}

void CheckWriteBack(std::string_view text, const std::string& section, const std::string& key,
                    const std::string& value, const std::vector<std::string>& sections) {
    const std::optional<std::string> written = WriteProfileValue(text, section, key, value);
    if (!written) {
        return;
    }
    const std::string_view after = *written;
    const std::optional<std::string_view> readBack = FindProfileValue(after, section, key);
    Check(readBack.has_value(), "key written is not found");
    Check(*readBack == AsRead(value), "key written reads back otherwise");

    // The bytes that differ lie within one line of the old text.
    std::size_t prefix = 0;
    while (prefix < text.size() && prefix < after.size() && text[prefix] == after[prefix]) {
        ++prefix;
    }
    std::size_t suffix = 0;
    while (suffix < text.size() - prefix && suffix < after.size() - prefix &&
           text[text.size() - 1 - suffix] == after[after.size() - 1 - suffix]) {
        ++suffix;
    }
    const std::string_view removed = text.substr(prefix, text.size() - prefix - suffix);
    Check(removed.find_first_of("\r\n") == std::string_view::npos,
          "write-back changed bytes across lines");

    // Every section lists its entries as before, the written key's entry aside; so every
    // other key reads as before.
    for (const std::string& s : sections) {
        std::vector<std::string> old = ProfileSectionEntries(text, s);
        std::vector<std::string> now = ProfileSectionEntries(after, s);
        if (EqualsNoCase(Trim(s), Trim(section))) {
            old = WithoutKey(std::move(old), key);
            now = WithoutKey(std::move(now), key);
        }
        Check(old == now, "write-back changed another entry");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string section = in.ConsumeRandomLengthString(32);
    const std::string key = in.ConsumeRandomLengthString(32);
    const std::string value = in.ConsumeRandomLengthString(64);
    const std::uint32_t bufferSize = in.ConsumeIntegralInRange<std::uint32_t>(0, kMaxBuffer);
    const std::string text = in.ConsumeRemainingBytesAsString();

    std::vector<std::string> sections{section, "Setting", "Country"};
    std::vector<std::string> keys{key, "CurrentSet", "CurrentCOM"};
    CollectNames(text, sections, keys);
    for (const std::string& k : keys) {
        (void)ReadProfileInt(text, section, k, -7);
    }

    CheckTextReads(text, section, key, bufferSize);
    CheckSectionReads(text, section, bufferSize);
    CheckWriteBack(text, section, key, value, sections);
    // What the program itself writes back.
    CheckWriteBack(text, "Setting", "CurrentSet", std::to_string(bufferSize), sections);
    return 0;
}

// Fuzz target: the private-profile reader and writer over any bytes.
//
// Input: a section, a key and a value to write, a buffer size, then the settings file's text.
// Checks, beyond the sanitizers' own:
//  - every read stays inside its buffer, for buffer sizes 0 to 1024, with guard bytes on both
//    sides, and leaves a zero-terminated text (a list ended by two zeros for a section);
//  - a write-back that succeeds reads back as the value reads in a file of its own, and changes
//    nothing else: every section lists its other entries as before, and the bytes that differ
//    lie within one line of the old text;
//  - two keys written at once give exactly the text of the two written one after the other.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "settings/profile_text.h"

namespace {

using namespace countryset;

constexpr std::size_t kGuard = 16;
constexpr char kGuardByte = char(0xA5);
constexpr std::uint32_t kMaxBuffer = 1024;
constexpr std::size_t kMaxNames = 48;

// What a read into a buffer of some size must leave there, and return when that is fixed.
struct Want {
    std::string bytes;
    std::optional<std::uint32_t> result;
};

// Reads into buffers of every size up to the one past which nothing changes (copy), and of a
// few sizes through the whole read, file parsing included (read). Each buffer is filled with a
// non-zero pattern, so a missing terminator shows, and has guard bytes on both sides.
template <class Copy, class Read, class Expect>
void EverySize(std::size_t needed, std::uint32_t chosen, Copy copy, Read read, Expect want) {
    auto one = [&](std::uint32_t size, auto& into) {
        std::string buffer(size + 2 * kGuard, kGuardByte);
        const std::uint32_t result = into(buffer.data() + kGuard, size);
        const Want w = want(size);
        const std::string guard(kGuard, kGuardByte);
        Check(buffer.compare(0, kGuard, guard) == 0 &&
                  buffer.compare(kGuard + size, kGuard, guard) == 0,
              "write outside the buffer");
        Check(buffer.compare(kGuard, w.bytes.size(), w.bytes) == 0, "read differs");
        Check(!w.result || *w.result == result, "read reports the wrong length");
    };
    const auto upTo = std::uint32_t(std::min<std::size_t>(needed + 2, kMaxBuffer));
    for (std::uint32_t size = 0; size <= upTo; ++size) {
        one(size, copy);
    }
    for (std::uint32_t size : {0u, 1u, 2u, upTo, chosen}) {
        one(size, read);
    }
}

// A value read cut to size - 1 characters and zero-terminated.
void CheckTextReads(std::string_view text, const std::string& section, const std::string& key,
                    std::uint32_t chosen) {
    const std::string_view value = FindProfileValue(text, section, key).value_or("default");
    EverySize(
        value.size(), chosen,
        [&](char* b, std::uint32_t n) { return CopyProfileText(value, b, n); },
        [&](char* b, std::uint32_t n) {
            return ReadProfileString(text, section, key, "default", b, n);
        },
        [&](std::uint32_t size) {
            const std::size_t n = std::min<std::size_t>(value.size(), size ? size - 1 : 0);
            return size == 0 ? Want{"", 0u}
                             : Want{std::string(value.substr(0, n)) + '\0', std::uint32_t(n)};
        });
}

// A section read: the entries laid out as "entry\0entry\0...\0\0" as far as they fit, a cut
// list ending in the buffer's last two bytes. (Entries may hold zero bytes of their own; a
// reader then sees the list end early, as it would with any private-profile reader.)
void CheckSectionReads(std::string_view text, const std::string& section, std::uint32_t chosen) {
    const std::vector<std::string> entries = ProfileSectionEntries(text, section);
    std::string layout;
    for (const std::string& e : entries) {
        layout += e + '\0';
    }
    layout += entries.empty() ? std::string(2, '\0') : std::string(1, '\0');
    EverySize(
        layout.size(), chosen,
        [&](char* b, std::uint32_t n) { return CopyProfileSection(entries, b, n); },
        [&](char* b, std::uint32_t n) { return ReadProfileSection(text, section, b, n); },
        [&](std::uint32_t size) {
            if (size < 2) {
                return Want{std::string(size, '\0'), std::nullopt};
            }
            if (layout.size() <= size) {
                return Want{layout, std::uint32_t(entries.empty() ? 0 : layout.size() - 1)};
            }
            return Want{layout.substr(0, size - 2) + std::string(2, '\0'), size - 1};
        });
}

// The section's entries, less the first of the key when it is the section written; whether a
// name is the one written is the parser's call.
std::vector<std::string> Others(std::string_view text, const std::string& name,
                                const std::string& section, const std::string& key) {
    std::vector<std::string> entries = ProfileSectionEntries(text, name);
    if (FindProfileValue("[" + name + "]\nk=", section, "k")) {
        const auto it = std::find_if(entries.begin(), entries.end(), [&](const std::string& e) {
            return FindProfileValue("[s]\n" + e, "s", key).has_value();
        });
        if (it != entries.end()) {
            entries.erase(it);
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
    Check(FindProfileValue(after, section, key) == FindProfileValue("[s]\nk=" + value, "s", "k"),
          "key written reads back otherwise");
    // The bytes that differ lie within one line of the old text.
    const std::size_t prefix =
        std::mismatch(text.begin(), text.end(), after.begin(), after.end()).first - text.begin();
    const std::size_t suffix =
        std::mismatch(text.rbegin(), text.rend() - prefix, after.rbegin(), after.rend() - prefix)
            .first -
        text.rbegin();
    Check(text.substr(prefix, text.size() - prefix - suffix).find_first_of("\r\n") ==
              std::string_view::npos,
          "write-back changed bytes across lines");
    for (const std::string& s : sections) {
        Check(Others(text, s, section, key) == Others(after, s, section, key),
              "write-back changed another entry");
    }
}

// Writing a pair in one go reads back like writing its keys one after the other: every section
// lists the same entries. (Byte for byte they may differ in a file whose line breaks are mixed,
// where a new line's lone CR can join an LF that follows it.)
void CheckPairWrite(std::string_view text, const std::string& section, const ProfileKeyText& a,
                    const ProfileKeyText& b, const std::vector<std::string>& sections) {
    const ProfileKeyText pair[] = {a, b};
    const std::optional<std::string> together = WriteProfileValues(text, section, pair);
    const bool sameKey =
        FindProfileValue("[s]\n" + std::string(a.key) + "=1", "s", b.key).has_value();
    std::optional<std::string> oneByOne = WriteProfileValue(text, section, a.key, a.text);
    if (oneByOne) {
        oneByOne = WriteProfileValue(*oneByOne, section, b.key, b.text);
    }
    if (sameKey || !together || !oneByOne) {
        Check(!together && (sameKey || !oneByOne), "a pair written at once differs");
        return;
    }
    for (const std::string& s : sections) {
        Check(ProfileSectionEntries(*together, s) == ProfileSectionEntries(*oneByOne, s),
              "a pair written at once differs");
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

    // Every name that could be a section somewhere in the text; more than there are is
    // harmless, since a name that is not there reads as missing before and after.
    std::vector<std::string> sections{section, "Setting", "Country"};
    for (std::size_t pos = 0; pos < text.size() && sections.size() < kMaxNames; ++pos) {
        const std::size_t end = std::min(text.find_first_of("\r\n", pos), text.size());
        const std::string_view line = std::string_view(text).substr(pos, end - pos);
        const std::size_t open = line.find('['), close = line.find(']', open);
        if (open != std::string_view::npos && close != std::string_view::npos && close > open) {
            sections.emplace_back(line.substr(open + 1, close - open - 1));
        }
        pos = end;
    }
    (void)ReadProfileInt(text, section, key, -7);

    CheckTextReads(text, section, key, bufferSize);
    CheckSectionReads(text, section, bufferSize);
    CheckWriteBack(text, section, key, value, sections);
    // What the program itself writes back.
    CheckWriteBack(text, "Setting", "CurrentSet", std::to_string(bufferSize), sections);
    const std::string number = std::to_string(bufferSize);
    CheckPairWrite(text, section, {key, value}, {"CurrentCOM", number}, sections);
    CheckPairWrite(text, "Setting", {"CurrentSet", number}, {"CurrentCOM", value}, sections);
    return 0;
}

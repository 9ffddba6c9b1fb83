// JSON text for scripts: a writer of one compact JSON value (objects, arrays, strings, whole
// numbers, true/false/null) with the string escaping a line-based reader can rely on. Our own,
// about a hundred lines: the output is a handful of flat objects, the escaping rules are ours to
// choose (every byte a modem sends must survive and never break a line or reach a terminal
// raw), and the program stays free of a header-heavy library in every translation unit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace countryset {

// text as a JSON string, quotes included. Valid UTF-8 passes as it stands; control bytes
// (C0, DEL, and C1 code points) become escapes; each byte that is not part of valid UTF-8
// becomes \u00XX on its own, so the result is always one line of valid UTF-8.
std::string JsonString(std::string_view text);

// Writes one value; commas and colons are put where they belong. Misuse (a key outside an
// object, a value without its key) is the caller's bug: the text is then not valid JSON.
class JsonWriter {
public:
    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    JsonWriter& Key(std::string_view name);
    JsonWriter& String(std::string_view text);
    JsonWriter& Number(std::uint64_t value);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();
    // A string, or null when there is none.
    JsonWriter& StringOrNull(const std::optional<std::string>& text);

    const std::string& Text() const { return m_text; }

private:
    void BeforeValue();

    std::string m_text;
    std::vector<bool> m_itemWritten;  // per open object or array: whether it holds an item
    bool m_afterKey = false;
};

}  // namespace countryset

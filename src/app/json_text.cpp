#include "app/json_text.h"

#include "ui/shown_text.h"

namespace countryset {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void AppendEscape(std::string& out, unsigned value) {
    out += "\\u00";
    out += kHex[(value >> 4) & 0xF];
    out += kHex[value & 0xF];
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    out.reserve(text.size() + 2);
    for (std::size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c >= 0x80) {
            const std::size_t length = Utf8SequenceAt(text, at);
            // U+0080..U+009F (C2 80..C2 9F) are control codes a terminal may act on.
            if (length == 0 || (c == 0xC2 && static_cast<unsigned char>(text[at + 1]) <= 0x9F)) {
                AppendEscape(out, length == 0 ? c : static_cast<unsigned char>(text[at + 1]));
                at += length == 0 ? 1 : 2;
            } else {
                out.append(text.substr(at, length));
                at += length;
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    AppendEscape(out, c);
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++at;
    }
    return out + "\"";
}

void JsonWriter::BeforeValue() {
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (!m_itemWritten.empty()) {
        if (m_itemWritten.back()) {
            m_text += ',';
        }
        m_itemWritten.back() = true;
    }
}

JsonWriter& JsonWriter::BeginObject() {
    BeforeValue();
    m_text += '{';
    m_itemWritten.push_back(false);
    return *this;
}

JsonWriter& JsonWriter::EndObject() {
    m_text += '}';
    if (!m_itemWritten.empty()) {
        m_itemWritten.pop_back();
    }
    return *this;
}

JsonWriter& JsonWriter::BeginArray() {
    BeforeValue();
    m_text += '[';
    m_itemWritten.push_back(false);
    return *this;
}

JsonWriter& JsonWriter::EndArray() {
    m_text += ']';
    if (!m_itemWritten.empty()) {
        m_itemWritten.pop_back();
    }
    return *this;
}

JsonWriter& JsonWriter::Key(std::string_view name) {
    BeforeValue();
    m_text += JsonString(name);
    m_text += ':';
    m_afterKey = true;
    return *this;
}

JsonWriter& JsonWriter::String(std::string_view text) {
    BeforeValue();
    m_text += JsonString(text);
    return *this;
}

JsonWriter& JsonWriter::Number(std::uint64_t value) {
    BeforeValue();
    m_text += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
    BeforeValue();
    m_text += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::Null() {
    BeforeValue();
    m_text += "null";
    return *this;
}

JsonWriter& JsonWriter::StringOrNull(const std::optional<std::string>& text) {
    return text ? String(*text) : Null();
}

}  // namespace countryset

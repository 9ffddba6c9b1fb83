#include "ui/shown_text.h"

#include <algorithm>

namespace countryset {

namespace {

bool Continuation(unsigned char c, unsigned char low = 0x80, unsigned char high = 0xBF) {
    return c >= low && c <= high;
}

void AppendCaret(std::string& out, unsigned char c) {
    out += '^';
    out += c == 0x7F ? '?' : static_cast<char>(c + 0x40);
}

}  // namespace

std::size_t Utf8SequenceAt(std::string_view text, std::size_t at, char32_t* code) {
    if (at >= text.size()) {
        return 0;
    }
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    // The range of the second byte narrows for the leads that could start an overlong form, a
    // surrogate or a code point past U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() - at < length) {
        return 0;
    }
    char32_t value = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[at + i]);
        if (i == 1 ? !Continuation(c, low, high) : !Continuation(c)) {
            return 0;
        }
        value = (value << 6) | (c & 0x3F);
    }
    if (code != nullptr) {
        *code = value;
    }
    return length;
}

std::size_t CutWithoutSplitting(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) {
        return text.size();
    }
    std::size_t at = 0;
    while (at < limit) {
        const std::size_t n = std::max<std::size_t>(1, Utf8SequenceAt(text, at));
        if (at + n > limit) {
            break;
        }
        at += n;
    }
    return at;
}

std::string VisibleText(std::string_view text, bool keepLineFeeds) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c < 0x80) {
            if (c == '\n' && keepLineFeeds) {
                out += '\n';
            } else if (c < 0x20 || c == 0x7F) {
                AppendCaret(out, c);
            } else {
                out += static_cast<char>(c);
            }
            ++at;
            continue;
        }
        char32_t code = 0;
        const std::size_t n = Utf8SequenceAt(text, at, &code);
        // A terminal may take U+0080..U+009F, and a lone byte 0x80..0x9F, as a control.
        const char32_t control = n > 0 ? code : c;
        if (control >= 0x80 && control <= 0x9F) {
            out += "M-";
            AppendCaret(out, static_cast<unsigned char>(control - 0x80));
        } else {
            out.append(text.substr(at, n > 0 ? n : 1));
        }
        at += n > 0 ? n : 1;
    }
    return out;
}

}  // namespace countryset

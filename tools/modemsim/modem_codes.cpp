#include "modem_codes.h"

#include <cctype>
#include <cstdio>

namespace countryset {

namespace {

// The countries the simulated modem takes unless told otherwise: one modem's own list, a part
// of what the code table names.
constexpr std::uint8_t kDefaultSupported[] = {
    0x00, 0x07, 0x09, 0x0A, 0x0F, 0x16, 0x1B, 0x20, 0x25, 0x26, 0x2D, 0x2E, 0x31, 0x36,
    0x3C, 0x3D, 0x42, 0x46, 0x50, 0x51, 0x52, 0x53, 0x54, 0x57, 0x58, 0x59, 0x61, 0x69,
    0x6C, 0x73, 0x7B, 0x7E, 0x82, 0x89, 0x8A, 0x8B, 0x8E, 0x98, 0x9C, 0x9F, 0xA0, 0xA5,
    0xA6, 0xA9, 0xAE, 0xB2, 0xB3, 0xB4, 0xB5, 0xB8, 0xC5, 0xC6, 0xFE,
};

}  // namespace

std::span<const std::uint8_t> DefaultSupportedCodes() {
    return kDefaultSupported;
}

std::string Hex2(std::uint8_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    return {kDigits[value >> 4], kDigits[value & 0x0F]};
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string Escaped(std::string_view bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        if (c == '\r') {
            text += "\\r";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\\') {
            text += "\\\\";
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        } else {
            text += static_cast<char>(c);
        }
    }
    return text;
}

std::string UnescapeArgument(std::string_view text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            bytes += text[i];
            continue;
        }
        const char kind = text[++i];
        switch (kind) {
            case 'r':
                bytes += '\r';
                break;
            case 'n':
                bytes += '\n';
                break;
            case 't':
                bytes += '\t';
                break;
            case 'x': {
                int value = 0;
                int digits = 0;
                while (digits < 2 && i + 1 < text.size() && HexDigit(text[i + 1]) >= 0) {
                    value = value * 16 + HexDigit(text[++i]);
                    ++digits;
                }
                bytes += digits > 0 ? static_cast<char>(value) : 'x';
                break;
            }
            default:
                bytes += kind;
                break;
        }
    }
    return bytes;
}

bool ParseSupportedSet(std::string_view text, std::bitset<256>& codes) {
    codes.reset();
    if (text.size() < 2 || text.front() != '(' || text.back() != ')') {
        return false;
    }
    text = text.substr(1, text.size() - 2);
    auto code = [](std::string_view digits, int& value) {
        value = 0;
        if (digits.empty() || digits.size() > 2) {
            return false;
        }
        for (char c : digits) {
            if (HexDigit(c) < 0) {
                return false;
            }
            value = value * 16 + HexDigit(c);
        }
        return true;
    };
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (comma != std::string_view::npos && text.empty()) {
            return false;
        }
        const std::size_t dash = item.find('-');
        int first = 0;
        int last = 0;
        if (!(dash == std::string_view::npos
                  ? code(item, first) && code(item, last)
                  : code(item.substr(0, dash), first) && code(item.substr(dash + 1), last)) ||
            first > last) {
            return false;
        }
        for (int c = first; c <= last; ++c) {
            codes.set(static_cast<std::size_t>(c));
        }
    }
    return true;
}

}  // namespace countryset

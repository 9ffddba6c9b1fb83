#include "app/gci_reply.h"

#include <vector>

namespace countryset {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string_view TrimSpaces(std::string_view text) {
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.back() == ' ') {
        text.remove_suffix(1);
    }
    return text;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// The answer without its echo, cut into its non-empty lines; the last is the result code.
struct Lines {
    std::vector<std::string_view> info;
    std::string_view result;
    std::string problem;
};

Lines SplitAnswer(std::string_view reply, std::string_view command) {
    Lines lines;
    if (reply.substr(0, command.size()) == command) {
        reply.remove_prefix(command.size());
    }
    std::vector<std::string_view> all;
    std::size_t start = 0;
    for (std::size_t at = 0; at <= reply.size(); ++at) {
        if (at == reply.size() || reply[at] == '\r' || reply[at] == '\n') {
            if (at > start) {
                all.push_back(reply.substr(start, at - start));
            }
            start = at + 1;
        }
    }
    if (all.empty()) {
        lines.problem = "no answer";
        return lines;
    }
    lines.result = all.back();
    all.pop_back();
    lines.info = std::move(all);
    return lines;
}

// The value after "+GCI:" of the one information line; empty problem when found.
std::string InfoValue(const Lines& lines, std::string_view& value) {
    if (lines.info.size() != 1) {
        return lines.info.empty() ? "no +GCI: line before OK" : "more than one line before OK";
    }
    const std::string_view line = lines.info.front();
    if (line.size() < 5 || !EqualsNoCase(line.substr(0, 5), "+GCI:")) {
        return "the line before OK is not a +GCI: line";
    }
    value = TrimSpaces(line.substr(5));
    return {};
}

GciReply Unreadable(std::string problem) {
    GciReply result;
    result.kind = GciReply::Kind::Unreadable;
    result.problem = std::move(problem);
    return result;
}

// Parses the common frame; Answered leaves value set, others return early.
GciReply Frame(std::string_view reply, std::string_view command, std::string_view& value) {
    const Lines lines = SplitAnswer(reply, command);
    if (!lines.problem.empty()) {
        return Unreadable(lines.problem);
    }
    if (lines.result == "ERROR" || lines.result == "4") {
        GciReply refused;
        refused.kind = GciReply::Kind::Refused;
        return refused;
    }
    if (lines.result != "OK" && lines.result != "0") {
        return Unreadable("the answer does not end with OK");
    }
    if (std::string problem = InfoValue(lines, value); !problem.empty()) {
        return Unreadable(problem);
    }
    GciReply answered;
    answered.kind = GciReply::Kind::Answered;
    return answered;
}

}  // namespace

bool ParseCountryCode(std::string_view text, std::uint8_t& code) {
    if (text.empty() || text.size() > 2) {
        return false;
    }
    int value = 0;
    for (char c : text) {
        const int digit = HexValue(c);
        if (digit < 0) {
            return false;
        }
        value = value * 16 + digit;
    }
    code = static_cast<std::uint8_t>(value);
    return true;
}

bool EndsWithFinalResult(std::string_view reply) {
    for (std::string_view ending : {"\r\nOK\r\n", "\r\nERROR\r\n"}) {
        if (reply.size() >= ending.size() && reply.substr(reply.size() - ending.size()) == ending) {
            return true;
        }
    }
    return false;
}

GciReply ParseCurrentCountry(std::string_view reply, std::string_view command) {
    std::string_view value;
    GciReply result = Frame(reply, command, value);
    if (result.kind != GciReply::Kind::Answered) {
        return result;
    }
    if (!ParseCountryCode(value, result.current)) {
        return Unreadable("'" + std::string(value) + "' is not a country code");
    }
    return result;
}

GciReply ParseSupportedCountries(std::string_view reply, std::string_view command) {
    std::string_view value;
    GciReply result = Frame(reply, command, value);
    if (result.kind != GciReply::Kind::Answered) {
        return result;
    }
    if (value.size() < 2 || value.front() != '(' || value.back() != ')') {
        return Unreadable("the supported countries are not in parentheses");
    }
    std::string_view items = value.substr(1, value.size() - 2);
    while (!items.empty()) {
        const std::size_t comma = items.find(',');
        const std::string_view item = TrimSpaces(items.substr(0, comma));
        items = comma == std::string_view::npos ? std::string_view() : items.substr(comma + 1);
        if (comma != std::string_view::npos && TrimSpaces(items).empty()) {
            return Unreadable("the list of supported countries ends with a comma");
        }
        const std::size_t dash = item.find('-');
        std::uint8_t first = 0;
        std::uint8_t last = 0;
        const bool read = dash == std::string_view::npos
                              ? ParseCountryCode(item, first) && ParseCountryCode(item, last)
                              : ParseCountryCode(TrimSpaces(item.substr(0, dash)), first) &&
                                    ParseCountryCode(TrimSpaces(item.substr(dash + 1)), last);
        if (!read || first > last) {
            return Unreadable("'" + std::string(item) + "' is not a country code or range");
        }
        for (int code = first; code <= last; ++code) {
            result.supported.set(static_cast<std::size_t>(code));
        }
    }
    return result;
}

}  // namespace countryset

#include "modem_dialogue.h"

#include <cctype>

#include "modem_codes.h"

namespace countryset {

ModemDialogue::ModemDialogue(ModemSimOptions options, std::uint8_t country)
    : options_(std::move(options)), country_(country) {
    if (!options_.supported.empty() && ParseSupportedSet(options_.supported, supported_)) {
        supportedText_ = options_.supported;
        return;
    }
    supportedText_ = "(";
    for (const std::uint8_t code : DefaultSupportedCodes()) {
        supportedText_ += (supportedText_.back() == '(' ? "" : ",") + Hex2(code);
        supported_.set(code);
    }
    supportedText_ += ")";
}

std::string ModemDialogue::Receive(std::string_view bytes) {
    std::vector<ModemOutput> out;
    Receive(bytes, out);
    std::string all;
    for (const ModemOutput& piece : out) {
        all += piece.bytes;
    }
    return all;
}

void ModemDialogue::Send(std::vector<ModemOutput>& out, std::string_view bytes, bool reply) {
    if (bytes.empty()) {
        return;
    }
    if (!out.empty() && !reply && !out.back().reply) {
        out.back().bytes += bytes;  // keep echoed characters together
        return;
    }
    out.push_back(ModemOutput{std::string(bytes), reply});
}

void ModemDialogue::Receive(std::string_view bytes, std::vector<ModemOutput>& out) {
    if (options_.silent) {
        return;
    }
    for (char c : bytes) {
        // A line feed after the carriage return of a CR LF pair starts no new line.
        if (atLineStart_ && c != '\r' && c != '\n') {
            atLineStart_ = false;
            if (options_.stray > 0) {
                std::string noise(static_cast<std::size_t>(options_.stray), '~');
                Send(out, noise, false);
            }
        }
        if (echo_ && !options_.noEcho) {
            if (options_.burst > 0) {
                heldEcho_ += c;
            } else {
                Send(out, std::string_view(&c, 1), false);
            }
        }
        if (c == '\r') {
            if (options_.burst > 0) {
                SendBurst(out);
            } else {
                ExecuteLine(out);
            }
            line_.clear();
            overflow_ = false;
            atLineStart_ = true;
        } else if (c == '\b') {
            if (!line_.empty()) {
                line_.pop_back();
            }
        } else if (c == '\n' && line_.empty()) {
            // nothing: the tail of a CR LF pair
        } else if (line_.size() < kMaxLine) {
            line_ += c;
        } else {
            overflow_ = true;
        }
    }
}

// The line's echo and answer in one piece, after the stray bytes when the line sets a country.
void ModemDialogue::SendBurst(std::vector<ModemOutput>& out) {
    std::string upper;
    for (char c : line_) {
        upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const std::size_t set = upper.find("+GCI=");
    std::string burst;
    if (set != std::string::npos && upper.compare(set, 6, "+GCI=?") != 0) {
        for (int i = 0; i < options_.burst; ++i) {
            burst += static_cast<char>('a' + i % 26);
        }
    }
    burst += heldEcho_;
    heldEcho_.clear();
    std::vector<ModemOutput> answer;
    ExecuteLine(answer);
    for (const ModemOutput& piece : answer) {
        burst += piece.bytes;
    }
    Send(out, burst, true);
}

void ModemDialogue::ExecuteLine(std::vector<ModemOutput>& out) {
    // Whatever comes before "AT" is line noise and is ignored, as is a line without it.
    std::size_t start = std::string::npos;
    for (std::size_t i = 0; i + 1 < line_.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(line_[i])) == 'A' &&
            std::toupper(static_cast<unsigned char>(line_[i + 1])) == 'T') {
            start = i + 2;
            break;
        }
    }
    if (start == std::string::npos && !overflow_) {
        return;
    }
    std::string info;
    const bool ok = !overflow_ && ExecuteCommands(std::string_view(line_).substr(start), info);
    if (options_.flood > 0) {
        std::string flood;
        for (int i = 0; i < options_.flood; ++i) {
            flood += i % 4 == 0 ? '\0' : static_cast<char>('a' + i % 26);
        }
        Send(out, flood, true);
        return;
    }
    std::string reply = ok ? info + ResultCode(true) + options_.extra : ResultCode(false);
    Send(out, reply, true);
}

bool ModemDialogue::ExecuteCommands(std::string_view body, std::string& info) {
    std::string commands;
    for (char c : body) {
        if (c != ' ') {
            commands += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    std::size_t at = 0;
    auto digit = [&](int fallback) {
        if (at < commands.size() && std::isdigit(static_cast<unsigned char>(commands[at]))) {
            return commands[at++] - '0';
        }
        return fallback;
    };
    while (at < commands.size()) {
        const char command = commands[at++];
        switch (command) {
            case 'E':
            case 'V': {
                const int value = digit(0);
                if (value > 1) {
                    return false;
                }
                (command == 'E' ? echo_ : verbose_) = value == 1;
                break;
            }
            case 'Z':
                if (digit(0) != 0) {
                    return false;
                }
                echo_ = true;  // the stored profile
                verbose_ = true;
                break;
            case 'I':
                // ATI0 is ATI; the other numbers say other things on real modems: not here.
                if (digit(0) != 0 || !Identity("I", info)) {
                    return false;
                }
                break;
            case '+': {
                if (const std::string_view name = std::string_view(commands).substr(at, 3);
                    name == "GMI" || name == "GMM" || name == "GMR" || name == "GSN") {
                    at += 3;
                    if (!Identity(name, info) || (at < commands.size() && commands[at++] != ';')) {
                        return false;
                    }
                    break;
                }
                if (commands.compare(at, 3, "GCI") != 0) {
                    return false;
                }
                at += 3;
                if (commands.compare(at, 2, "=?") == 0) {
                    at += 2;
                    if (options_.noGciTest) {
                        return false;
                    }
                    info += InfoText("+GCI: " + supportedText_);
                } else if (commands.compare(at, 1, "?") == 0) {
                    at += 1;
                    if (options_.noGciQuery) {
                        return false;
                    }
                    info += InfoText(options_.gciAnswer.empty() ? "+GCI: " + Hex2(country_)
                                                                : options_.gciAnswer);
                } else if (commands.compare(at, 1, "=") == 0) {
                    at += 1;
                    int value = 0;
                    int stored = 0;
                    int digits = 0;
                    while (at < commands.size() && HexDigit(commands[at]) >= 0) {
                        const int hex = HexDigit(commands[at++]);
                        value = value * 16 + hex;
                        stored =
                            stored * 16 + (options_.lettersAsDigits && hex > 9 ? hex - 10 : hex);
                        if (++digits > 2) {
                            return false;
                        }
                    }
                    if (digits == 0 || options_.errorGci || !supported_.test(value)) {
                        return false;
                    }
                    country_ = static_cast<std::uint8_t>(stored);
                } else {
                    return false;
                }
                // An extended command ends at ';' or at the end of the line.
                if (at < commands.size()) {
                    if (commands[at] != ';') {
                        return false;
                    }
                    ++at;
                }
                break;
            }
            default:
                return false;
        }
    }
    return true;
}

bool ModemDialogue::Identity(std::string_view name, std::string& info) const {
    std::string_view errors = options_.identityErrors;
    while (!errors.empty()) {
        const std::size_t comma = errors.find(',');
        if (errors.substr(0, comma) == name) {
            return false;
        }
        errors = comma == std::string_view::npos ? std::string_view() : errors.substr(comma + 1);
    }
    const std::string& text = name == "I"     ? options_.info
                              : name == "GMI" ? options_.manufacturer
                              : name == "GMM" ? options_.model
                              : name == "GMR" ? options_.revision
                                              : options_.serialNumber;
    info += InfoText(text);
    return true;
}

bool IsIdentityList(std::string_view names) {
    while (true) {
        const std::size_t comma = names.find(',');
        const std::string_view name = names.substr(0, comma);
        if (name != "I" && name != "GMI" && name != "GMM" && name != "GMR" && name != "GSN") {
            return false;
        }
        if (comma == std::string_view::npos) {
            return true;
        }
        names.remove_prefix(comma + 1);
    }
}

std::string ModemDialogue::ResultCode(bool ok) const {
    if (verbose_) {
        return ok ? "\r\nOK\r\n" : "\r\nERROR\r\n";
    }
    return ok ? "0\r" : "4\r";
}

std::string ModemDialogue::InfoText(std::string_view text) const {
    std::string framed = verbose_ ? "\r\n" : "";
    return framed + std::string(text) + "\r\n";
}

}  // namespace countryset

// Fuzz target: reading the modem's answers to the country queries, over any bytes a modem sends.
//
// Input: a mode byte, then either a whole reply (read by both readers) or a set of countries and
// a choice of spellings. Checks, beyond the sanitizers' own:
//  - any reply reads as answered, refused or unreadable, and only an unreadable one says why;
//  - a supported set spelled as a modem may spell it (codes or ranges, either case, spaces or
//    none after "+GCI:" and around commas, with or without the echo) reads back as that set, and a
//    current country so spelled reads back as that country.
#include <fuzzer/FuzzedDataProvider.h>

#include <bitset>
#include <cstdint>
#include <cstdio>
#include <string>

#include "app/gci_reply.h"
#include "fuzz_check.h"

namespace {

using namespace countryset;

constexpr const char* kQuery = "AT+GCI?\r";
constexpr const char* kTest = "AT+GCI=?\r";

void CheckShape(const GciReply& reply) {
    Check((reply.kind == GciReply::Kind::Unreadable) == !reply.problem.empty(),
          "a reason is given exactly when the answer does not read");
}

std::string Hex(unsigned code, bool lower) {
    char text[3];
    std::snprintf(text, sizeof text, lower ? "%02x" : "%02X", code);
    return text;
}

std::string Framed(FuzzedDataProvider& in, const std::string& command, const std::string& value) {
    const bool echo = in.ConsumeBool();
    const char* prefix = in.ConsumeBool() ? "+GCI: " : in.ConsumeBool() ? "+gci:" : "+GCI:";
    return (echo ? command : std::string()) + "\r\n" + prefix + value + "\r\n\r\nOK\r\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const int mode = in.ConsumeIntegralInRange(0, 2);
    if (mode == 0) {
        const std::string reply = in.ConsumeRemainingBytesAsString();
        CheckShape(ParseCurrentCountry(reply, kQuery));
        CheckShape(ParseSupportedCountries(reply, kTest));
        return 0;
    }
    if (mode == 1) {
        const unsigned code = in.ConsumeIntegral<std::uint8_t>();
        const GciReply reply =
            ParseCurrentCountry(Framed(in, kQuery, Hex(code, in.ConsumeBool())), kQuery);
        CheckShape(reply);
        Check(reply.kind == GciReply::Kind::Answered && reply.current == code,
              "a current country as modems spell it reads back");
        return 0;
    }
    // A set as runs of codes: each run is written as a range or as its codes one by one.
    std::bitset<256> wanted;
    std::string set = "(";
    unsigned next = in.ConsumeIntegralInRange(0u, 255u);
    while (next <= 255 && in.remaining_bytes() > 0) {
        const unsigned last = std::min(255u, next + in.ConsumeIntegralInRange(0u, 20u));
        const bool lower = in.ConsumeBool();
        const bool spaced = in.ConsumeBool();
        const std::string comma = spaced ? ", " : ",";
        if (set.size() > 1) {
            set += comma;
        }
        if (in.ConsumeBool()) {
            set += Hex(next, lower) + "-" + Hex(last, lower);
        } else {
            for (unsigned c = next; c <= last; ++c) {
                set += (c > next ? comma : std::string()) + Hex(c, lower);
            }
        }
        for (unsigned c = next; c <= last; ++c) {
            wanted.set(c);
        }
        next = last + 1 + in.ConsumeIntegralInRange(1u, 40u);
    }
    set += ")";
    const GciReply reply = ParseSupportedCountries(Framed(in, kTest, set), kTest);
    CheckShape(reply);
    Check(reply.kind == GciReply::Kind::Answered && reply.supported == wanted,
          "a supported set as modems spell it reads back");
    return 0;
}

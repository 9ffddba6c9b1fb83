// Fuzz target: the Telnet and Com Port Control codec, over any bytes a server sends.
//
// Input: a byte that picks where the stream is cut, then the stream. Checks, beyond the
// sanitizers' own:
//  - the stream read whole and read in pieces gives the same device bytes, answers and
//    request state (a 0xFF or a command split between two reads changes nothing);
//  - the device bytes are never more than the bytes received;
//  - the same bytes, sent by one codec and read by another in binary, come out as they went in.
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "serial/telnet_codec.h"

namespace {

using namespace countryset;
using namespace countryset::telnet;

std::span<const std::uint8_t> Span(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

void Open(TelnetCodec& codec) {
    std::string out;
    std::string data;
    codec.Start(out);
    const std::uint8_t answers[] = {kIac,          kDo,  kOptionBinary, kIac,          kWill,
                                    kOptionBinary, kIac, kDo,           kOptionComPort};
    codec.Receive(answers, data, out);
    codec.RequestControl(kSetControl, kControlDtrOn, out);
    codec.RequestBaudRate(38400, out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t step = 1 + data[0] % 7;
    const std::span<const std::uint8_t> stream(data + 1, size - 1);

    TelnetCodec whole;
    TelnetCodec pieces;
    std::string wholeData, wholeOut, pieceData, pieceOut;
    std::string ignored;
    whole.Start(ignored);
    pieces.Start(ignored);
    whole.RequestControl(kSetControl, kControlDtrOn, ignored);
    pieces.RequestControl(kSetControl, kControlDtrOn, ignored);
    whole.Receive(stream, wholeData, wholeOut);
    for (std::size_t at = 0; at < stream.size(); at += step) {
        pieces.Receive(stream.subspan(at, std::min(step, stream.size() - at)), pieceData, pieceOut);
    }
    Check(wholeData == pieceData, "pieces give the same device bytes as the whole");
    Check(wholeOut == pieceOut, "pieces give the same answers as the whole");
    Check(whole.ComPortAgreed() == pieces.ComPortAgreed() &&
              whole.ComPortRefused() == pieces.ComPortRefused() &&
              whole.Requests()[0].answered == pieces.Requests()[0].answered &&
              whole.Requests()[0].answer == pieces.Requests()[0].answer,
          "pieces give the same option and request state as the whole");
    Check(wholeData.size() <= stream.size(), "no more device bytes than bytes received");

    TelnetCodec sender;
    TelnetCodec receiver;
    Open(sender);
    Open(receiver);
    std::string wire;
    sender.EncodeData(stream, wire);
    std::string back, answers;
    receiver.Receive(Span(wire), back, answers);
    Check(back == std::string(stream.begin(), stream.end()), "sent bytes arrive as they went");
    Check(answers.empty(), "device bytes never read as commands");
    return 0;
}

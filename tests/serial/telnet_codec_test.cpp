#include "serial/telnet_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace countryset {
namespace {

using namespace telnet;
using Side = TelnetCodec::Side;

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) {
        s.push_back(static_cast<char>(v));
    }
    return s;
}

std::span<const std::uint8_t> Span(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

struct Fed {
    std::string data;
    std::string out;
};

Fed Feed(TelnetCodec& codec, const std::string& in) {
    Fed f;
    codec.Receive(Span(in), f.data, f.out);
    return f;
}

// A codec past the opening, with both sides in binary and the option agreed.
TelnetCodec Agreed() {
    TelnetCodec codec;
    std::string out;
    codec.Start(out);
    Feed(codec,
         Bytes({kIac, kDo, kOptionBinary, kIac, kWill, kOptionBinary, kIac, kDo, kOptionComPort}));
    return codec;
}

TEST(TelnetCodecTest, NegotiatesBinaryAndTheOptionAndRefusesEverythingElse) {
    TelnetCodec codec;
    std::string out;
    codec.Start(out);
    EXPECT_EQ(out, Bytes({kIac, kWill, kOptionBinary, kIac, kDo, kOptionBinary, kIac, kWill,
                          kOptionComPort}));
    // The server's own proposals (echo, suppress-go-ahead, terminal type) are all refused, and
    // its answers to ours need no answer: no loop.
    Fed f =
        Feed(codec, Bytes({kIac, kWill, 1, kIac, kWill, 3, kIac, kDo, 24, kIac, kDo, kOptionBinary,
                           kIac, kWill, kOptionBinary, kIac, kDo, kOptionComPort}));
    EXPECT_EQ(f.out, Bytes({kIac, kDont, 1, kIac, kDont, 3, kIac, kWont, 24}));
    EXPECT_TRUE(f.data.empty());
    EXPECT_TRUE(codec.ComPortAgreed());
    EXPECT_FALSE(codec.ComPortRefused());
    EXPECT_EQ(codec.Us(kOptionBinary), Side::Yes);
    EXPECT_EQ(codec.Him(kOptionBinary), Side::Yes);
    // Repeating an agreed option changes nothing and says nothing.
    f = Feed(codec, Bytes({kIac, kDo, kOptionBinary, kIac, kWill, kOptionBinary}));
    EXPECT_TRUE(f.out.empty());
    // The server withdrawing binary is acknowledged once.
    f = Feed(codec, Bytes({kIac, kWont, kOptionBinary, kIac, kWont, kOptionBinary}));
    EXPECT_EQ(f.out, Bytes({kIac, kDont, kOptionBinary}));
    EXPECT_EQ(codec.Him(kOptionBinary), Side::No);
    // The server may not offer the client's option from its own side.
    f = Feed(codec, Bytes({kIac, kWill, kOptionComPort}));
    EXPECT_EQ(f.out, Bytes({kIac, kDont, kOptionComPort}));
}

TEST(TelnetCodecTest, AServerThatRefusesTheOptionIsSeen) {
    TelnetCodec codec;
    std::string out;
    codec.Start(out);
    Fed f = Feed(codec, Bytes({kIac, kDont, kOptionComPort}));
    EXPECT_TRUE(f.out.empty());  // a refusal of an offer needs no answer
    EXPECT_TRUE(codec.ComPortRefused());
    EXPECT_FALSE(codec.ComPortAgreed());
    // Withdrawn after being agreed: refused too, and acknowledged.
    TelnetCodec agreed = Agreed();
    f = Feed(agreed, Bytes({kIac, kDont, kOptionComPort}));
    EXPECT_EQ(f.out, Bytes({kIac, kWont, kOptionComPort}));
    EXPECT_TRUE(agreed.ComPortRefused());
}

TEST(TelnetCodecTest, IacIsDoubledOnSendAndUndoneOnReceiveAtAnySplit) {
    TelnetCodec codec = Agreed();
    std::string sent;
    codec.EncodeData(Span(Bytes({'A', 0xFF, 0xFF, '\r', 0, 0xFE})), sent);
    EXPECT_EQ(sent, Bytes({'A', 0xFF, 0xFF, 0xFF, 0xFF, '\r', 0, 0xFE}));

    // A reply with the device's 0xFF bytes, a negotiation and a control answer in the middle.
    const std::string stream =
        Bytes({'O',  kIac, kIac,           'K', kIac, kIac, kIac, kIac, '\r', 0,   kIac, kWill, 1,
               kIac, kSb,  kOptionComPort, 105, 8,    kIac, kSe,  '\n', kIac, kIac});
    const std::string wanted = Bytes({'O', 0xFF, 'K', 0xFF, 0xFF, '\r', 0, '\n', 0xFF});
    for (std::size_t a = 0; a <= stream.size(); ++a) {
        for (std::size_t b = a; b <= stream.size(); ++b) {
            TelnetCodec c = Agreed();
            std::string ignored;
            c.RequestControl(kSetControl, kControlDtrOn, ignored);
            Fed f;
            for (const auto& part :
                 {stream.substr(0, a), stream.substr(a, b - a), stream.substr(b)}) {
                c.Receive(Span(part), f.data, f.out);
            }
            ASSERT_EQ(f.data, wanted) << "split at " << a << " and " << b;
            ASSERT_EQ(f.out, Bytes({kIac, kDont, 1})) << a << " " << b;
            ASSERT_TRUE(c.Requests()[0].answered) << a << " " << b;
        }
    }
}

TEST(TelnetCodecTest, CarriageReturnIsFollowedByNulUntilBinaryIsAgreed) {
    TelnetCodec codec;
    std::string out;
    codec.Start(out);
    std::string sent;
    codec.EncodeData(Span(std::string("AT\r")), sent);
    EXPECT_EQ(sent, Bytes({'A', 'T', '\r', 0}));
    // The server's CR NUL is a CR; its CR LF stays, and a NUL elsewhere is the device's.
    Fed f = Feed(codec, Bytes({'\r'}));
    f.data += Feed(codec, Bytes({0, '\r', '\n', 0, 'x'})).data;
    EXPECT_EQ(f.data, Bytes({'\r', '\r', '\n', 0, 'x'}));

    TelnetCodec binary = Agreed();
    sent.clear();
    binary.EncodeData(Span(std::string("AT\r")), sent);
    EXPECT_EQ(sent, "AT\r");
    EXPECT_EQ(Feed(binary, Bytes({'\r', 0})).data, Bytes({'\r', 0}));
}

TEST(TelnetCodecTest, ControlRequestsAreBuiltAndMatchedWithTheirAnswers) {
    TelnetCodec codec = Agreed();
    std::string out;
    codec.RequestBaudRate(38400, out);
    codec.RequestControl(kSetDataSize, 8, out);
    codec.RequestControl(kSetControl, kControlDtrOn, out);
    codec.RequestControl(kSetControl, kControlRtsOn, out);
    codec.RequestControl(kPurgeData, 0xFF, out);  // a value byte of 255 is doubled too
    EXPECT_EQ(out, Bytes({kIac, kSb, 44, 1,  0,    0,    0x96, 0,  kIac, kSe,  //
                          kIac, kSb, 44, 2,  8,    kIac, kSe,                  //
                          kIac, kSb, 44, 5,  8,    kIac, kSe,                  //
                          kIac, kSb, 44, 5,  11,   kIac, kSe,                  //
                          kIac, kSb, 44, 12, kIac, kIac, kIac, kSe}));

    // Answers come in order; two of one command match the requests in the order asked. A server
    // that set something else says so in its answer.
    Feed(codec, Bytes({kIac, kSb, 44,   105, 8,    kIac, kSe,  kIac, kSb,  44,  101,
                       0,    0,   0x4B, 0,   kIac, kSe,  kIac, kSb,  44,   105, 12,
                       kIac, kSe, kIac, kSb, 44,   112,  kIac, kIac, kIac, kSe}));
    auto r = codec.Requests();
    ASSERT_EQ(r.size(), 5u);
    EXPECT_TRUE(r[0].answered);
    EXPECT_EQ(r[0].answer, 19200u);
    EXPECT_FALSE(r[1].answered);
    EXPECT_TRUE(r[2].answered);
    EXPECT_EQ(r[2].answer, 8u);
    EXPECT_TRUE(r[3].answered);
    EXPECT_EQ(r[3].answer, 12u);
    EXPECT_TRUE(r[4].answered);
    EXPECT_EQ(r[4].answer, 255u);
    EXPECT_EQ(TelnetCodec::RequestName(r[2]), "SET-CONTROL DTR on");
    EXPECT_EQ(TelnetCodec::RequestName(r[0]), "SET-BAUDRATE 38400");

    // Notifications, answers of the wrong length and answers nobody asked for match nothing.
    Feed(codec, Bytes({kIac, kSb, 44,   107, 0x30, kIac, kSe, kIac, kSb, 44,   102,
                       8,    8,   kIac, kSe, kIac, kSb,  44,  104,  1,   kIac, kSe}));
    EXPECT_FALSE(codec.Requests()[1].answered);
    EXPECT_EQ(codec.UnmatchedAnswers(), 1u);

    // A server that never answers DTR does not shift the answer to flow control onto it.
    codec.ClearRequests();
    codec.RequestControl(kSetControl, kControlDtrOn, out);
    codec.RequestControl(kSetControl, kControlNoFlow, out);
    Feed(codec, Bytes({kIac, kSb, 44, 105, kControlNoFlow, kIac, kSe}));
    EXPECT_FALSE(codec.Requests()[0].answered);
    EXPECT_TRUE(codec.Requests()[1].answered);

    // The list is bounded: the oldest request goes first.
    codec.ClearRequests();
    for (int i = 0; i < 20; ++i) {
        codec.RequestControl(kSetParity, static_cast<std::uint8_t>(i), out);
    }
    ASSERT_EQ(codec.Requests().size(), TelnetCodec::kMaxRequests);
    EXPECT_EQ(codec.Requests()[0].value, 4u);
}

TEST(TelnetCodecTest, MalformedSubnegotiationsDoNotSwallowTheDevicesBytes) {
    // Longer than the codec keeps: read to its end, ignored, and the data after it is intact.
    std::string overlong = Bytes({kIac, kSb, 44, 105});
    overlong += std::string(5000, 'z');
    overlong += Bytes({kIac, kSe}) + "OK";
    TelnetCodec codec = Agreed();
    std::string out;
    codec.RequestControl(kSetControl, kControlDtrOn, out);
    EXPECT_EQ(Feed(codec, overlong).data, "OK");
    EXPECT_FALSE(codec.Requests()[0].answered);

    // Cut short by another command, which is obeyed; then the stream goes on as data.
    Fed f = Feed(codec, Bytes({kIac, kSb, 44, 105, kIac, kWill, 1, 'h', 'i'}));
    EXPECT_EQ(f.data, "hi");
    EXPECT_EQ(f.out, Bytes({kIac, kDont, 1}));
    // Empty and option-less subnegotiations, stray SE and unknown commands carry nothing.
    f = Feed(codec, Bytes({kIac, kSb, kIac, kSe, kIac, kSb, 44, kIac, kSe, kIac, kSe, kIac, 241,
                           kIac, 249, 'x'}));
    EXPECT_EQ(f.data, "x");
    EXPECT_TRUE(f.out.empty());
    EXPECT_FALSE(codec.Requests()[0].answered);
}

}  // namespace
}  // namespace countryset

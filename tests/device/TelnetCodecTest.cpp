#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "device/net/TelnetCodec.h"

namespace vandrelux::platform::telnet {
namespace {

using Bytes = std::vector<std::uint8_t>;

// What a server says on connecting: it offers suppress-go-ahead and echo, asks us not to echo,
// and asks for binary both ways and COM-port control.
const Bytes kServerGreeting = {
    IAC, WILL, kSuppressGoAhead, IAC, DO,   kSuppressGoAhead, IAC, WILL, kEcho,   IAC, DONT, kEcho,
    IAC, DO,   kBinary,          IAC, WILL, kBinary,          IAC, DO,   kComPort};

Bytes Decode(Codec& codec, Bytes bytes) {
    bytes.resize(codec.DecodeInPlace(bytes.data(), bytes.size()));
    return bytes;
}

Bytes Output(Codec& codec) {
    Bytes out;
    codec.TakeOutput(out);
    return out;
}

Bytes ComReply(ComCommand command, const Bytes& value) {
    Bytes bytes = {IAC, SB, kComPort,
                   static_cast<std::uint8_t>(kServerOffset + static_cast<int>(command))};
    for (const std::uint8_t b : value) {
        bytes.push_back(b);
        if (b == IAC) {
            bytes.push_back(IAC);
        }
    }
    bytes.insert(bytes.end(), {IAC, SE});
    return bytes;
}

// A codec that has agreed binary, suppress-go-ahead and COM-port control with the server.
Codec Agreed() {
    Codec codec;
    codec.Start();
    static_cast<void>(Output(codec));
    static_cast<void>(Decode(codec, kServerGreeting));
    static_cast<void>(Output(codec));
    return codec;
}

TEST(TelnetCodec, Start_AsksForBinaryAndSuppressGoAheadBothWaysAndOffersComPort) {
    Codec codec;
    codec.Start();
    EXPECT_EQ(Output(codec),
              (Bytes{IAC, WILL, kBinary, IAC, DO, kBinary, IAC, WILL, kSuppressGoAhead, IAC, DO,
                     kSuppressGoAhead, IAC, WILL, kComPort}));
    EXPECT_TRUE(codec.Negotiating());
}

TEST(TelnetCodec, ServerGreeting_AgreesWhatWeAskedAndRefusesEchoOnly) {
    Codec codec;
    codec.Start();
    static_cast<void>(Output(codec));
    EXPECT_TRUE(Decode(codec, kServerGreeting).empty());
    // Its offers of what we asked for are the answers; echo would send our frames back to us.
    EXPECT_EQ(Output(codec), (Bytes{IAC, DONT, kEcho}));
    EXPECT_FALSE(codec.Negotiating());
    for (const std::uint8_t option : {kBinary, kSuppressGoAhead}) {
        EXPECT_TRUE(codec.LocalEnabled(option));
        EXPECT_TRUE(codec.RemoteEnabled(option));
    }
    EXPECT_TRUE(codec.LocalEnabled(kComPort));
    EXPECT_FALSE(codec.RemoteEnabled(kEcho));
}

TEST(TelnetCodec, UnknownOptions_AreRefusedEveryTimeAndKnownOnesNeverAnsweredTwice) {
    Codec codec;
    const std::uint8_t kTerminalType = 24;
    const std::uint8_t kLinemode = 34;
    static_cast<void>(Decode(codec, {IAC, DO, kTerminalType, IAC, WILL, kLinemode, IAC, DO, kEcho,
                                     IAC, WILL, kComPort}));
    // We do not echo, and the server cannot be the client of COM-port control.
    EXPECT_EQ(Output(codec), (Bytes{IAC, WONT, kTerminalType, IAC, DONT, kLinemode, IAC, WONT,
                                    kEcho, IAC, DONT, kComPort}));
    static_cast<void>(Decode(codec, {IAC, DO, kTerminalType}));
    EXPECT_EQ(Output(codec), (Bytes{IAC, WONT, kTerminalType}));

    // An offer of binary is taken once; the same offer again is no request and gets no answer.
    static_cast<void>(Decode(codec, {IAC, WILL, kBinary, IAC, WILL, kBinary, IAC, DONT, kEcho}));
    EXPECT_EQ(Output(codec), (Bytes{IAC, DO, kBinary}));
    static_cast<void>(Decode(codec, {IAC, WONT, kBinary}));
    EXPECT_EQ(Output(codec), (Bytes{IAC, DONT, kBinary}));
    EXPECT_FALSE(codec.RemoteEnabled(kBinary));
}

TEST(TelnetCodec, RefusedComPort_EndsTheNegotiationWithoutIt) {
    Codec codec;
    codec.Start();
    static_cast<void>(Output(codec));
    static_cast<void>(
        Decode(codec, {IAC, DO, kBinary, IAC, WILL, kBinary, IAC, DO, kSuppressGoAhead, IAC, WILL,
                       kSuppressGoAhead, IAC, DONT, kComPort}));
    EXPECT_TRUE(Output(codec).empty());
    EXPECT_FALSE(codec.Negotiating());
    EXPECT_FALSE(codec.LocalEnabled(kComPort));
}

TEST(TelnetCodec, DataFullOf0xFF_EncodesDoubledAndDecodesIntact) {
    Codec codec = Agreed();
    const Bytes frame(4106, 0xFF);
    Bytes wire;
    codec.EncodeData(frame, wire);
    EXPECT_EQ(wire, Bytes(2 * frame.size(), 0xFF));
    EXPECT_EQ(Decode(codec, wire), frame);
    EXPECT_TRUE(Output(codec).empty());

    Bytes mixed;
    codec.EncodeData(Bytes{0x00, 0xFF, '\r', 0xFE, 0xFF}, mixed);
    EXPECT_EQ(mixed, (Bytes{0x00, 0xFF, 0xFF, '\r', 0xFE, 0xFF, 0xFF}));
}

TEST(TelnetCodec, EveryCommandSplitAtEveryByte_LeavesTheDataAroundItIntact) {
    const Bytes commands[] = {
        {IAC, IAC},  // data 0xFF
        {IAC, DO, kSuppressGoAhead},
        {IAC, 241},  // NOP
        ComReply(ComCommand::SetBaudRate, {0x00, 0x01, 0xC2, 0xFF}),
        ComReply(ComCommand::NotifyModemState, {0xFF}),
    };
    for (const Bytes& command : commands) {
        Bytes wire = {'a', 'b'};
        wire.insert(wire.end(), command.begin(), command.end());
        wire.insert(wire.end(), {'c', 0xFF, 0xFF, 'd'});
        const Bytes want = command == Bytes{IAC, IAC} ? Bytes{'a', 'b', 0xFF, 'c', 0xFF, 'd'}
                                                      : Bytes{'a', 'b', 'c', 0xFF, 'd'};
        for (std::size_t split = 0; split <= wire.size(); ++split) {
            Codec codec = Agreed();
            Bytes data = Decode(
                codec, Bytes(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(split)));
            const Bytes rest =
                Decode(codec, Bytes(wire.begin() + static_cast<std::ptrdiff_t>(split), wire.end()));
            data.insert(data.end(), rest.begin(), rest.end());
            EXPECT_EQ(data, want) << "command of " << command.size() << " bytes, split at "
                                  << split;
        }
    }
    Codec codec = Agreed();
    for (const std::uint8_t b : ComReply(ComCommand::SetBaudRate, {0x00, 0x01, 0xC2, 0xFF})) {
        EXPECT_FALSE(codec.Feed(b).has_value());
    }
    EXPECT_EQ(codec.Reports().baudRate, 0x0001C2FFu);
}

TEST(TelnetCodec, ServerAnswers_RecordEachSettingAndCountIt) {
    Codec codec = Agreed();
    Bytes wire;
    for (const Bytes& reply :
         {ComReply(ComCommand::SetBaudRate, {0x00, 0x01, 0xC2, 0x00}),
          ComReply(ComCommand::SetDataSize, {8}), ComReply(ComCommand::SetParity, {3}),
          ComReply(ComCommand::SetStopSize, {2}), ComReply(ComCommand::SetControl, {1}),
          ComReply(ComCommand::PurgeData, {3}), ComReply(ComCommand::Signature, {'s', '2', 'n'}),
          ComReply(ComCommand::NotifyLineState, {0x60})}) {
        wire.insert(wire.end(), reply.begin(), reply.end());
    }
    EXPECT_TRUE(Decode(codec, wire).empty());
    const ServerReports& r = codec.Reports();
    EXPECT_EQ(r.baudRate, 115200u);
    EXPECT_EQ(r.dataSize, 8);
    EXPECT_EQ(ParityLetter(r.parity), 'E');
    EXPECT_EQ(r.stopSize, 2);
    EXPECT_EQ(r.control, kNoFlowControl);
    EXPECT_EQ(r.lineState, 0x60);
    EXPECT_EQ(r.Signature(), "s2n");
    for (const ComCommand c :
         {ComCommand::SetBaudRate, ComCommand::SetDataSize, ComCommand::SetParity,
          ComCommand::SetStopSize, ComCommand::SetControl, ComCommand::PurgeData}) {
        EXPECT_EQ(r.Answers(c), 1u) << static_cast<int>(c);
    }
    // A baud rate that is not four bytes long is no answer.
    static_cast<void>(Decode(codec, ComReply(ComCommand::SetBaudRate, {0x01, 0x02})));
    EXPECT_EQ(r.Answers(ComCommand::SetBaudRate), 1u);
    EXPECT_EQ(r.baudRate, 115200u);
}

TEST(TelnetCodec, CommandsWeSend_CarryTheirValuesWithFFDoubled) {
    Codec codec = Agreed();
    codec.SendBaudRate(0x00FFFF01);
    codec.SendByteCommand(ComCommand::SetParity, ParityCode('N'));
    codec.SendCommand(ComCommand::Signature, {});
    EXPECT_EQ(Output(codec), (Bytes{IAC,  SB,  kComPort, 1,        0x00, 0xFF,     0xFF, 0xFF, 0xFF,
                                    0x01, IAC, SE,       IAC,      SB,   kComPort, 3,    1,    IAC,
                                    SE,   IAC, SB,       kComPort, 0,    IAC,      SE}));
}

TEST(TelnetCodec, SignatureRequestAndFlowControl_AreAnsweredAndFollowed) {
    Codec codec = Agreed();
    static_cast<void>(Decode(codec, ComReply(ComCommand::Signature, {})));
    Bytes want = {IAC, SB, kComPort, 0};
    want.insert(want.end(), Codec::kSignature.begin(), Codec::kSignature.end());
    want.insert(want.end(), {IAC, SE});
    EXPECT_EQ(Output(codec), want);

    static_cast<void>(Decode(codec, ComReply(ComCommand::FlowControlSuspend, {})));
    EXPECT_TRUE(codec.Reports().suspended);
    static_cast<void>(Decode(codec, ComReply(ComCommand::FlowControlResume, {})));
    EXPECT_FALSE(codec.Reports().suspended);
}

TEST(TelnetCodec, MalformedSubnegotiations_AreDroppedWithoutLosingWhatFollows) {
    Codec codec = Agreed();
    // Too long to keep: dropped whole, the data after it kept.
    Bytes overlong = {IAC, SB, kComPort, 107};
    overlong.insert(overlong.end(), 500, 0x42);
    overlong.insert(overlong.end(), {IAC, SE, 'x'});
    EXPECT_EQ(Decode(codec, overlong), Bytes{'x'});
    EXPECT_EQ(codec.Reports().modemState, 0);

    // A command inside a subnegotiation ends it; the command is still answered.
    EXPECT_EQ(Decode(codec, {IAC, SB, kComPort, 101, 0, IAC, DO, kEcho, 'y'}), Bytes{'y'});
    EXPECT_EQ(Output(codec), (Bytes{IAC, WONT, kEcho}));
    EXPECT_EQ(codec.Reports().Answers(ComCommand::SetBaudRate), 0u);

    // Another option's subnegotiation, and an empty one, are ignored.
    EXPECT_EQ(Decode(codec, {IAC, SB, 24, 1, IAC, SE, IAC, SB, IAC, SE, 'z'}), Bytes{'z'});
}

TEST(TelnetCodec, ServerThatFloodsRequests_CannotGrowTheOutputBeyondItsLimit) {
    Codec codec;
    Bytes flood;
    for (int i = 0; i < 10000; ++i) {
        flood.insert(flood.end(), {IAC, DO, 99});
    }
    static_cast<void>(Decode(codec, flood));
    Bytes out;
    codec.TakeOutput(out);
    EXPECT_LE(out.size(), Codec::kOutputLimit);
    EXPECT_GT(out.size(), 0u);
}

TEST(TelnetCodec, WithoutBinary_CrNulIsABareCrBothWays) {
    Codec codec;  // nothing agreed: the network virtual terminal's rules hold
    EXPECT_EQ(Decode(codec, {'a', '\r', 0, '\r', '\n', '\r'}),
              (Bytes{'a', '\r', '\r', '\n', '\r'}));
    EXPECT_EQ(Decode(codec, {0, 'b'}), Bytes{'b'});  // the NUL of a CR split across reads
    Bytes wire;
    codec.EncodeData(Bytes{'\r', 'c'}, wire);
    EXPECT_EQ(wire, (Bytes{'\r', 0, 'c'}));

    Codec binary = Agreed();
    EXPECT_EQ(Decode(binary, {'\r', 0}), (Bytes{'\r', 0}));
}

}  // namespace
}  // namespace vandrelux::platform::telnet

#include <gtest/gtest.h>

#include <filesystem>

#include "BoxFrames.h"
#include "TransferFixture.h"

namespace vandrelux::protocol {
namespace {

using test::Bytes;

constexpr std::uint8_t ACK = 0x06;
constexpr std::uint8_t NAK = 0x15;

using test::BoxFrame;
using test::HeaderPayload;
using test::Swapped;

class ReceiveTest : public test::TransferTest {
protected:
    std::filesystem::path Target() const { return dir / "target.bin"; }
    std::filesystem::path Temp() const { return dir / "rv.bin"; }

    // "to receive", the box's 0x16 and the three handshake answers.
    void Handshake() {
        toolkit.SetText(ids::kReceivePath, Target().string());
        transfer.OnToReceive();
        Feed({0x16, ACK, ACK, ACK});
        port.Take();
    }

    Bytes Send(const Bytes& bytes) {
        Feed(bytes);
        return port.Take();
    }

    void AcceptHeader(const Bytes& image) {
        Handshake();
        Feed({0x47});
        ASSERT_EQ(Send(BoxFrame(0xF1, HeaderPayload(static_cast<std::uint32_t>(image.size()),
                                                    ByteSum(image)))),
                  Bytes{ACK});
        Feed({0x47});
    }

    // Sends the image in blocks of `block` bytes and returns the PC's answers.
    Bytes SendImage(const Bytes& image, std::size_t block) {
        AcceptHeader(image);
        Bytes answers;
        std::size_t at = 0;
        do {
            const std::size_t n = std::min(block, image.size() - at);
            const bool last = at + n == image.size();
            const Bytes part(image.begin() + static_cast<std::ptrdiff_t>(at),
                             image.begin() + static_cast<std::ptrdiff_t>(at + n));
            const Bytes a = Send(BoxFrame(last ? 0xF3 : 0xF2, part));
            answers.insert(answers.end(), a.begin(), a.end());
            at += n;
        } while (at < image.size());
        return answers;
    }
};

TEST_F(ReceiveTest, TwoByteImage_WholeConversationByteForByte) {
    toolkit.SetText(ids::kReceivePath, Target().string());
    transfer.OnToReceive();
    Feed({0x16});
    EXPECT_FALSE(toolkit.IsEnabled(ids::kRestart));
    EXPECT_FALSE(toolkit.IsEnabled(ids::kExit));
    const std::uint8_t beacons[] = {0x80, 0x81, 0x82};
    std::vector<std::uint32_t> sleptBeforeRequest;
    port.onRequest = [&] { sleptBeforeRequest = toolkit.sleeps; };
    for (const std::uint8_t beacon : beacons) {
        transfer.OnTimer(1);
        transfer.OnTimer(1);
        EXPECT_EQ(port.Take(), (Bytes{beacon, beacon}));
        sleptBeforeRequest = {99};
        // The first two answers are taken in silence; the third gets the PC's closing 0x06,
        // 5 ms after it.
        EXPECT_EQ(Send({ACK}), beacon == 0x82 ? Bytes{ACK} : Bytes{});
        EXPECT_EQ(sleptBeforeRequest,
                  beacon == 0x82 ? std::vector<std::uint32_t>{5} : std::vector<std::uint32_t>{99});
    }
    port.onRequest = nullptr;
    EXPECT_EQ(port.requests.size(), 0U);
    EXPECT_EQ(toolkit.sleeps, std::vector<std::uint32_t>{5});
    EXPECT_FALSE(test::Internals(transfer).m_bHandshake);
    transfer.OnTimer(1);
    EXPECT_TRUE(port.requests.empty());

    Bytes header{0x47, 0xF1, 0, 0, 0, 0x1C};
    const Bytes words = HeaderPayload(2, 3);
    header.insert(header.end(), words.begin(), words.end());
    header.insert(header.end(), {0, 0, 1, 0x12});
    EXPECT_EQ(Send(header), Bytes{ACK});
    EXPECT_EQ(Send({0x47, 0xF3, 0, 0, 0, 2, 1, 2, 0, 0, 0, 0xF8}), Bytes{ACK});
    EXPECT_EQ(ReadFile(Temp()), (Bytes{1, 2}));
    EXPECT_EQ(ReadFile(Target()), (Bytes{2, 1}));
    EXPECT_EQ(log.messages, "Complete receiving SUCCESS!\r\n");
    EXPECT_EQ(test::Internals(transfer).m_nState, protocol::ReceiveState::Succeeded);
    EXPECT_TRUE(toolkit.IsEnabled(ids::kRestart));

    // The end state shows no space, but the run is over after it.
    Feed({' ', 'A'});
    EXPECT_FALSE(test::Internals(transfer).m_bReceiveMode);
    EXPECT_EQ(log.terminal, "A");
}

// The CLI hands a block's payload over in runs; wherever its reads cut the box's bytes, the
// answers, the files and the machine's state must end as they do byte by byte.
TEST_F(ReceiveTest, PayloadTakenInRuns_EndsExactlyAsByteByByte) {
    const Bytes image = test::Pattern(10001);
    const auto part = [&](std::size_t from, std::size_t to) {
        return Bytes(image.begin() + static_cast<std::ptrdiff_t>(from),
                     image.begin() + static_cast<std::ptrdiff_t>(to));
    };
    Bytes stream{0x47};
    const auto add = [&](const Bytes& bytes) {
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    };
    add(BoxFrame(0xF1, HeaderPayload(static_cast<std::uint32_t>(image.size()), ByteSum(image))));
    add({0x47});
    add(BoxFrame(0xF2, part(0, 4096)));
    Bytes broken = BoxFrame(0xF2, part(4096, 8192));
    broken[2000] ^= 0x10;
    add(broken);                       // refused, sent again
    add({0xF2, 0x80, 0, 0, 2, 0x55});  // a negative length, refused at its next byte
    add({0xF2, 0, 0, 0, 0, 0, 0, 0});  // an empty block, refused, and two stray bytes
    add(BoxFrame(0xF2, part(4096, 8192)));
    add(BoxFrame(0xF2, part(8192, 9000)));
    add(BoxFrame(0xF3, part(9000, image.size())));

    struct End {
        Bytes answers, temp, target;
        std::string messages;
        protocol::ReceiveState state;
        std::int32_t count, free;
    };
    const auto converse = [&](std::size_t cut) {
        Handshake();
        const std::size_t logged = log.messages.size();
        if (cut == 0) {
            Feed(stream);
        }
        for (std::size_t at = 0; cut != 0 && at < stream.size(); at += cut) {
            auto piece = std::span<const std::uint8_t>(stream).subspan(at);
            piece = piece.first(std::min(cut, piece.size()));
            while (!piece.empty()) {
                std::size_t taken = transfer.TakePayloadRun(piece);
                if (taken == 0) {
                    transfer.OnPortRxChar(piece.front(), 1);
                    taken = 1;
                }
                piece = piece.subspan(taken);
            }
        }
        const test::TransferInternals state = test::Internals(transfer);
        return End{
            port.Take(),    ReadFile(Temp()), ReadFile(Target()), log.messages.substr(logged),
            state.m_nState, state.m_nCount,   state.m_nFree};
    };

    const End byteByByte = converse(0);
    ASSERT_EQ(byteByByte.answers, (Bytes{ACK, ACK, NAK, NAK, NAK, ACK, ACK, ACK}));
    ASSERT_EQ(byteByByte.target, Swapped(image));
    for (const std::size_t cut : {std::size_t{1}, std::size_t{3}, std::size_t{4095},
                                  std::size_t{4096}, std::size_t{4106}, stream.size()}) {
        const End runs = converse(cut);
        EXPECT_EQ(runs.answers, byteByByte.answers) << cut;
        EXPECT_EQ(runs.temp, byteByByte.temp) << cut;
        EXPECT_EQ(runs.target, byteByByte.target) << cut;
        EXPECT_EQ(runs.messages, byteByByte.messages) << cut;
        EXPECT_EQ(runs.state, byteByByte.state) << cut;
        EXPECT_EQ(runs.count, byteByByte.count) << cut;
        EXPECT_EQ(runs.free, byteByByte.free) << cut;
    }
    // Outside a block's payload nothing is taken in a run.
    EXPECT_EQ(transfer.TakePayloadRun(image), 0U);
}

TEST_F(ReceiveTest, HandshakeAck_BeforeTheBoxIsReady_IsUnexpected) {
    Handshake();  // leaves state 2
    transfer.OnToReceive();
    Feed({ACK, ACK});
    EXPECT_EQ(test::Internals(transfer).m_nSubState, 0U);
    EXPECT_EQ(test::Internals(transfer).m_nCount, 2);
}

TEST_F(ReceiveTest, BlocksOf4096_FlushBeforeEachLaterBlockAndMoveTheBarByBytes) {
    const Bytes image = test::Pattern(3 * 4096 + 100);
    AcceptHeader(image);
    EXPECT_EQ(toolkit.At(ids::kProgress).rangeUpper, 3);
    const Bytes first(image.begin(), image.begin() + 4096);
    EXPECT_EQ(Send(BoxFrame(0xF2, first)), Bytes{ACK});
    EXPECT_EQ(test::Internals(transfer).m_nFree, 904);
    EXPECT_EQ(toolkit.At(ids::kProgress).progressPos, 0);
    for (int i = 1; i < 3; ++i) {
        const Bytes block(image.begin() + 4096 * i, image.begin() + 4096 * (i + 1));
        EXPECT_EQ(Send(BoxFrame(0xF2, block)), Bytes{ACK});
        EXPECT_EQ(toolkit.At(ids::kProgress).progressPos, 4096 * i / 5000);
        EXPECT_EQ(test::Internals(transfer).m_nFree, 904);
    }
    EXPECT_EQ(Send(BoxFrame(0xF3, Bytes(image.end() - 100, image.end()))), Bytes{ACK});
    EXPECT_EQ(toolkit.At(ids::kProgress).progressPos, 3);
    EXPECT_EQ(ReadFile(Temp()), image);
    EXPECT_EQ(ReadFile(Target()), Swapped(image));
}

// The bar used to step once per write-out of the 5000-byte buffer, which comes every 4096 bytes:
// full at 86K of a 98K image.
TEST_F(ReceiveTest, ReceiveBar_FullWithTheLastBlockAndNotBefore) {
    const Bytes image = test::Pattern(98 * 1024);
    for (const std::size_t block : {std::size_t{1024}, std::size_t{4096}}) {
        AcceptHeader(image);
        const int top = toolkit.At(ids::kProgress).rangeUpper;
        for (std::size_t at = 0; at < image.size(); at += block) {
            const bool last = at + block >= image.size();
            const Bytes part(
                image.begin() + static_cast<std::ptrdiff_t>(at),
                image.begin() + static_cast<std::ptrdiff_t>(std::min(at + block, image.size())));
            ASSERT_EQ(Send(BoxFrame(last ? 0xF3 : 0xF2, part)), Bytes{ACK});
            const int pos = toolkit.At(ids::kProgress).progressPos;
            if (last) {
                EXPECT_EQ(pos, top) << block;
            } else {
                EXPECT_LT(pos, top) << block << " at " << at;
                // Never lagging far behind either: a bar that jumps at the end is no better.
                EXPECT_GE(pos + 2,
                          static_cast<int>(at * static_cast<std::size_t>(top) / image.size()))
                    << block << " at " << at;
            }
        }
    }
}

TEST_F(ReceiveTest, OddSizesAndTwoCopyReads_ProduceTheSwappedImage) {
    for (const std::size_t size : {std::size_t{1}, std::size_t{4097}, std::size_t{10000}}) {
        for (const std::size_t block : {std::size_t{1024}, std::size_t{4096}, std::size_t{333}}) {
            const Bytes image = test::Pattern(size, static_cast<std::uint32_t>(block));
            ASSERT_EQ(SendImage(image, block).back(), ACK) << size << "/" << block;
            EXPECT_EQ(ReadFile(Temp()), image);
            const Bytes target = ReadFile(Target());
            EXPECT_EQ(target, Swapped(image)) << size << "/" << block;
            EXPECT_EQ(target.back(), size % 2 ? image.back() : image[size - 2]);
            EXPECT_FALSE(store.HoldsOpenFile());
        }
    }
}

TEST_F(ReceiveTest, BlocksOf1024_RefreshOnTheFirstBlockOfEachBuffer) {
    const Bytes image = test::Pattern(6 * 1024);
    AcceptHeader(image);
    toolkit.Advance(1000);
    for (int i = 0; i < 5; ++i) {
        const Bytes block(image.begin() + 1024 * i, image.begin() + 1024 * (i + 1));
        Send(BoxFrame(0xF2, block));
        // Refreshed after blocks 1 and 5 only: 4 blocks fit the 5000-byte buffer.
        EXPECT_EQ(toolkit.GetText(ids::kSizeText), i < 4 ? "2K / 7K" : "6K / 7K") << i;
    }
}

TEST_F(ReceiveTest, RejectedBlockSentAgain_LeavesTheFileAsIfItCameRight) {
    const Bytes image = test::Pattern(9000);
    AcceptHeader(image);
    const Bytes first(image.begin(), image.begin() + 4096);
    Bytes broken = BoxFrame(0xF2, first);
    broken[100] ^= 0x01;
    EXPECT_EQ(Send(broken), Bytes{NAK});
    EXPECT_EQ(test::Internals(transfer).m_nCount, 1);
    EXPECT_EQ(test::Internals(transfer).m_nFree, 5000);
    EXPECT_EQ(Send(BoxFrame(0xF2, first)), Bytes{ACK});
    Bytes second = BoxFrame(0xF2, Bytes(image.begin() + 4096, image.begin() + 8192));
    second.back() ^= 0xFF;
    EXPECT_EQ(Send(second), Bytes{NAK});
    EXPECT_EQ(Send(BoxFrame(0xF2, Bytes(image.begin() + 4096, image.begin() + 8192))), Bytes{ACK});
    EXPECT_EQ(Send(BoxFrame(0xF3, Bytes(image.begin() + 8192, image.end()))), Bytes{ACK});
    EXPECT_EQ(ReadFile(Temp()), image);
}

TEST_F(ReceiveTest, EmptyOrNegativeBlockLength_IsRefusedAtItsNextByteWithoutCounting) {
    const Bytes image = test::Pattern(10);
    AcceptHeader(image);
    EXPECT_EQ(Send({0xF2, 0, 0, 0, 0, 0}), Bytes{NAK});
    EXPECT_EQ(test::Internals(transfer).m_nCount, 0);
    // The rest of its checksum, 00 00 F2: two stray bytes, and a 0xF2 that the PC takes for the
    // type of the next block.
    Send({0, 0, 0xF2});
    EXPECT_EQ(test::Internals(transfer).m_nCount, 0);
    EXPECT_EQ(Send({0x80, 0, 0, 0, 0x55}), Bytes{NAK});  // its length: 0x80000000
    EXPECT_EQ(test::Internals(transfer).m_nCount, 0);
    EXPECT_EQ(test::Internals(transfer).m_nFree, 5000);
    EXPECT_EQ(Send(BoxFrame(0xF3, image)), Bytes{ACK});
    EXPECT_EQ(ReadFile(Temp()), image);
}

TEST_F(ReceiveTest, NegativeBlockLengthAfterAFullBlock_LeavesTheRoomCountAlone) {
    const Bytes image = test::Pattern(4106);
    AcceptHeader(image);
    EXPECT_EQ(Send(BoxFrame(0xF2, Bytes(image.begin(), image.begin() + 4096))), Bytes{ACK});
    // 0x80000002 would overflow a room count of 904 if it were reserved.
    EXPECT_EQ(Send({0xF2, 0x80, 0, 0, 2, 0x55}), Bytes{NAK});
    EXPECT_EQ(test::Internals(transfer).m_nFree, 904);
    EXPECT_EQ(Send(BoxFrame(0xF3, Bytes(image.begin() + 4096, image.end()))), Bytes{ACK});
    EXPECT_EQ(ReadFile(Temp()), image);
}

TEST_F(ReceiveTest, HeaderRefusals_GoBackToTheMarkWithoutFailing) {
    Handshake();
    Feed({0x47});
    Bytes bad = BoxFrame(0xF1, HeaderPayload(2, 3));
    bad.back() ^= 1;
    EXPECT_EQ(Send(bad), Bytes{NAK});
    EXPECT_EQ(test::Internals(transfer).m_nState, protocol::ReceiveState::AwaitHeaderMark);

    Feed({0x47});
    EXPECT_EQ(Send({0xF1, 0, 0, 0, 0, 0x33}), Bytes{NAK});  // header of length 0
    EXPECT_EQ(test::Internals(transfer).m_nState, protocol::ReceiveState::AwaitHeaderMark);

    Feed({0x47});
    for (int i = 0; i < 249; ++i) {
        Feed({0x55});
    }
    EXPECT_TRUE(port.Take().empty());
    EXPECT_EQ(Send({0x55}), Bytes{NAK});
    EXPECT_EQ(test::Internals(transfer).m_nState, protocol::ReceiveState::AwaitHeaderMark);
    EXPECT_EQ(test::Internals(transfer).m_nCount, 0);
}

TEST_F(ReceiveTest, ShortHeaderPayload_LeavesTheMissingWordsZero) {
    Handshake();
    Feed({0x47});
    Bytes full = BoxFrame(0xF1, HeaderPayload(7, 7, 0xAAAAAAAA));
    full.back() ^= 1;
    EXPECT_EQ(Send(full), Bytes{NAK});
    EXPECT_EQ(test::Internals(transfer).m_Header.dwType, 0xAAAAAAAAU);
    Feed({0x47});
    Bytes frame = BoxFrame(0xF1, Bytes{0, 0, 0, 1, 0, 0, 0, 2});
    frame.back() ^= 1;  // refused, but its words are decoded all the same
    Send(frame);
    EXPECT_EQ(test::Internals(transfer).m_Header, (ImageHeader{1, 2, 0, 0, 0, 0, 0}));
}

TEST_F(ReceiveTest, OverlongHeader_IsCutTo4096AndItsSurplusFailsTheChecksum) {
    Handshake();
    Feed({0x47});
    Bytes frame = BoxFrame(0xF1, Bytes(4100, 1), 4100);
    EXPECT_EQ(Send(frame), Bytes{NAK});
    EXPECT_EQ(test::Internals(transfer).m_nState, protocol::ReceiveState::AwaitHeaderMark);
}

TEST_F(ReceiveTest, TooManyStrayBytes_FailTheRunAtThe250th) {
    Handshake();
    for (int i = 0; i < 249; ++i) {
        Feed({0x33});
    }
    EXPECT_EQ(test::Internals(transfer).m_nState, protocol::ReceiveState::AwaitHeaderMark);
    Feed({0x33});
    EXPECT_EQ(test::Internals(transfer).m_nState, protocol::ReceiveState::Failed);
    Feed({'x'});
    EXPECT_EQ(log.messages, "Receiving Process FAILURE!\r\n");
    EXPECT_TRUE(toolkit.IsEnabled(ids::kRestart));
    EXPECT_TRUE(toolkit.IsEnabled(ids::kExit));
    EXPECT_FALSE(test::Internals(transfer).m_bReceiveMode);
    EXPECT_EQ(log.terminal, "x");
}

TEST_F(ReceiveTest, EmptyTargetPath_AsksForAFileAndFailsTheRun) {
    for (const bool confirm : {true, false}) {
        toolkit.SetText(ids::kReceivePath, "");
        toolkit.messageBoxes.clear();
        log.messages.clear();
        toolkit.AnswerFileDialog(confirm ? std::optional<std::string>("/tmp/chosen")
                                         : std::nullopt);
        transfer.OnToReceive();
        Feed({0x16});
        EXPECT_EQ(test::Internals(transfer).m_nState, protocol::ReceiveState::Failed);
        EXPECT_EQ(toolkit.messageBoxes,
                  std::vector<std::string>{"Please restart receiving process on STB and PC BOTH!"});
        EXPECT_EQ(toolkit.GetText(ids::kReceivePath), confirm ? "/tmp/chosen" : "");
        EXPECT_FALSE(test::Internals(transfer).m_bHandshake);
        Feed({ACK});
        EXPECT_EQ(log.messages, "Receiving Process FAILURE!\r\n");
    }
    EXPECT_EQ(toolkit.fileDialogsShown, 2);
}

TEST_F(ReceiveTest, TargetNotCreatable_AcksTheImageButFailsTheRun) {
    const Bytes image = test::Pattern(100);
    AcceptHeader(image);
    toolkit.SetText(ids::kReceivePath, "ignored: the path was read at the handshake");
    test::Internals(transfer).m_strTargetPath = (dir / "no-such-folder" / "t.bin").string();
    EXPECT_EQ(Send(BoxFrame(0xF3, image)), Bytes{ACK});
    EXPECT_EQ(toolkit.messageBoxes, std::vector<std::string>{"Can not open file"});
    EXPECT_EQ(ReadFile(Temp()), image);
    // Before the box's next byte, which may be long in coming.
    const std::string named = "Can not open file " + (dir / "no-such-folder" / "t.bin").string() +
                              ": No such file or directory\r\n";
    EXPECT_EQ(log.messages, named);
    EXPECT_TRUE(toolkit.IsEnabled(ids::kRestart));
    EXPECT_TRUE(toolkit.IsEnabled(ids::kExit));
    Feed({'z'});
    EXPECT_EQ(log.messages, named + "Receiving Process FAILURE!\r\n");
}

TEST_F(ReceiveTest, TargetIsTheWorkingCopy_KeepsTheImageAndFailsTheRun) {
    const Bytes image = test::Pattern(101);
    AcceptHeader(image);
    test::Internals(transfer).m_strTargetPath = Temp().string();
    EXPECT_EQ(Send(BoxFrame(0xF3, image)), Bytes{ACK});
    EXPECT_EQ(toolkit.messageBoxes, std::vector<std::string>{"Can not open file"});
    EXPECT_EQ(ReadFile(Temp()), image);
    EXPECT_EQ(test::Internals(transfer).m_nState, protocol::ReceiveState::Failed);
}

TEST_F(ReceiveTest, TempFileNotCreatable_FailsCleanlyAtTheDataMark) {
    store::CStandardImageStore missing((dir / "missing" / "rv.bin").string());
    protocol::CTransfer other(host, port, log, missing);
    toolkit.SetText(ids::kReceivePath, Target().string());
    other.OnToReceive();
    const Bytes image = test::Pattern(50);
    Bytes bytes{0x16, ACK, ACK, ACK, 0x47};
    const Bytes header = BoxFrame(0xF1, HeaderPayload(50, ByteSum(image)));
    bytes.insert(bytes.end(), header.begin(), header.end());
    bytes.push_back(0x47);
    const Bytes block = BoxFrame(0xF3, image);
    bytes.insert(bytes.end(), block.begin(), block.end());
    for (const std::uint8_t b : bytes) {
        other.OnPortRxChar(b, 1);
    }
    EXPECT_EQ(toolkit.messageBoxes, std::vector<std::string>{"Can not open file"});
    EXPECT_EQ(log.messages, "Can not open file " + (dir / "missing" / "rv.bin").string() +
                                ": No such file or directory\r\nReceiving Process FAILURE!\r\n");
    EXPECT_FALSE(test::Internals(other).m_bReceiveMode);
    EXPECT_FALSE(std::filesystem::exists(Target()));
}

TEST_F(ReceiveTest, WholeImageSumMismatch_NaksOnceAndFailsWithoutTouchingClosedFiles) {
    const Bytes image = test::Pattern(6000);
    Handshake();
    Feed({0x47});
    Send(BoxFrame(0xF1, HeaderPayload(6000, ByteSum(image) + 1)));
    Feed({0x47});
    EXPECT_EQ(Send(BoxFrame(0xF2, Bytes(image.begin(), image.begin() + 4096))), Bytes{ACK});
    EXPECT_EQ(Send(BoxFrame(0xF3, Bytes(image.begin() + 4096, image.end()))), Bytes{NAK});
    EXPECT_EQ(ReadFile(Target()), Swapped(image));  // the copy stays
    // The box sends its last block again: the run ends with the failure line.
    EXPECT_TRUE(Send(BoxFrame(0xF3, Bytes(image.begin() + 4096, image.end()))).empty());
    EXPECT_EQ(log.messages, "Receiving Process FAILURE!\r\n");
    EXPECT_FALSE(test::Internals(transfer).m_bReceiveMode);
    EXPECT_EQ(ReadFile(Temp()), image);
}

TEST_F(ReceiveTest, AnnouncedLengthBeyondWhatArrived_NeverWritesMissingBytes) {
    const Bytes image = test::Pattern(300);
    for (const std::uint32_t announced : {400U, 0x80000000U, 0xFFFFFFFFU}) {
        Handshake();
        Feed({0x47});
        Send(BoxFrame(0xF1, HeaderPayload(announced, ByteSum(image))));
        Feed({0x47});
        EXPECT_EQ(Send(BoxFrame(0xF3, image)), Bytes{NAK}) << announced;
        EXPECT_EQ(ReadFile(Target()), Swapped(image)) << announced;
        EXPECT_EQ(test::Internals(transfer).m_nState, protocol::ReceiveState::Failed);
    }
}

TEST_F(ReceiveTest, AnnouncedLengthShorterThanTheImage_CopiesOnlyThatMuch) {
    const Bytes image = test::Pattern(300);
    const Bytes head(image.begin(), image.begin() + 101);
    Handshake();
    Feed({0x47});
    Send(BoxFrame(0xF1, HeaderPayload(101, ByteSum(head))));
    Feed({0x47});
    EXPECT_EQ(Send(BoxFrame(0xF3, image)), Bytes{ACK});
    EXPECT_EQ(ReadFile(Target()), Swapped(head));
}

}  // namespace
}  // namespace vandrelux::protocol

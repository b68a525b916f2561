#include <gtest/gtest.h>

#include <array>
#include <filesystem>

#include "TransferFixture.h"

namespace vandrelux::protocol {
namespace {

using test::Bytes;

constexpr std::uint8_t ACK = 0x06;
constexpr std::uint8_t NAK = 0x15;

class DownloadTest : public test::TransferTest {
protected:
    void Tick(platform::ControlId box, platform::ControlId field, const std::string& path) {
        toolkit.SetChecked(box, true);
        toolkit.SetText(field, path);
    }

    void Arm() {
        transfer.ChooseDirection(Mode::Download);
        transfer.ResetTransfer();
        transfer.ArmDownload();
    }

    // Feeds one answer from the box and returns what the PC sent for it.
    Bytes Answer(std::uint8_t b) {
        Feed({b});
        return port.Take();
    }

    static ImageHeader HeaderOf(const Bytes& frame) {
        std::array<std::uint8_t, kHeaderPayload> payload{};
        std::copy_n(frame.begin() + 6, kHeaderPayload, payload.begin());
        return DecodeHeader(payload);
    }

    // Drives one whole file from the box's acceptance of the 0x16 to its verdict ACK and
    // returns the header words the PC sent.
    ImageHeader AcceptFile() {
        const ImageHeader h = HeaderOf(Answer(ACK));
        while (test::Internals(transfer).m_nDownState != protocol::DownloadState::AwaitVerdict) {
            Answer(ACK);
        }
        Feed({ACK});
        return h;
    }
};

TEST_F(DownloadTest, TwoByteBootstrap_WholeConversationByteForByte) {
    Tick(ids::kIncludeBootstrap, ids::kBootstrapPath, WriteFile("boot.bin", {1, 2}));
    const std::string path = toolkit.GetText(ids::kBootstrapPath);
    Arm();

    EXPECT_EQ(Answer(0x19), Bytes{0x16});
    EXPECT_EQ(toolkit.sleeps, std::vector<std::uint32_t>{250});
    EXPECT_FALSE(toolkit.IsEnabled(ids::kRestart));
    EXPECT_FALSE(toolkit.IsEnabled(ids::kExit));
    EXPECT_FALSE(test::Internals(transfer).m_bHandshake);
    EXPECT_EQ(log.messages, "Start Sending " + path + "  files!\r\n");

    EXPECT_EQ(Answer(ACK),
              (Bytes{0x47, 0xF1, 0, 0, 0, 0x1C, 0,    0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0,    2,   0, 0,
                     0,    3,    0, 0, 0, 0,    0x80, 0, 0, 0,    0, 0, 0, 0, 0, 0, 0x01, 0xA2}));
    EXPECT_EQ(Answer(ACK), (Bytes{0x47, 0xF3, 0, 0, 0, 2, 1, 2, 0, 0, 0, 0xF8}));
    EXPECT_EQ(test::Internals(transfer).m_nDownState,
              protocol::DownloadState::AwaitLastFrameAnswer);
    EXPECT_TRUE(Answer(ACK).empty());
    EXPECT_EQ(test::Internals(transfer).m_nDownState, protocol::DownloadState::AwaitVerdict);
    EXPECT_TRUE(Answer(ACK).empty());
    EXPECT_EQ(test::Internals(transfer).m_nDownState, protocol::DownloadState::Delivered);
    EXPECT_EQ(log.messages,
              "Start Sending " + path + "  files!\r\nSend " + path + " complete!\r\n");

    // The byte after the end re-enables the buttons, is echoed and disarms the direction.
    Feed({'O', 'K'});
    EXPECT_TRUE(toolkit.IsEnabled(ids::kRestart));
    EXPECT_TRUE(toolkit.IsEnabled(ids::kExit));
    EXPECT_FALSE(test::Internals(transfer).m_bDownloadMode);
    EXPECT_EQ(log.terminal, "OK");
}

TEST_F(DownloadTest, TickedKinds_GoOutInFixedOrderWithTheirHeaderWords) {
    Tick(ids::kIncludeSoftware, ids::kSoftwarePath, WriteFile("sw", test::Pattern(5000)));
    Tick(ids::kIncludeTvProgram, ids::kTvProgramPath, WriteFile("tv", test::Pattern(3)));
    Tick(ids::kIncludeLogo, ids::kLogoPath, WriteFile("logo", test::Pattern(10)));
    Tick(ids::kIncludeUcode, ids::kUcodePath, WriteFile("uc", test::Pattern(4096)));
    Tick(ids::kIncludeBootstrap, ids::kBootstrapPath, WriteFile("boot", {}));
    Arm();
    Feed({0x19});
    port.Take();

    const std::uint32_t types[] = {0x10, 0x100, 0x100000, 0x1000000, 0x1000};
    const std::uint32_t addresses[] = {0x80000000, 0x80070000, 0x80080000, 0x800C8000, 0x80010000};
    const std::uint32_t lengths[] = {0, 4096, 10, 4, 5000};
    for (int i = 0; i < 5; ++i) {
        const ImageHeader h = AcceptFile();
        EXPECT_EQ(h.dwType, types[i]);
        EXPECT_EQ(h.dwAddress, addresses[i]);
        EXPECT_EQ(h.dwParam, i == 1 ? 0x00080000U : 0U);
        EXPECT_EQ(h.dwMode, 0U);
        EXPECT_EQ(h.dwReserved, 0U);
        EXPECT_EQ(h.dwLength, lengths[i]);
        // Between files the PC announces the next one at once, without the 250 ms pause.
        EXPECT_EQ(port.Take(), i < 4 ? Bytes{0x16} : Bytes{});
    }
    EXPECT_EQ(test::Internals(transfer).m_nDownState, protocol::DownloadState::Delivered);
    EXPECT_EQ(toolkit.sleeps.size(), 1U);
    EXPECT_NE(log.messages.find("Send " + (dir / "uc").string() + " complete!\r\nStart Sending " +
                                (dir / "logo").string() + "  files\r\n"),
              std::string::npos);
}

TEST_F(DownloadTest, RamOption_IsReadWhenTheSoftwareHeaderIsPrepared) {
    Tick(ids::kIncludeSoftware, ids::kSoftwarePath, WriteFile("sw", {9, 9}));
    Arm();
    Feed({0x19});
    port.Take();
    toolkit.SetChecked(ids::kDownloadToRam, true);
    const ImageHeader h = HeaderOf(Answer(ACK));
    EXPECT_EQ(h.dwMode, 0x10U);
    EXPECT_EQ(h.dwAddress, 0x10003000U);
}

TEST_F(DownloadTest, Naks_RepeatTheLastFrameExactly_AndAVerdictNakRereadsTheFile) {
    const std::string path = WriteFile("sw", test::Pattern(4097));
    Tick(ids::kIncludeSoftware, ids::kSoftwarePath, path);
    Arm();
    Feed({0x19});
    port.Take();

    const Bytes header = Answer(ACK);
    EXPECT_EQ(HeaderOf(header).dwLength, 4098U);  // padded to even
    EXPECT_EQ(Answer(NAK), header);
    const Bytes first = Answer(ACK);
    EXPECT_EQ(first.size(), 4106U);
    EXPECT_EQ(first[1], 0xF2);
    EXPECT_EQ(Answer(NAK), first);
    const Bytes last = Answer(ACK);
    ASSERT_EQ(last.size(), 12U);
    EXPECT_EQ(last[1], 0xF3);
    EXPECT_EQ(last[6], test::Pattern(4097)[4096]);
    EXPECT_EQ(last[7], 0);  // the pad byte is sent and summed
    EXPECT_EQ(Answer(NAK), last);
    EXPECT_TRUE(Answer(ACK).empty());

    WriteFile("sw", {1, 2, 3, 4});
    EXPECT_EQ(Answer(NAK), Bytes{0x16});
    EXPECT_EQ(test::Internals(transfer).m_nDownState, protocol::DownloadState::AwaitAcceptance);
    EXPECT_NE(log.messages.find("Start Sending " + path + "  files again!\r\n"), std::string::npos);
    EXPECT_EQ(HeaderOf(Answer(ACK)).dwLength, 4U);
}

TEST_F(DownloadTest, EmptyFile_SendsTheTenByteFinalFrame) {
    Tick(ids::kIncludeLogo, ids::kLogoPath, WriteFile("logo", {}));
    Arm();
    Feed({0x19});
    port.Take();
    const ImageHeader h = HeaderOf(Answer(ACK));
    EXPECT_EQ(h.dwLength, 0U);
    EXPECT_EQ(h.dwChecksum, 0U);
    EXPECT_EQ(Answer(ACK), (Bytes{0x47, 0xF3, 0, 0, 0, 0, 0, 0, 0, 0xF3}));
    EXPECT_EQ(test::Internals(transfer).m_nDownState,
              protocol::DownloadState::AwaitLastFrameAnswer);
}

// 4096 bytes fill one frame exactly: no empty 0xF2 frame before the final one.
TEST_F(DownloadTest, FileOfExactly4096Bytes_OneFinalFrame_ThenTheVerdict) {
    const Bytes image = test::Pattern(4096);
    Tick(ids::kIncludeUcode, ids::kUcodePath, WriteFile("uc", image));
    Arm();
    Feed({0x19});
    port.Take();
    EXPECT_EQ(HeaderOf(Answer(ACK)).dwLength, 4096U);
    const Bytes frame = Answer(ACK);
    ASSERT_EQ(frame.size(), 4106U);
    EXPECT_EQ(frame[1], 0xF3);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), frame.begin() + 6));
    EXPECT_EQ(test::Internals(transfer).m_nDownState,
              protocol::DownloadState::AwaitLastFrameAnswer);
    EXPECT_TRUE(Answer(ACK).empty());
    EXPECT_EQ(test::Internals(transfer).m_nDownState, protocol::DownloadState::AwaitVerdict);
    EXPECT_TRUE(Answer(ACK).empty());
    EXPECT_EQ(test::Internals(transfer).m_nDownState, protocol::DownloadState::Delivered);
}

TEST_F(DownloadTest, WaitingForTheBox_EachStrayByteGetsOneSynAndIsEchoed) {
    Tick(ids::kIncludeBootstrap, ids::kBootstrapPath, WriteFile("b", {1}));
    Arm();
    EXPECT_EQ(Answer('h'), Bytes{0x16});
    EXPECT_FALSE(test::Internals(transfer).m_bHandshake);
    EXPECT_EQ(Answer(0x01), Bytes{0x16});
    Feed({0x19});
    EXPECT_EQ(log.terminal, "h");
}

// The log pane is handed every byte the echo rule lets through; 0x19 never reaches it, neither
// as the ready signal nor as a stray byte beside a bell that does.
TEST_F(DownloadTest, ReadyByte_NeverEchoed_WhereTheBytesBesideItAre) {
    Tick(ids::kIncludeBootstrap, ids::kBootstrapPath, WriteFile("b", {1}));
    Arm();
    Feed({0x07, 0x19});
    EXPECT_EQ(test::Internals(transfer).m_nDownState, protocol::DownloadState::AwaitAcceptance);
    Feed({0x19, 0x07});
    EXPECT_EQ(log.terminal, "\x07\x07");
    EXPECT_EQ(test::Internals(transfer).m_nDownCount, 2);
}

// SelectNextFile looks at no kind before the one it starts at and walks the rest in the order
// bootstrap, ucode, logo, TV programme, software.
TEST_F(DownloadTest, SelectNextFile_StartsWhereItIsTold_AndWalksTheFixedOrder) {
    Tick(ids::kIncludeBootstrap, ids::kBootstrapPath, WriteFile("b", {1}));
    UpdateKind index = UpdateKind::TvProgram;
    bool found = true;
    transfer.SelectNextFile(index, found);
    EXPECT_EQ(index, UpdateKind::EndOfSequence);
    EXPECT_FALSE(found);
    EXPECT_EQ(test::Internals(transfer).m_strFilePath, "");

    // Logo and TV programme ticked without a path and the dialog cancelled for both.
    toolkit.SetChecked(ids::kIncludeLogo, true);
    toolkit.SetChecked(ids::kIncludeTvProgram, true);
    toolkit.SetChecked(ids::kIncludeSoftware, true);
    toolkit.AnswerFileDialog(std::nullopt);
    toolkit.AnswerFileDialog(std::nullopt);
    toolkit.AnswerFileDialog("third-asked");
    index = UpdateKind::Logo;
    transfer.SelectNextFile(index, found);
    EXPECT_EQ(index, UpdateKind::Software);
    EXPECT_TRUE(found);
    EXPECT_EQ(toolkit.fileDialogsShown, 3);
    EXPECT_EQ(toolkit.GetText(ids::kSoftwarePath), "third-asked");
    EXPECT_EQ(toolkit.GetText(ids::kLogoPath), "");
    EXPECT_EQ(toolkit.GetText(ids::kTvProgramPath), "");

    // With paths, the walk stops at the first: logo before TV programme before software.
    Tick(ids::kIncludeTvProgram, ids::kTvProgramPath, "tv");
    index = UpdateKind::Logo;
    transfer.SelectNextFile(index, found);
    EXPECT_EQ(index, UpdateKind::TvProgram);
    Tick(ids::kIncludeLogo, ids::kLogoPath, "logo");
    index = UpdateKind::Logo;
    transfer.SelectNextFile(index, found);
    EXPECT_EQ(index, UpdateKind::Logo);
    EXPECT_EQ(test::Internals(transfer).m_strFilePath, "logo");
}

TEST_F(DownloadTest, StrayBytesBeforeAcceptance_The250thFails) {
    Tick(ids::kIncludeBootstrap, ids::kBootstrapPath, WriteFile("b", {1}));
    Arm();
    Feed({0x19});
    for (int i = 0; i < 249; ++i) {
        Feed({'x'});
    }
    EXPECT_EQ(test::Internals(transfer).m_nDownState, protocol::DownloadState::AwaitAcceptance);
    Feed({'x'});
    EXPECT_EQ(test::Internals(transfer).m_nDownState, protocol::DownloadState::Failed);
    EXPECT_EQ(log.terminal.size(), 250U);
    EXPECT_TRUE(toolkit.messageBoxes.empty());
}

TEST_F(DownloadTest, EmptyPath_DialogChoosesTheFileOrSkipsTheKind) {
    toolkit.SetChecked(ids::kIncludeBootstrap, true);
    Tick(ids::kIncludeUcode, ids::kUcodePath, WriteFile("uc", {5, 6}));
    toolkit.SetChecked(ids::kIncludeLogo, true);
    const std::string logo = WriteFile("chosen-logo", {7, 8});
    toolkit.AnswerFileDialog(std::nullopt);  // bootstrap: cancelled
    Arm();
    Feed({0x19});
    EXPECT_EQ(test::Internals(transfer).m_nFileIndex, UpdateKind::Ucode);
    EXPECT_EQ(toolkit.GetText(ids::kBootstrapPath), "");
    EXPECT_TRUE(toolkit.IsChecked(ids::kIncludeBootstrap));

    toolkit.AnswerFileDialog(logo);  // logo: confirmed after the ucode file
    AcceptFile();
    EXPECT_EQ(test::Internals(transfer).m_nFileIndex, UpdateKind::Logo);
    EXPECT_EQ(toolkit.GetText(ids::kLogoPath), logo);
    EXPECT_NE(log.messages.find("Start Sending " + logo + "  files\r\n"), std::string::npos);
    EXPECT_EQ(toolkit.fileDialogsShown, 2);
}

TEST_F(DownloadTest, NoFileFound_FailsSilentlyWithButtonsUntouched) {
    toolkit.SetChecked(ids::kIncludeSoftware, true);
    Arm();
    EXPECT_TRUE(Answer(0x19).empty());
    EXPECT_EQ(test::Internals(transfer).m_nDownState, protocol::DownloadState::Failed);
    EXPECT_TRUE(toolkit.IsEnabled(ids::kRestart));
    EXPECT_TRUE(log.messages.empty());
    EXPECT_EQ(toolkit.fileDialogsShown, 1);
}

// The box waits for the header after a file that cannot be read and sends nothing more, so the
// buttons and the reason cannot wait for its next byte.
TEST_F(DownloadTest, UnreadableFiles_AreRefusedWithCanNotOpenFileAndGiveTheWindowBack) {
    const std::string sparse = (dir / "huge").string();
    std::filesystem::create_directories(dir / "folder");
    { std::ofstream touch(sparse); }
    // 2^31 bytes cannot be described by the signed 32-bit length: never send it cut short.
    std::filesystem::resize_file(sparse, std::uintmax_t{1} << 31);

    const std::pair<std::string, std::string> cases[] = {
        {(dir / "missing").string(), "No such file or directory"},
        {(dir / "folder").string(), "Is a directory"},
        {sparse, "too large for an image (2 GiB and more)"}};
    for (const auto& [path, reason] : cases) {
        toolkit.messageBoxes.clear();
        Tick(ids::kIncludeSoftware, ids::kSoftwarePath, path);
        Arm();
        Feed({0x19});
        port.Take();
        log.messages.clear();
        EXPECT_TRUE(Answer(ACK).empty()) << path;
        EXPECT_EQ(toolkit.messageBoxes, std::vector<std::string>{"Can not open file"}) << path;
        EXPECT_EQ(test::Internals(transfer).m_nDownState, protocol::DownloadState::Failed);
        EXPECT_EQ(log.messages, "Can not open file " + path + ": " + reason + "\r\n");
        EXPECT_TRUE(toolkit.IsEnabled(ids::kRestart)) << path;
        EXPECT_TRUE(toolkit.IsEnabled(ids::kExit)) << path;
    }
}

TEST_F(DownloadTest, Progress_StepsPerAcknowledgedFrameAndEndsAtTheTop) {
    Tick(ids::kIncludeSoftware, ids::kSoftwarePath, WriteFile("sw", test::Pattern(3 * 4096 + 10)));
    Arm();
    Feed({0x19});
    toolkit.SetNow(1000);
    Feed({ACK});
    EXPECT_EQ(toolkit.At(ids::kProgress).rangeUpper, 4);
    EXPECT_EQ(toolkit.GetText(ids::kSizeText), "0K / 13K");
    Feed({ACK});  // header acknowledged: first frame out, no progress yet
    EXPECT_EQ(toolkit.At(ids::kProgress).progressPos, 0);
    toolkit.Advance(100);
    Feed({ACK});
    EXPECT_EQ(toolkit.At(ids::kProgress).progressPos, 1);
    EXPECT_EQ(toolkit.GetText(ids::kSizeText), "5K / 13K");
    EXPECT_EQ(toolkit.GetText(ids::kElapsed), "00:00.1");
    EXPECT_EQ(toolkit.GetText(ids::kThroughput), "40960 Bps");
    Feed({ACK, ACK});
    EXPECT_EQ(test::Internals(transfer).m_nDownState,
              protocol::DownloadState::AwaitLastFrameAnswer);
    Feed({ACK});
    EXPECT_EQ(toolkit.At(ids::kProgress).progressPos, 4);
    EXPECT_EQ(toolkit.GetText(ids::kSizeText), "13K / 13K");
    EXPECT_EQ(toolkit.GetText(ids::kRemaining), "00:00.0");
}

}  // namespace
}  // namespace vandrelux::protocol

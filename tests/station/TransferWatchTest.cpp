#include <gtest/gtest.h>

#include "BoxFrames.h"
#include "TempTree.h"
#include "TransferFixture.h"
#include "TransferInternals.h"
#include "os/Format.h"
#include "protocol/ControlIds.h"
#include "protocol/ControlsHost.h"
#include "protocol/Frames.h"
#include "station/TransferWatch.h"

namespace vandrelux::station {
namespace {

using protocol::kAck;
using protocol::kNak;
using protocol::kReady;

// The events a port's watchers hear, kept in memory.
class RecordingEvents final : public IPortEvents {
public:
    void Emit(std::string_view type, nlohmann::json fields) override {
        fields["event"] = type;
        emitted.push_back(std::move(fields));
    }
    void Log(std::string_view /*text*/) override {}
    void BoxChar(char /*ch*/) override {}
    void Note(std::string_view /*text*/) override {}
    void Progress(const ProgressState& /*state*/) override {}
    void Status(std::string_view /*text*/) override {}
    void StatusTail(std::string /*tail*/) override {}
    void Finish() override {}
    void OpenFailed(const std::string& /*device*/,
                    const platform::SystemError& /*error*/) override {}

    std::vector<nlohmann::json> emitted;
};

// A download through the real transfer, watched as a run watches it.
class TransferWatchTest : public ::testing::Test {
protected:
    TransferWatchTest() : files(tree.Path("rv.bin")), transfer(host, port, log, files) {}

    void Start(int retries, const std::string& bootstrap, std::size_t length) {
        watch.emplace(events, retries);
        transfer.SetObserver(&*watch);
        const std::string path = tree.File(bootstrap, std::string(length, 'x'));
        toolkit.SetChecked(ids::kIncludeBootstrap, true);
        toolkit.SetText(ids::kBootstrapPath, path);
        transfer.ChooseDirection(protocol::Mode::Download);
        transfer.ResetTransfer();
        transfer.ArmDownload();
    }

    void Box(std::initializer_list<std::uint8_t> bytes) {
        for (const std::uint8_t b : bytes) {
            transfer.OnPortRxChar(b, 1);
        }
    }

    std::vector<std::string> EventKinds() {
        std::vector<std::string> kinds;
        for (const nlohmann::json& event : events.emitted) {
            if (event["event"] != "progress") {
                kinds.push_back(
                    event["event"].get<std::string>() +
                    (event.contains("frame") ? std::to_string(event["frame"].get<int>()) : ""));
            }
        }
        return kinds;
    }

    test::TempTree tree;
    RecordingEvents events;
    platform::FakeToolkit toolkit;
    protocol::CControlsHost host{toolkit};
    test::RecordingPort port;
    test::RecordingLog log;
    store::CStandardImageStore files;
    protocol::CTransfer transfer;
    std::optional<CTransferWatch> watch;
};

TEST_F(TransferWatchTest, RefusedFramesAndVerdict_CountedOnOneImage_EventsInOrder) {
    Start(1, "boot.bin", 5000);  // a header and two data frames
    Box({kReady, kAck});         // announce, then the header goes out
    Box({kNak, kAck});           // header refused once
    Box({kAck, kNak, kAck});     // frame 1, then frame 2 refused once
    Box({kNak});                 // verdict refused: the image goes again
    EXPECT_FALSE(watch->GaveUp());
    Box({kAck, kAck, kAck, kAck, kAck});  // header, frames 1 and 2, verdict accepted

    ASSERT_EQ(watch->Images().size(), 1U);
    const ImageResult& image = watch->Images()[0];
    EXPECT_EQ(image.kind, "bootstrap");
    EXPECT_EQ(image.size, 5000U);
    EXPECT_EQ(image.checksum, 5000U * 'x');
    EXPECT_EQ(image.naks, 2);
    EXPECT_EQ(image.resends, 1);
    EXPECT_TRUE(image.accepted);
    EXPECT_EQ(test::Internals(transfer).m_nDownState, protocol::DownloadState::Delivered);

    const std::vector<std::string> want = {"file_started",
                                           "frame_refused0",
                                           "frame_acknowledged0",
                                           "frame_acknowledged1",
                                           "frame_refused2",
                                           "frame_acknowledged2",
                                           "verdict",
                                           "file_started",
                                           "frame_acknowledged0",
                                           "frame_acknowledged1",
                                           "frame_acknowledged2",
                                           "verdict",
                                           "file_complete"};
    EXPECT_EQ(EventKinds(), want);
}

TEST_F(TransferWatchTest, FileChangedBeforeARefusedImageGoesAgain_RecordedAsItWentLast) {
    Start(1, "boot.bin", 5000);
    Box({kReady, kAck, kAck, kAck, kAck, kNak});  // header, two frames, verdict refused
    tree.File("boot.bin", std::string(3001, 'y'));
    Box({kAck, kAck, kAck, kAck});  // header, the one frame, verdict accepted

    ASSERT_EQ(watch->Images().size(), 1U);
    const ImageResult& image = watch->Images()[0];
    EXPECT_EQ(image.size, 3002U);  // padded to even
    EXPECT_EQ(image.checksum, 3001U * 'y');
    EXPECT_EQ(image.resends, 1);
    EXPECT_TRUE(image.accepted);
    std::vector<std::pair<std::uint64_t, std::string>> started;
    for (const nlohmann::json& event : events.emitted) {
        if (event["event"] == "file_started") {
            started.emplace_back(event["size"], event["checksum"]);
        }
    }
    const std::vector<std::pair<std::uint64_t, std::string>> want = {
        {5000, platform::Format("%08x", 5000U * 'x')},
        {3002, platform::Format("%08x", 3001U * 'y')}};
    EXPECT_EQ(started, want);
}

TEST_F(TransferWatchTest, RefusedMoreOftenThanTolerated_GivesUpNamingTheFile) {
    Start(1, "boot.bin", 10);
    Box({kReady, kAck, kAck, kAck, kNak});  // one frame, verdict refused: resend 1 of 1
    EXPECT_FALSE(watch->GaveUp());
    Box({kAck, kAck, kAck, kNak});
    ASSERT_TRUE(watch->GaveUp());
    EXPECT_NE(watch->GaveUp()->find("refused " + tree.Path("boot.bin") + " 2 times (--retries 1)"),
              std::string::npos)
        << *watch->GaveUp();
    EXPECT_FALSE(watch->Images()[0].accepted);
}

TEST_F(TransferWatchTest, NoRetries_FirstRefusalIsTheEnd) {
    Start(0, "boot.bin", 10);
    Box({kReady, kAck, kAck, kAck, kNak});
    ASSERT_TRUE(watch->GaveUp());
    EXPECT_NE(watch->GaveUp()->find("1 time (--retries 0)"), std::string::npos);
}

TEST_F(TransferWatchTest, Receive_SizeAndSumFromWhatArrived_AFailedCheckIsARefusedVerdict) {
    const test::Bytes image = test::Pattern(5000);
    for (const bool good : {true, false}) {
        watch.emplace(events, 3);
        transfer.SetObserver(&*watch);
        toolkit.SetText(ids::kReceivePath, tree.Path("target.bin"));
        transfer.OnToReceive();
        Box({0x16, kAck, kAck, kAck, 0x47});
        // The header announces the length and sum; the watch keeps what arrives instead.
        const std::uint32_t sum = protocol::ByteSum(image) + (good ? 0 : 1);
        for (const std::uint8_t b : test::BoxFrame(0xF1, test::HeaderPayload(5000, sum))) {
            Box({b});
        }
        Box({0x47});
        test::Bytes corrupt =
            test::BoxFrame(0xF2, test::Bytes(image.begin(), image.begin() + 4096));
        corrupt[9] ^= 1;
        for (const test::Bytes& frame :
             {corrupt, test::BoxFrame(0xF2, test::Bytes(image.begin(), image.begin() + 4096)),
              test::BoxFrame(0xF3, test::Bytes(image.begin() + 4096, image.end()))}) {
            for (const std::uint8_t b : frame) {
                Box({b});
            }
        }

        ASSERT_EQ(watch->Images().size(), 1U);
        const ImageResult& result = watch->Images()[0];
        EXPECT_EQ(result.kind, "programme");
        EXPECT_EQ(result.path, tree.Path("target.bin"));
        EXPECT_EQ(result.accepted, good);
        EXPECT_EQ(result.naks, good ? 1 : 2);
        EXPECT_EQ(result.size, good ? 5000U : 0U);
        EXPECT_EQ(result.checksum, good ? protocol::ByteSum(image) : 0U);
        EXPECT_FALSE(watch->GaveUp());
    }
    const std::vector<std::string> once = {"frame_acknowledged0", "file_started",
                                           "frame_refused1",      "frame_acknowledged1",
                                           "frame_acknowledged2", "verdict"};
    std::vector<std::string> want = once;
    want.emplace_back("file_complete");
    want.insert(want.end(), once.begin(), once.end() - 2);
    want.emplace_back("frame_refused2");
    want.emplace_back("verdict");
    EXPECT_EQ(EventKinds(), want);
}

TEST_F(TransferWatchTest, ReceiveProgress_RunsToTheAnnouncedLengthButNeverPastIt) {
    // The header announces 5000 bytes; 9000 arrive.
    const test::Bytes image = test::Pattern(9000);
    watch.emplace(events, 3);
    transfer.SetObserver(&*watch);
    toolkit.SetText(ids::kReceivePath, tree.Path("target.bin"));
    transfer.OnToReceive();
    test::Bytes stream{0x16, kAck, kAck, kAck, 0x47};
    const auto add = [&](const test::Bytes& bytes) {
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    };
    add(test::BoxFrame(0xF1, test::HeaderPayload(5000, protocol::ByteSum(image))));
    add({0x47});
    add(test::BoxFrame(0xF2, test::Bytes(image.begin(), image.begin() + 4096)));
    add(test::BoxFrame(0xF2, test::Bytes(image.begin() + 4096, image.begin() + 8192)));
    for (const std::uint8_t b : stream) {
        Box({b});
    }
    std::vector<std::string> progress;
    for (const nlohmann::json& event : events.emitted) {
        if (event["event"] == "progress") {
            progress.push_back(std::to_string(event["done"].get<int>()) + " of " +
                               (event.contains("total")
                                    ? event["total"].dump() + " " + event["percent"].dump() + "%"
                                    : std::string("?")));
        }
    }
    EXPECT_EQ(progress,
              (std::vector<std::string>{"0 of 5000 0%", "4096 of 5000 81%", "8192 of ?"}));
}

}  // namespace
}  // namespace vandrelux::station

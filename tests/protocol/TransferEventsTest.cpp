#include <gtest/gtest.h>

#include <functional>
#include <iomanip>
#include <sstream>

#include "BoxFrames.h"
#include "FakeImageStore.h"
#include "TransferFixture.h"
#include "protocol/ControlsHost.h"

namespace vandrelux::protocol {
namespace {

using test::BoxFrame;
using test::Bytes;
using test::HeaderPayload;
using Journal = std::vector<std::string>;

constexpr std::uint8_t ACK = 0x06;
constexpr std::uint8_t NAK = 0x15;

std::string Hex(std::uint32_t value) {
    std::ostringstream out;
    out << std::hex << std::uppercase << value;
    return out.str();
}

const char* ReasonName(FailReason reason) {
    switch (reason) {
        case FailReason::None:
            return "none";
        case FailReason::NoFileChosen:
            return "no file chosen";
        case FailReason::FileNotReadable:
            return "file not readable";
        case FailReason::TooManyStrayBytes:
            return "too many stray bytes";
        case FailReason::NoTargetPath:
            return "no target path";
        case FailReason::WorkingCopyNotWritable:
            return "working copy not writable";
        case FailReason::TargetNotWritable:
            return "target not writable";
        case FailReason::ImageCheckFailed:
            return "image check failed";
    }
    return "?";
}

// Writes every event into the journal the port and the store write into, so their order
// against the bytes on the wire and the file effects shows.
class JournalObserver final : public ITransferObserver {
public:
    explicit JournalObserver(Journal& journal) : m_journal(journal) {}

    void OnImageStarted(const ImageInfo& image) override {
        const UpdateKindInfo* kind = FindKind(image.kind);
        m_journal.push_back(std::string("image ") +
                            (image.direction == Mode::Receive ? "received " : "sent ") +
                            (kind != nullptr ? std::string(kind->name) : "-") + " " +
                            std::string(image.path) + " " + std::to_string(image.length) + " sum " +
                            Hex(image.checksum) + " #" + std::to_string(image.attempt));
    }
    void OnBoxReady() override { m_journal.emplace_back("box ready"); }
    void OnFrameSent(std::uint32_t frame) override {
        m_journal.push_back("sent " + std::to_string(frame));
    }
    void OnFrameResent(std::uint32_t frame) override {
        m_journal.push_back("resent " + std::to_string(frame));
    }
    void OnFrameAnswered(std::uint32_t frame, bool acknowledged, std::uint32_t done) override {
        m_journal.push_back("frame " + std::to_string(frame) +
                            (acknowledged ? " acknowledged " : " refused ") + std::to_string(done));
    }
    void OnImageVerdict(bool accepted) override {
        m_journal.emplace_back(accepted ? "verdict accepted" : "verdict refused");
    }
    void OnBlockAnswered(std::uint32_t frame, bool accepted, std::uint32_t received) override {
        m_journal.push_back("block " + std::to_string(frame) +
                            (accepted ? " accepted " : " refused ") + std::to_string(received));
    }
    void OnReceiveComplete(std::uint32_t received, std::uint32_t sum) override {
        m_journal.push_back("complete " + std::to_string(received) + " sum " + Hex(sum));
    }
    void OnTransferEnded(const TransferOutcome& outcome) override {
        std::string line = outcome.status == TransferStatus::Succeeded ? "ended succeeded"
                           : outcome.status == TransferStatus::Failed  ? "ended failed"
                                                                       : "ended running?";
        if (outcome.reason != FailReason::None) {
            line += std::string(", ") + ReasonName(outcome.reason);
        }
        if (!outcome.file.empty()) {
            line += " " + std::string(outcome.file);
        }
        m_journal.push_back(line);
    }

private:
    Journal& m_journal;
};

class TransferEventsTest : public ::testing::Test {
protected:
    TransferEventsTest() { transfer.SetObserver(&observer); }

    void Feed(const Bytes& bytes) {
        for (const std::uint8_t b : bytes) {
            transfer.OnPortRxChar(b, 1);
        }
    }
    // Feeds the box's bytes and returns what the transfer did about them, in order.
    Journal Box(const Bytes& bytes) {
        journal.clear();
        Feed(bytes);
        return std::exchange(journal, {});
    }

    void Offer(UpdateKind kind, const std::string& path, Bytes content) {
        const UpdateKindInfo& info = *FindKind(kind);
        toolkit.SetChecked(info.tickBox, true);
        toolkit.SetText(info.pathField, path);
        store.files[path] = std::move(content);
    }
    void ArmDownload() {
        transfer.ChooseDirection(Mode::Download);
        transfer.ResetTransfer();
        transfer.ArmDownload();
    }

    // Up to the data mark of an image of `length` bytes whose header announces `sum`.
    void StartReceive(std::uint32_t length, std::uint32_t sum) {
        toolkit.SetText(ids::kReceivePath, "/out/target");
        transfer.OnToReceive();
        Feed({0x16, ACK, ACK, ACK, 0x47});
        Feed(BoxFrame(0xF1, HeaderPayload(length, sum)));
        Feed({0x47});
        journal.clear();
    }

    void ExpectOutcome(Mode direction, TransferStatus status, FailReason reason,
                       const std::string& file = {}) {
        const TransferOutcome outcome = transfer.Outcome();
        EXPECT_EQ(outcome.direction, direction);
        EXPECT_EQ(outcome.status, status);
        EXPECT_EQ(outcome.reason, reason) << ReasonName(outcome.reason);
        EXPECT_EQ(outcome.file, file);
    }

    Journal journal;
    platform::FakeToolkit toolkit;
    test::JournalPort port{journal};
    test::RecordingLog log;
    test::FakeImageStore store{journal};
    JournalObserver observer{journal};
    CControlsHost host{toolkit};
    CTransfer transfer{host, port, log, store};
};

TEST_F(TransferEventsTest, Download_RefusalsAndAResentImage_ReportedInWireOrder) {
    Offer(UpdateKind::Bootstrap, "/fw/boot", Bytes(5000, 1));
    Offer(UpdateKind::Logo, "/fw/logo", Bytes(3, 2));  // padded to 4 bytes
    ArmDownload();
    ExpectOutcome(Mode::Download, TransferStatus::Running, FailReason::None);

    EXPECT_EQ(Box({0x19}), (Journal{"box ready", "send 16"}));
    EXPECT_EQ(Box({ACK}),
              (Journal{"read /fw/boot", "image sent bootstrap /fw/boot 5000 sum 1388 #1",
                       "send frame of 38", "sent 0"}));
    EXPECT_EQ(Box({NAK}), (Journal{"frame 0 refused 0", "send frame of 38", "resent 0"}));
    EXPECT_EQ(Box({ACK}), (Journal{"frame 0 acknowledged 0", "send frame of 4106", "sent 1"}));
    EXPECT_EQ(Box({ACK}), (Journal{"frame 1 acknowledged 4096", "send frame of 914", "sent 2"}));
    EXPECT_EQ(Box({NAK}), (Journal{"frame 2 refused 4096", "send frame of 914", "resent 2"}));
    EXPECT_EQ(Box({ACK}), (Journal{"frame 2 acknowledged 5000"}));
    EXPECT_EQ(Box({NAK}), (Journal{"verdict refused", "send 16"}));

    // The same image again, reread, as its second attempt; then the next kind as a first.
    EXPECT_EQ(Box({ACK}),
              (Journal{"read /fw/boot", "image sent bootstrap /fw/boot 5000 sum 1388 #2",
                       "send frame of 38", "sent 0"}));
    Box({ACK, ACK, ACK});
    EXPECT_EQ(Box({ACK}), (Journal{"verdict accepted", "send 16"}));
    EXPECT_EQ(Box({ACK}), (Journal{"read /fw/logo", "image sent logo /fw/logo 4 sum 6 #1",
                                   "send frame of 38", "sent 0"}));
    EXPECT_EQ(Box({ACK, ACK}), (Journal{"frame 0 acknowledged 0", "send frame of 14", "sent 1",
                                        "frame 1 acknowledged 4"}));
    ExpectOutcome(Mode::Download, TransferStatus::Running, FailReason::None);
    EXPECT_EQ(Box({ACK}), (Journal{"verdict accepted", "ended succeeded"}));
    ExpectOutcome(Mode::Download, TransferStatus::Succeeded, FailReason::None);

    // The byte that disarms the direction reports nothing and leaves the outcome standing.
    EXPECT_TRUE(Box({'x'}).empty());
    EXPECT_FALSE(transfer.IsArmed());
    ExpectOutcome(Mode::Download, TransferStatus::Succeeded, FailReason::None);
    transfer.ResetTransfer();
    ExpectOutcome(Mode::None, TransferStatus::Idle, FailReason::None);
}

TEST_F(TransferEventsTest, Download_EachFailure_EndsOnceWithAReasonToActOn) {
    struct Case {
        const char* what;
        std::function<void()> prepare;
        Bytes box;
        Journal tail;
        FailReason reason;
        std::string file;
    };
    const Case cases[] = {
        {"file gone", [&] { toolkit.SetText(ids::kSoftwarePath, "/fw/gone"); }, Bytes{0x19, ACK},
         Journal{"read /fw/gone", "ended failed, file not readable /fw/gone"},
         FailReason::FileNotReadable, "/fw/gone"},
        {"no path, dialog cancelled",
         [&] {
             toolkit.SetText(ids::kSoftwarePath, "");
             toolkit.AnswerFileDialog(std::nullopt);
         },
         Bytes{0x19}, Journal{"ended failed, no file chosen"}, FailReason::NoFileChosen, ""},
        {"250 stray bytes", [&] { toolkit.SetText(ids::kSoftwarePath, "/fw/sw"); },
         [] {
             Bytes b{0x19};
             b.insert(b.end(), 250, 'x');
             return b;
         }(),
         Journal{"ended failed, too many stray bytes"}, FailReason::TooManyStrayBytes, ""},
    };
    store.files["/fw/sw"] = Bytes(10, 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        toolkit.SetChecked(ids::kIncludeSoftware, true);
        c.prepare();
        ArmDownload();
        const Journal seen = Box(c.box);
        ASSERT_GE(seen.size(), c.tail.size());
        // Ready with nothing to send is no start: the box is never told a file follows.
        EXPECT_EQ(seen.front() == "box ready", c.reason != FailReason::NoFileChosen);
        EXPECT_EQ(Journal(seen.end() - static_cast<std::ptrdiff_t>(c.tail.size()), seen.end()),
                  c.tail);
        EXPECT_EQ(std::count_if(seen.begin(), seen.end(),
                                [](const std::string& e) { return e.starts_with("ended"); }),
                  1);
        ExpectOutcome(Mode::Download, TransferStatus::Failed, c.reason, c.file);
        EXPECT_TRUE(Box({'z'}).empty());
        ExpectOutcome(Mode::Download, TransferStatus::Failed, c.reason, c.file);
    }
}

TEST_F(TransferEventsTest, Receive_AnswersFileEffectsAndEnd_ReportedInWireOrder) {
    const Bytes image = test::Pattern(9000);
    const std::uint32_t sum = ByteSum(image);
    toolkit.SetText(ids::kReceivePath, "/out/target");
    transfer.OnToReceive();
    ExpectOutcome(Mode::Receive, TransferStatus::Running, FailReason::None);
    EXPECT_EQ(Box({0x16, ACK, ACK, ACK, 0x47}), (Journal{"send 06"}));
    Bytes bad = BoxFrame(0xF1, HeaderPayload(9000, sum));
    bad.back() ^= 1;
    EXPECT_EQ(Box(bad), (Journal{"send 15", "block 0 refused 0"}));
    Feed({0x47});
    EXPECT_EQ(Box(BoxFrame(0xF1, HeaderPayload(9000, sum))),
              (Journal{"send 06", "block 0 accepted 0",
                       "image received - /out/target 9000 sum " + Hex(sum) + " #1"}));
    EXPECT_EQ(Box({0x47}), (Journal{"begin"}));

    const Bytes first(image.begin(), image.begin() + 4096);
    Bytes corrupt = BoxFrame(0xF2, first);
    corrupt[50] ^= 0x40;
    EXPECT_EQ(Box(corrupt), (Journal{"send 15", "block 1 refused 0"}));
    EXPECT_EQ(Box(BoxFrame(0xF2, first)), (Journal{"send 06", "block 1 accepted 4096"}));
    // The buffer is written out when the next block needs its room, before its payload.
    EXPECT_EQ(Box(BoxFrame(0xF2, Bytes(image.begin() + 4096, image.begin() + 8192))),
              (Journal{"append 4096", "send 06", "block 2 accepted 8192"}));
    EXPECT_EQ(Box(BoxFrame(0xF3, Bytes(image.begin() + 8192, image.end()))),
              (Journal{"append 4904", "finish /out/target 9000", "send 06", "block 3 accepted 9000",
                       "complete 9000 sum " + Hex(sum), "ended succeeded"}));
    EXPECT_EQ(store.workingCopy, image);
    EXPECT_EQ(store.files["/out/target"], test::Swapped(image));
    ExpectOutcome(Mode::Receive, TransferStatus::Succeeded, FailReason::None);
    EXPECT_TRUE(Box({'!'}).empty());
    EXPECT_FALSE(transfer.IsArmed());
}

TEST_F(TransferEventsTest, Receive_EachFailure_EndsWithItsAnswerAndAReasonToActOn) {
    using Status = TargetResult::Status;
    const Bytes image = test::Pattern(6000);
    const Bytes head(image.begin(), image.begin() + 4096);
    const Bytes rest(image.begin() + 4096, image.end());
    struct Case {
        const char* what;
        std::function<void()> fault;
        std::uint32_t announcedSum;
        Journal tail;
        FailReason reason;
        std::string file;
        const char* message;
    };
    const std::uint32_t sum = ByteSum(image);
    const Case cases[] = {
        {"working copy full", [&] { store.room = 100; }, sum,
         Journal{"append 4096", "close", "ended failed, working copy not writable"},
         FailReason::WorkingCopyNotWritable, "", nullptr},
        {"target not creatable", [&] { store.finishFault = Status::TargetNotCreatable; }, sum,
         Journal{"finish /out/target 6000", "send 06", "block 2 accepted 6000",
                 "ended failed, target not writable /out/target"},
         FailReason::TargetNotWritable, "/out/target", "Can not open file"},
        {"working copy not readable", [&] { store.finishFault = Status::WorkingCopyNotReadable; },
         sum,
         Journal{"finish /out/target 6000", "send 15", "block 2 refused 6000",
                 "ended failed, working copy not writable"},
         FailReason::WorkingCopyNotWritable, "", "Can not open file"},
        {"working copy not closed", [&] { store.finishFault = Status::WorkingCopyNotClosed; }, sum,
         Journal{"finish /out/target 6000", "send 15", "block 2 refused 6000",
                 "ended failed, working copy not writable"},
         FailReason::WorkingCopyNotWritable, "", nullptr},
        {"target not written", [&] { store.finishFault = Status::TargetNotWritten; }, sum,
         Journal{"finish /out/target 6000", "send 15", "block 2 refused 6000",
                 "ended failed, target not writable /out/target"},
         FailReason::TargetNotWritable, "/out/target", nullptr},
        {"sum differs", [] {}, sum + 1,
         Journal{"finish /out/target 6000", "send 15", "block 2 refused 6000",
                 "ended failed, image check failed"},
         FailReason::ImageCheckFailed, "", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        store.room = SIZE_MAX;
        store.finishFault.reset();
        toolkit.messageBoxes.clear();
        c.fault();
        StartReceive(6000, c.announcedSum);
        Feed(BoxFrame(0xF2, head));
        const Journal seen = Box(BoxFrame(0xF3, rest));
        ASSERT_GE(seen.size(), c.tail.size());
        EXPECT_EQ(Journal(seen.end() - static_cast<std::ptrdiff_t>(c.tail.size()), seen.end()),
                  c.tail);
        ExpectOutcome(Mode::Receive, TransferStatus::Failed, c.reason, c.file);
        EXPECT_EQ(toolkit.messageBoxes, c.message != nullptr ? std::vector<std::string>{c.message}
                                                             : std::vector<std::string>{});
        EXPECT_FALSE(store.open);
        Feed({'z'});
        EXPECT_FALSE(transfer.IsArmed());
        EXPECT_EQ(log.messages.substr(log.messages.size() - 28), "Receiving Process FAILURE!\r\n");
    }
}

TEST_F(TransferEventsTest, Receive_FailuresBeforeTheImage_EndWithoutAnImage) {
    toolkit.SetText(ids::kReceivePath, "");
    transfer.OnToReceive();
    EXPECT_EQ(Box({0x16}), (Journal{"ended failed, no target path"}));
    ExpectOutcome(Mode::Receive, TransferStatus::Failed, FailReason::NoTargetPath);

    store.failBegin = true;
    toolkit.SetText(ids::kReceivePath, "/out/target");
    transfer.OnToReceive();
    Feed({0x16, ACK, ACK, ACK, 0x47});
    Feed(BoxFrame(0xF1, HeaderPayload(10, 0)));
    EXPECT_EQ(Box({0x47}), (Journal{"begin", "ended failed, working copy not writable"}));
    ExpectOutcome(Mode::Receive, TransferStatus::Failed, FailReason::WorkingCopyNotWritable);

    transfer.OnToReceive();
    Feed({0x16, ACK, ACK, ACK});
    EXPECT_TRUE(Box(Bytes(249, 0x33)).empty());
    EXPECT_EQ(Box({0x33}), (Journal{"ended failed, too many stray bytes"}));
    ExpectOutcome(Mode::Receive, TransferStatus::Failed, FailReason::TooManyStrayBytes);
}

}  // namespace
}  // namespace vandrelux::protocol

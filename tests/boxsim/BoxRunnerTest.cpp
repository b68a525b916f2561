// The run loop on a real pseudo-terminal, with the test playing the PC on the other side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "boxsim/BoxRunner.h"
#include "boxsim/PtyLine.h"

namespace vandrelux::boxsim {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const Bytes kBootHeader = {0x47, 0xF1, 0x00, 0x00, 0x00, 0x1C, 0x00, 0x00, 0x00, 0x10,
                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00,
                           0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00,
                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xA2};
const Bytes kBootData = {0x47, 0xF3, 0x00, 0x00, 0x00, 0x02, 0x01, 0x02, 0x00, 0x00, 0x00, 0xF8};

// The PC's end of the line.
class Pc {
public:
    explicit Pc(int fd) : m_fd(fd) {}
    explicit Pc(const std::string& path) : m_fd(::open(path.c_str(), O_RDWR | O_NOCTTY)) {}
    Pc(const Pc&) = delete;
    Pc& operator=(const Pc&) = delete;
    ~Pc() { Close(); }

    void Close() {
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    [[nodiscard]] bool IsOpen() const { return m_fd >= 0; }

    void Send(const Bytes& bytes) const {
        ASSERT_EQ(::write(m_fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Up to `n` bytes, whatever has come by `limit`; sets lineGone when the line vanishes.
    Bytes Read(std::size_t n, std::chrono::milliseconds limit = 1000ms) {
        Bytes out;
        const auto until = Clock::now() + limit;
        while (out.size() < n && Clock::now() < until) {
            pollfd pfd{m_fd, POLLIN, 0};
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            if (::poll(&pfd, 1, static_cast<int>(left.count()) + 1) <= 0) {
                continue;
            }
            std::uint8_t buf[256];
            const ssize_t got = ::read(m_fd, buf, std::min(sizeof buf, n - out.size()));
            if (got <= 0) {
                lineGone = true;
                break;
            }
            out.insert(out.end(), buf, buf + got);
        }
        return out;
    }

    // The verdict bytes and the status line behind them.
    Bytes ReadThroughLineEnd() {
        Bytes out;
        while (out.size() < 200 && (out.size() < 2 || out[out.size() - 2] != '\r')) {
            const Bytes more = Read(1);
            if (more.empty()) {
                break;
            }
            out.push_back(more[0]);
        }
        return out;
    }

    bool lineGone = false;

private:
    int m_fd;
};

class BoxRunnerTest : public ::testing::Test {
protected:
    BoxRunnerTest()
        : dir(fs::temp_directory_path() /
              (std::string("vandrelux-run-") +
               ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        settings.outDir = dir;
        settings.timeout = 2s;
        settings.drainLimit = 500ms;
        config.settleMs = 20;
    }
    ~BoxRunnerTest() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // Starts the loop on its own thread; the test thread is the PC.
    std::future<RunOutcome> Start(PtyLine& line) {
        runner = std::make_unique<BoxRunner>(config, settings, line);
        return std::async(std::launch::async, [this] { return runner->Run(); });
    }

    // The PC's side of powering on the box and announcing one file.
    void OpenFile(Pc& pc) {
        pc.Send({0x16});
        ASSERT_EQ(pc.Read(1), Bytes{0x19});
        std::this_thread::sleep_for(std::chrono::milliseconds(config.settleMs + 5));
        pc.Send({0x16});
        ASSERT_EQ(pc.Read(1), Bytes{0x06});
    }

    fs::path dir;
    BoxConfig config;
    RunSettings settings;
    std::unique_ptr<BoxRunner> runner;
};

std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

TEST_F(BoxRunnerTest, AcceptTwoByteBootstrap_FileWrittenReportedAndTurnaroundMeasured) {
    PtyLine line = PtyLine::OpenPty();
    auto run = Start(line);
    Pc pc(line.Path());
    ASSERT_TRUE(pc.IsOpen());

    OpenFile(pc);
    pc.Send(kBootHeader);
    ASSERT_EQ(pc.Read(1), Bytes{0x06});
    pc.Send(kBootData);
    const Bytes answer = pc.ReadThroughLineEnd();
    ASSERT_GE(answer.size(), 4U);
    EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 2), (Bytes{0x06, 0x06}));
    EXPECT_EQ(Text(answer).substr(answer.size() - 2), "\r\n");

    const RunOutcome outcome = run.get();
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.ended, "completed");
    EXPECT_EQ(outcome.bytesIn, 1 + 1 + kBootHeader.size() + kBootData.size());
    EXPECT_EQ(outcome.bytesOut, 3 + answer.size());
    std::ifstream file(dir / "bootstrap.bin", std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()),
              (Bytes{0x01, 0x02}));

    // Only the header's 0x06 asks for a next frame; the last block's 0x06 comes with a verdict.
    EXPECT_EQ(outcome.turnaroundUs.count, 1U);
    EXPECT_GE(outcome.turnaroundUs.min, 0);
    EXPECT_LT(outcome.turnaroundUs.max, 1'000'000);

    const BoxReport& box = runner->Model().Report();
    const nlohmann::json report = MakeReport(config.role, box, outcome);
    EXPECT_EQ(report["scenario"], "accept");
    EXPECT_EQ(report["completed"], true);
    ASSERT_EQ(report["images"].size(), 1U);
    const nlohmann::json& image = report["images"][0];
    EXPECT_EQ(image["kind"], "bootstrap");
    EXPECT_EQ(image["file"], "bootstrap.bin");
    EXPECT_EQ(image["checksum"], 3);
    EXPECT_EQ(image["address"], 0x80000000U);
    EXPECT_EQ(report["violations"].size(), 0U);
    EXPECT_EQ(report["turnaround_us"]["count"], 1);
    // From the header's mark to the end of the status line; the handshake before it is not part.
    EXPECT_EQ(report["frames"]["bytes"], kBootHeader.size() + 1 + kBootData.size() + answer.size());
    EXPECT_TRUE(report["frames"]["efficiency"].is_null());  // an unpaced line has no ideal
    EXPECT_EQ(ExitCode(box, outcome), 0);
}

TEST_F(BoxRunnerTest, PacedWithTurnaround_AnswersNeverComeSoonerThanTheLineAllows) {
    settings.baud = 9600;  // about 1.04 ms a byte
    settings.turnaroundUs = 5000;
    PtyLine line = PtyLine::OpenPty();
    auto run = Start(line);
    Pc pc(line.Path());

    auto sent = Clock::now();
    pc.Send({0x16});
    ASSERT_EQ(pc.Read(1), Bytes{0x19});
    // One byte in, the answer's delay, one byte out.
    EXPECT_GE(Clock::now() - sent, 7ms);
    std::this_thread::sleep_for(25ms);
    pc.Send({0x16});
    ASSERT_EQ(pc.Read(1), Bytes{0x06});

    sent = Clock::now();
    pc.Send(kBootHeader);  // the kernel takes all 38 bytes at once; the box must not
    ASSERT_EQ(pc.Read(1), Bytes{0x06});
    EXPECT_GE(Clock::now() - sent, 45ms);

    sent = Clock::now();
    pc.Send(kBootData);
    const Bytes answer = pc.ReadThroughLineEnd();
    const auto took = Clock::now() - sent;
    // 12 bytes in, the delay, then the verdict and the status line back to back.
    EXPECT_GE(took, std::chrono::microseconds(12 * 1041 + 5000 + answer.size() * 1041));
    const RunOutcome outcome = run.get();
    EXPECT_TRUE(outcome.completed);

    const FrameSpan& span = outcome.frames;
    EXPECT_EQ(span.bytes, kBootHeader.size() + 1 + kBootData.size() + answer.size());
    EXPECT_DOUBLE_EQ(span.idealSeconds, static_cast<double>(span.bytes) * 1'041'667e-9);
    // The box's two 5 ms delays before answering are time the line stood idle.
    EXPECT_GE(span.seconds, span.idealSeconds + 0.010);
}

TEST_F(BoxRunnerTest, HangUpAfterHeader_PcSeesTheAckThenTheLineVanish) {
    config.hangUpAfterFrames = 1;
    PtyLine line = PtyLine::OpenPty();
    auto run = Start(line);
    Pc pc(line.Path());

    OpenFile(pc);
    pc.Send(kBootHeader);
    EXPECT_EQ(pc.Read(1), Bytes{0x06});
    EXPECT_TRUE(pc.Read(1).empty());
    EXPECT_TRUE(pc.lineGone);

    const RunOutcome outcome = run.get();
    EXPECT_EQ(outcome.ended, "hung-up");
    EXPECT_TRUE(outcome.completed);  // hanging up was the scenario
    EXPECT_EQ(line.Fd(), -1);
    EXPECT_EQ(ExitCode(runner->Model().Report(), outcome), 0);
}

TEST_F(BoxRunnerTest, SendWithNobodyAnswering_ReadyRepeatedUntilTimeoutThenFails) {
    config.role = BoxConfig::Role::Send;
    config.image = {1, 2};
    config.readyRepeatMs = 50;
    settings.timeout = 130ms;
    PtyLine line = PtyLine::OpenPty();
    auto run = Start(line);
    Pc pc(line.Path());

    const Bytes heard = pc.Read(100, 600ms);  // room for a box thread that starts late
    const RunOutcome outcome = run.get();
    EXPECT_GE(heard.size(), 3U);  // at start, then about every 50 ms
    EXPECT_EQ(heard.size(), static_cast<std::size_t>(std::count(heard.begin(), heard.end(), 0x16)));
    EXPECT_EQ(outcome.ended, "timeout");
    EXPECT_FALSE(outcome.completed);
    EXPECT_GE(outcome.seconds, 0.13);
    EXPECT_EQ(ExitCode(runner->Model().Report(), outcome), 1);
}

TEST_F(BoxRunnerTest, DeviceWhoseOtherEndCloses_RunEndsAsLineClosedWithoutSpinning) {
    // A pseudo-terminal of the test's own stands in for a device such as a socat pair's end.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    Pc pc(master);
    PtyLine line = PtyLine::OpenDevice(::ptsname(master));
    auto run = Start(line);

    pc.Send({0x16});
    EXPECT_EQ(pc.Read(1), Bytes{0x19});
    pc.Close();

    ASSERT_EQ(run.wait_for(1s), std::future_status::ready);
    const RunOutcome outcome = run.get();
    EXPECT_EQ(outcome.ended, "line-closed");
    EXPECT_FALSE(outcome.completed);
    EXPECT_LT(outcome.seconds, 1.0);
}

TEST(ExitCode, OnlyACleanCompletedRunIsZero) {
    RunOutcome done;
    done.completed = true;
    BoxReport clean;
    BoxReport faulted;
    faulted.violations.push_back("frame checksum wrong");
    RunOutcome ownError = done;
    ownError.errors.push_back("cannot write");

    EXPECT_EQ(ExitCode(clean, done), 0);
    EXPECT_EQ(ExitCode(faulted, done), 1);
    EXPECT_EQ(ExitCode(clean, ownError), 1);
    EXPECT_EQ(ExitCode(clean, RunOutcome{}), 1);

    const nlohmann::json report = MakeReport(BoxConfig::Role::Accept, faulted, RunOutcome{});
    EXPECT_EQ(report["violations"][0], "frame checksum wrong");
    EXPECT_TRUE(report["turnaround_us"]["median"].is_null());
}

}  // namespace
}  // namespace vandrelux::boxsim

// The engine on real lines (pseudo-terminals, or COM ports under Wine): many lines on one
// thread, each line's bytes and writes in order, pauses that hold back only their own line, and
// a lost line that leaves the rest running.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <numeric>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "TestLine.h"
#include "engine/Engine.h"
#include "serial/ComPort.h"

namespace vandrelux::engine {
namespace {

using test::Bytes;
using test::TestLine;

std::unique_ptr<platform::SerialDevice> OpenRaw(const std::string& path) {
    auto device = std::make_unique<platform::SerialDevice>();
    platform::LineState state;
    if (!device->Open(path) ||
        serial::ConfigureDevice(*device, 115200, 'N', 8, 1, serial::EV_RXCHAR, state)) {
        ADD_FAILURE() << "cannot open " << path << ": " << platform::LastSystemError().message;
    }
    return device;
}

// What a client saw, in order; read by the test only once the engine has stopped.
struct Journal {
    std::vector<std::string> entries;
    [[nodiscard]] std::ptrdiff_t Count(const std::string& entry) const {
        return std::count(entries.begin(), entries.end(), entry);
    }
};

// Answers every byte b from the box with `answer(b)`; beacons 0x16 while `beacon` is set.
class Client final : public ILineClient {
public:
    std::function<Bytes(std::uint8_t)> answer = [](std::uint8_t b) {
        return Bytes{static_cast<std::uint8_t>(b + 1)};
    };
    std::function<void(std::uint8_t)> before;  // called before the answer is requested
    // How many of the bytes to take as a run; none unless set.
    std::function<std::size_t(std::span<const std::uint8_t>)> run;
    bool beacon = false;
    CLine* line = nullptr;
    Journal journal;

    void OnByte(std::uint8_t byte) override {
        journal.entries.push_back("byte " + std::to_string(byte));
        if (before) {
            before(byte);
        }
        const Bytes bytes = answer(byte);
        if (!bytes.empty()) {
            line->RequestWrite(bytes);
        }
    }
    std::size_t TakeRun(std::span<const std::uint8_t> bytes) override {
        const std::size_t taken = run ? run(bytes) : 0;
        for (const std::uint8_t b : bytes.first(taken)) {
            journal.entries.push_back("byte " + std::to_string(b));
        }
        return taken;
    }
    void OnTick() override {
        journal.entries.emplace_back("tick");
        if (beacon) {
            const std::uint8_t syn = 0x16;
            line->RequestWrite({&syn, 1});
        }
    }
    void OnLineLost(platform::PortStep step, const platform::SystemError& error) override {
        journal.entries.push_back(std::string("lost ") + platform::StepName(step) + " " +
                                  error.message);
    }
};

// The engine on a thread of its own, stopped by work posted to it.
class EngineTest : public ::testing::Test {
protected:
    explicit EngineTest(std::chrono::milliseconds beacon = std::chrono::milliseconds(10))
        : engine(beacon) {}
    ~EngineTest() override { Stop(); }

    CLine* Attach(TestLine& line, Client& client) {
        client.line = engine.Attach(OpenRaw(line.EnginePath()), client);
        EXPECT_NE(client.line, nullptr);
        if (client.line != nullptr) {
            client.line->EnsureSendBuffer(8192);
        }
        return client.line;
    }

    void Start() {
        m_thread = std::jthread([this] { engine.Run([this] { return m_bStop; }); });
    }

    void Stop() {
        if (m_thread.joinable()) {
            engine.Post([this] { m_bStop = true; });
            m_thread.join();
        }
    }

    CEngine engine;

private:
    bool m_bStop = false;  // engine thread only
    std::jthread m_thread;
};

TEST_F(EngineTest, ManyLines_EachGetsItsOwnAnswersInOrderAndNoOtherLines) {
    constexpr std::size_t kLines = test::kLinesAtHand;
    constexpr int kRounds = 20;
    std::vector<std::unique_ptr<TestLine>> boxes;
    std::vector<std::unique_ptr<Client>> clients;
    for (std::size_t i = 0; i < kLines; ++i) {
        boxes.push_back(std::make_unique<TestLine>());
        clients.push_back(std::make_unique<Client>());
        // Each line answers with its own number, so a crossed wire shows.
        clients.back()->answer = [i](std::uint8_t b) {
            return Bytes{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(b + 1)};
        };
        Attach(*boxes.back(), *clients.back());
    }
    Start();
    for (int round = 0; round < kRounds; ++round) {
        for (const auto& box : boxes) {
            box->Send({static_cast<std::uint8_t>(round)});
        }
        for (std::size_t i = 0; i < kLines; ++i) {
            ASSERT_EQ(boxes[i]->Receive(2),
                      (Bytes{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(round + 1)}))
                << "line " << i << " round " << round;
        }
    }
    Stop();
    for (const auto& client : clients) {
        std::vector<std::string> bytes;
        std::copy_if(client->journal.entries.begin(), client->journal.entries.end(),
                     std::back_inserter(bytes),
                     [](const std::string& e) { return e.rfind("byte", 0) == 0; });
        ASSERT_EQ(bytes.size(), static_cast<std::size_t>(kRounds));
        for (int round = 0; round < kRounds; ++round) {
            EXPECT_EQ(bytes[static_cast<std::size_t>(round)], "byte " + std::to_string(round));
        }
    }
}

TEST_F(EngineTest, RunsTheClientTakes_AreNotHandedOverAgainAndTheRestComesByteByByte) {
    TestLine box;
    Client client;
    // Runs of up to 7 bytes from each multiple of 10, the rest one by one, answered.
    client.run = [](std::span<const std::uint8_t> bytes) {
        return bytes.front() % 10 == 0 ? std::min<std::size_t>(bytes.size(), 7) : 0;
    };
    client.answer = [](std::uint8_t b) { return b == 199 ? Bytes{0x06} : Bytes{}; };
    Attach(box, client);
    Start();
    Bytes sent(200);
    std::iota(sent.begin(), sent.end(), std::uint8_t{0});
    box.Send(sent);
    ASSERT_EQ(box.Receive(1), Bytes{0x06});
    Stop();
    std::vector<std::string> expected;
    for (const std::uint8_t b : sent) {
        expected.push_back("byte " + std::to_string(b));
    }
    std::vector<std::string> bytes;
    std::copy_if(client.journal.entries.begin(), client.journal.entries.end(),
                 std::back_inserter(bytes), [](const std::string& e) { return e != "tick"; });
    EXPECT_EQ(bytes, expected);
}

TEST_F(EngineTest, FramesLargerThanTheLineTakes_ArriveWholeInOrderAndTheLastAlways) {
    // Every byte from the box asks for a frame of 4106 bytes carrying its number. The box does
    // not read until it has asked for all of them, so the line fills: frames may replace one
    // another while not begun, but none is cut, mixed or sent out of order.
    constexpr std::size_t kFrame = 4106;
    constexpr int kFrames = 120;
    TestLine box;
    Client client;
    client.answer = [](std::uint8_t b) { return Bytes(kFrame, b); };
    Attach(box, client);
    Start();
    for (int n = 1; n <= kFrames; ++n) {
        box.Send({static_cast<std::uint8_t>(n)});
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Bytes got;
    for (;;) {
        const Bytes chunk = box.Receive(kFrame);
        if (chunk.empty()) {
            break;
        }
        got.insert(got.end(), chunk.begin(), chunk.end());
    }
    Stop();
    ASSERT_FALSE(got.empty());
    ASSERT_EQ(got.size() % kFrame, 0U) << "a frame was cut";
    int last = 0;
    for (std::size_t at = 0; at < got.size(); at += kFrame) {
        const auto first = got.begin() + static_cast<std::ptrdiff_t>(at);
        EXPECT_TRUE(std::all_of(first, first + kFrame, [&](std::uint8_t b) { return b == *first; }))
            << "frames mixed at " << at;
        EXPECT_GT(*first, last) << "frames out of order";
        last = *first;
    }
    EXPECT_EQ(last, kFrames) << "the last request never went out";
}

TEST_F(EngineTest, Pause_HoldsItsLineInputTicksAndWritesOnlyAndKeepsTheWindowsOrder) {
    TestLine paused;
    TestLine other;
    Client pausing;
    Client busy;
    pausing.beacon = true;
    pausing.before = [&pausing](std::uint8_t b) {
        if (b == 'p') {
            pausing.beacon = false;
            pausing.line->Pause(100);
        }
    };
    pausing.answer = [](std::uint8_t b) {
        return Bytes{static_cast<std::uint8_t>(b == 'p' ? 'A' : 'B')};
    };
    Attach(paused, pausing);
    Attach(other, busy);
    Start();
    ASSERT_EQ(paused.Receive(1), (Bytes{0x16})) << "no beacon";
    // 'p' pauses; 'q' comes with it, so its answer replaces the one not yet begun, as the
    // window's monitor drains its input before it writes.
    paused.Send({'p', 'q'});
    // The other line answers meanwhile.
    for (std::uint8_t b = 1; b <= 5; ++b) {
        other.Send({b});
        EXPECT_EQ(other.Receive(1), (Bytes{static_cast<std::uint8_t>(b + 1)}));
    }
    Bytes tail;
    for (Bytes chunk = paused.Receive(1); !chunk.empty(); chunk = paused.Receive(1)) {
        tail.insert(tail.end(), chunk.begin(), chunk.end());
        if (chunk.back() == 'B') {
            break;
        }
    }
    Stop();
    tail.erase(std::remove(tail.begin(), tail.end(), std::uint8_t{0x16}), tail.end());
    EXPECT_EQ(tail, (Bytes{'B'}));
    const auto& seen = pausing.journal.entries;
    const auto p = std::find(seen.begin(), seen.end(), "byte 112");
    ASSERT_NE(p, seen.end());
    ASSERT_NE(p + 1, seen.end());
    EXPECT_EQ(*(p + 1), "byte 113") << "the line ticked during its pause";
    EXPECT_GT(busy.journal.Count("tick"), 0);
}

class FastBeaconTest : public EngineTest {
protected:
    FastBeaconTest() : EngineTest(std::chrono::milliseconds(1)) {}
};

TEST_F(FastBeaconTest, PauseEndingOnATick_TheInputItHeldBackComesFirst) {
    // With a tick every millisecond, short pauses often end in a wake-up that also has a tick
    // due; the byte that waited behind the pause still comes before the tick, and its answer
    // replaces the one the pause held back.
    TestLine box;
    Client client;
    client.before = [&client](std::uint8_t b) {
        if (b == 'p') {
            client.line->Pause(2);
        }
    };
    client.answer = [](std::uint8_t b) {
        return Bytes{static_cast<std::uint8_t>(b == 'p' ? 'A' : 'B')};
    };
    Attach(box, client);
    Start();
    for (int round = 0; round < 40; ++round) {
        box.Send({'p', 'q'});
        ASSERT_EQ(box.Receive(1), (Bytes{'B'})) << "round " << round;
    }
    Stop();
    const auto& seen = client.journal.entries;
    for (auto p = std::find(seen.begin(), seen.end(), "byte 112"); p != seen.end();
         p = std::find(p + 1, seen.end(), "byte 112")) {
        ASSERT_NE(p + 1, seen.end());
        EXPECT_EQ(*(p + 1), "byte 113") << "a tick came between a pause and the byte after it";
    }
}

TEST_F(EngineTest, LineLost_ReportedOnceAndTheOtherLinesGoOn) {
    TestLine lost;
    TestLine kept1;
    TestLine kept2;
    if (!TestLine::CanBeLost()) {
        GTEST_SKIP() << "a line cannot vanish here";
    }
    Client lostClient;
    Client client1;
    Client client2;
    Attach(lost, lostClient);
    Attach(kept1, client1);
    Attach(kept2, client2);
    Start();
    lost.Send({7});
    EXPECT_EQ(lost.Receive(1), (Bytes{8}));
    lost.Lose();
    for (std::uint8_t b = 1; b <= 10; ++b) {
        kept1.Send({b});
        kept2.Send({static_cast<std::uint8_t>(b + 100)});
        EXPECT_EQ(kept1.Receive(1), (Bytes{static_cast<std::uint8_t>(b + 1)}));
        EXPECT_EQ(kept2.Receive(1), (Bytes{static_cast<std::uint8_t>(b + 101)}));
    }
    Stop();
    const auto losses =
        std::count_if(lostClient.journal.entries.begin(), lostClient.journal.entries.end(),
                      [](const std::string& e) { return e.rfind("lost ", 0) == 0; });
    EXPECT_EQ(losses, 1);
    EXPECT_TRUE(lostClient.line->IsLost());
    const auto& last = lostClient.journal.entries.back();
    EXPECT_NE(last.find("ReadFile()"), std::string::npos) << last;
    EXPECT_EQ(client1.journal.Count("byte 10"), 1);
    EXPECT_FALSE(client2.line->IsLost());
}

TEST_F(EngineTest, LineClosedFromItsOwnByte_TheOtherLineGoesOn) {
    // A station closes a line from inside its byte handler when a unit ends while it stops;
    // the device's waits must end without holding up the line beside it.
    TestLine closing;
    TestLine kept;
    Client closer;
    Client client;
    closer.before = [&closer](std::uint8_t b) {
        if (b == 'x') {
            closer.line->Close();
        }
    };
    Attach(closing, closer);
    Attach(kept, client);
    Start();
    closing.Send({1});
    EXPECT_EQ(closing.Receive(1), (Bytes{2}));
    closing.Send({'x'});
    // Not a speed figure: a close that waited for its device's own calls to end froze every
    // line for half a second; an answer takes milliseconds.
    const auto sent = std::chrono::steady_clock::now();
    kept.Send({1});
    EXPECT_EQ(kept.Receive(1), (Bytes{2}));
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(400));
    for (std::uint8_t b = 2; b <= 10; ++b) {
        kept.Send({b});
        EXPECT_EQ(kept.Receive(1), (Bytes{static_cast<std::uint8_t>(b + 1)}));
    }
    Stop();
    EXPECT_EQ(closer.journal.Count("byte 120"), 1);
    EXPECT_FALSE(closer.line->IsLost());
    EXPECT_EQ(client.journal.Count("byte 10"), 1);
}

TEST_F(EngineTest, Open_ReportsTheFailedStepOnTheEngineThreadAndOpensWhatExists) {
    TestLine box;
    std::vector<std::string> outcomes;  // engine thread until Stop
    std::atomic<int> opened{0};         // either open, whichever comes first
    engine.Open(test::kMissingLine, 115200, [&](OpenResult result) {
        outcomes.push_back(result.device ? "open"
                                         : platform::StepName(result.failedStep) +
                                               std::string(" ") + result.error.message);
        ++opened;
    });
    Client client;
    engine.Open(box.EnginePath(), 115200, [&](OpenResult result) {
        outcomes.emplace_back(result.device ? "open" : platform::StepName(result.failedStep));
        if (result.device) {
            client.line = engine.Attach(std::move(result.device), client);
        }
        ++opened;
    });
    Start();
    for (int i = 0; i < 500 && opened < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    box.Send({41});
    EXPECT_EQ(box.Receive(1), (Bytes{42}));
    Stop();
    ASSERT_EQ(outcomes.size(), 2U);
    std::sort(outcomes.begin(), outcomes.end());
    EXPECT_EQ(outcomes[0].rfind("CreateFile() ", 0), 0U) << outcomes[0];
    EXPECT_EQ(outcomes[1], "open");
}

}  // namespace
}  // namespace vandrelux::engine

// Handing tasks to the loop's thread and back, as the port's monitor does with received bytes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stop_token>
#include <thread>

#include "EventLoop.h"

namespace vandrelux::test {
namespace {

using namespace std::chrono_literals;

TEST(EventLoopSend, ManyTasks_EachRunOnTheLoopInOrderBeforeSendReturns) {
    constexpr int kTasks = 2000;
    EventLoop loop;
    int ran = 0;  // touched by the loop's thread only, read by the sender after each Send
    const std::thread::id loopThread = std::this_thread::get_id();
    std::atomic<int> faults{0};
    std::jthread sender([&] {
        for (int i = 0; i < kTasks; ++i) {
            const bool sent = loop.Send(
                [&, i] {
                    if (std::this_thread::get_id() != loopThread || ran != i) {
                        ++faults;
                    }
                    ++ran;
                },
                {});
            // Whatever the task did must be visible once Send has returned.
            if (!sent || ran != i + 1) {
                ++faults;
            }
        }
        loop.Wake();
    });

    EXPECT_TRUE(loop.Run([&] { return ran == kTasks; }, EventLoop::Clock::now() + 60s));
    sender.join();
    EXPECT_EQ(faults, 0);
}

TEST(EventLoopSend, StopBeforeTheLoopTookItUp_ReturnsFalseAndTaskNeverRuns) {
    EventLoop loop;
    std::atomic<bool> ran{false};
    std::stop_source stop;
    std::atomic<bool> sent{true};
    std::jthread sender([&] { sent = loop.Send([&] { ran = true; }, stop.get_token()); });
    std::this_thread::sleep_for(20ms);  // the loop is not running, so the task waits
    stop.request_stop();
    sender.join();
    EXPECT_FALSE(sent);

    // The withdrawn task stays withdrawn when the loop runs later.
    EXPECT_FALSE(loop.Run([] { return false; }, EventLoop::Clock::now() + 50ms));
    EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace vandrelux::test

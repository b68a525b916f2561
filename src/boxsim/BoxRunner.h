// Runs a BoxModel on a real line: one poll loop that reads the PC's bytes, paces both
// directions, stores accepted images, measures the PC's turnaround and decides when the run
// is over. The report is built from what it returns.
//
// Threading: not thread-safe; Run blocks the calling thread until the run ends.
#pragma once

#include <signal.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "boxsim/BoxModel.h"
#include "boxsim/LineTiming.h"
#include "boxsim/PtyLine.h"

namespace vandrelux::boxsim {

struct RunSettings {
    std::uint32_t baud = 0;  // 0 = unpaced
    std::uint32_t turnaroundUs = 0;
    std::size_t expect = 1;  // accept: images to take before the run is complete
    std::chrono::milliseconds timeout{120'000};
    std::filesystem::path outDir;  // empty = images are only reported
    // How long a finished run waits for the PC to read the box's last bytes.
    std::chrono::milliseconds drainLimit{2'000};
    // Accept: what the box prints once it has its images, after `rebootDelay`, as it boots them.
    std::string rebootText;
    std::chrono::milliseconds rebootDelay{0};
};

// The part of a run that carries frames: from the first frame mark crossing the line, in either
// direction, to the last byte that crossed it. Paced, its ideal time over its measured time is
// the line efficiency.
struct FrameSpan {
    std::uint64_t bytes = 0;  // both directions, the opening mark included
    double seconds = 0.0;
    double idealSeconds = 0.0;  // the bytes back to back at the line's speed; 0 when unpaced
};

struct RunOutcome {
    bool completed = false;
    // completed, hung-up, no-beacon, timeout, interrupted, line-closed, line-error
    std::string ended;
    std::vector<std::string> errors;  // the simulator's own failures, not the PC's
    std::uint64_t bytesIn = 0;        // as read from the line
    std::uint64_t bytesOut = 0;       // as written to the line
    double seconds = 0.0;
    TurnaroundSummary turnaroundUs;
    FrameSpan frames;
};

class BoxRunner {
public:
    BoxRunner(BoxConfig config, RunSettings settings, PtyLine& line);

    // Ends early once `*stop` is non-zero; `waitMask`, if given, is the signal mask in force
    // while the loop waits, so a blocked signal can only arrive there.
    [[nodiscard]] RunOutcome Run(const volatile std::sig_atomic_t* stop = nullptr,
                                 const sigset_t* waitMask = nullptr);

    [[nodiscard]] const BoxModel& Model() const noexcept { return m_model; }

private:
    struct OutByte {
        std::uint8_t byte;
        std::int64_t dueNs;
        bool opensFrameWait;  // an acknowledgement after which the PC's next frame is due
        bool opensSpan;       // the mark of a frame the box sends
    };
    struct InByte {
        std::uint8_t byte;
        std::int64_t releaseNs;
    };

    [[nodiscard]] std::int64_t Now() const;
    [[nodiscard]] bool Complete() const;
    // Complete, and the text of the reboot said; queues that text when it is due.
    [[nodiscard]] bool Rebooted(std::int64_t nowNs);
    void Queue(const std::vector<std::uint8_t>& bytes, std::int64_t readyNs, bool opensFrameWait);
    void ReleaseInput(std::int64_t nowNs);
    void FeedModel(std::uint8_t byte, std::int64_t atNs);
    void StoreNewImages();
    // False when the line failed; `m_ended` then says how.
    [[nodiscard]] bool WriteDue(std::int64_t nowNs);
    [[nodiscard]] bool ReadAvailable(bool hungUp);
    // One byte crossed the line in the slot that started at `startNs` and ended at `endNs`.
    void CountCrossing(bool opensSpan, std::int64_t startNs, std::int64_t endNs);
    void LineFailed(const char* what, int error);
    [[nodiscard]] std::int64_t WaitTimeoutNs(std::int64_t nowNs, std::int64_t deadlineNs) const;
    [[nodiscard]] RunOutcome Finish(std::string ended, bool completed);

    BoxConfig::Role m_role;
    BoxModel m_model;
    RunSettings m_settings;
    PtyLine& m_line;
    std::chrono::steady_clock::time_point m_start;
    LineSchedule m_outSchedule;
    LineSchedule m_inSchedule;
    std::deque<OutByte> m_output;
    std::deque<InByte> m_input;
    bool m_writeBlocked = false;
    std::int64_t m_lastWriteNs = INT64_MIN / 2;
    std::int64_t m_lastReleaseNs = INT64_MIN / 2;
    std::size_t m_imagesStored = 0;
    std::int64_t m_completeNs = -1;  // when the scenario was first complete
    bool m_bRebootSaid = false;
    std::vector<std::string> m_errors;
    std::string m_ended;
    std::uint64_t m_bytesIn = 0;
    std::uint64_t m_bytesOut = 0;

    bool m_frameDue = false;
    std::int64_t m_ackWrittenNs = 0;
    std::vector<std::int64_t> m_turnaroundsUs;

    bool m_spanOpen = false;
    std::int64_t m_spanStartNs = 0;
    std::int64_t m_spanEndNs = 0;
    std::uint64_t m_spanBytes = 0;
};

[[nodiscard]] nlohmann::json MakeReport(BoxConfig::Role role, const BoxReport& box,
                                        const RunOutcome& run);

// 0 only for a completed run without a violation or an error of our own.
[[nodiscard]] int ExitCode(const BoxReport& box, const RunOutcome& run);

}  // namespace vandrelux::boxsim

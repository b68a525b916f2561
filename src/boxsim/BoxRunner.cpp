#include "boxsim/BoxRunner.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <span>
#include <utility>

#include "boxsim/ImageFiles.h"

namespace vandrelux::boxsim {

namespace {

constexpr std::int64_t kNsPerUs = 1'000;
constexpr std::int64_t kNsPerMs = 1'000'000;
// The model's repeated ready byte needs a look at the clock this often while nothing happens.
constexpr std::int64_t kIdleTickNs = 2 * kNsPerMs;
// A paced stream is moved in bursts at most this often, not one wake-up per byte time.
constexpr std::int64_t kBurstNs = kNsPerMs;
// Past this much unreleased input the kernel keeps the rest, so a slow line pushes back.
constexpr std::size_t kMaxPendingInput = std::size_t{64} * 1024;
constexpr std::size_t kIoChunk = 4096;

std::uint64_t ToMs(std::int64_t ns) {
    return static_cast<std::uint64_t>(std::max<std::int64_t>(ns, 0) / kNsPerMs);
}

}  // namespace

BoxRunner::BoxRunner(BoxConfig config, RunSettings settings, PtyLine& line)
    : m_role(config.role),
      m_model(std::move(config)),
      m_settings(std::move(settings)),
      m_line(line),
      m_outSchedule(m_settings.baud),
      m_inSchedule(m_settings.baud) {}

std::int64_t BoxRunner::Now() const {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                                m_start)
        .count();
}

bool BoxRunner::Complete() const {
    return m_role == BoxConfig::Role::Send ? m_model.Done()
                                           : m_model.ImagesAccepted() >= m_settings.expect;
}

bool BoxRunner::Rebooted(std::int64_t nowNs) {
    if (m_settings.rebootText.empty() || m_bRebootSaid) {
        return true;
    }
    if (m_completeNs < 0) {
        m_completeNs = nowNs;
    }
    const std::int64_t dueNs =
        m_completeNs +
        std::chrono::duration_cast<std::chrono::nanoseconds>(m_settings.rebootDelay).count();
    if (nowNs >= dueNs) {
        Queue({m_settings.rebootText.begin(), m_settings.rebootText.end()}, nowNs, false);
        m_bRebootSaid = true;
    }
    return false;
}

RunOutcome BoxRunner::Run(const volatile std::sig_atomic_t* stop, const sigset_t* waitMask) {
    m_start = std::chrono::steady_clock::now();
    const std::int64_t deadlineNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(m_settings.timeout).count();
    // The sending box speaks first; the accepting one says nothing until the PC does.
    Queue(m_model.TakeOutput(), 0, false);

    for (;;) {
        const std::int64_t nowNs = Now();
        if (stop != nullptr && *stop != 0) {
            return Finish("interrupted", false);
        }
        ReleaseInput(nowNs);
        m_model.OnIdle(ToMs(nowNs));
        Queue(m_model.TakeOutput(), nowNs, false);
        if (!WriteDue(nowNs)) {
            return Finish(m_ended, false);
        }
        if (m_output.empty() && m_model.HungUp()) {
            // Only a hang-up we were asked for gets here, so it is the scenario done.
            m_line.Drain(m_settings.drainLimit);
            m_line.HangUp();
            return Finish("hung-up", true);
        }
        if (m_output.empty() && m_model.MissedBeacon()) {
            return Finish("no-beacon", false);
        }
        if (m_output.empty() && Complete() && Rebooted(nowNs)) {
            m_line.Drain(m_settings.drainLimit);
            return Finish("completed", true);
        }
        if (nowNs >= deadlineNs) {
            return Finish("timeout", false);
        }

        pollfd pfd{m_line.Fd(), 0, 0};
        if (m_input.size() < kMaxPendingInput) {
            pfd.events |= POLLIN;
        }
        if (m_writeBlocked) {
            pfd.events |= POLLOUT;
        }
        const std::int64_t waitNs = WaitTimeoutNs(nowNs, deadlineNs);
        const timespec wait{static_cast<time_t>(waitNs / 1'000'000'000),
                            static_cast<long>(waitNs % 1'000'000'000)};
        const int ready = ::ppoll(&pfd, 1, &wait, waitMask);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            LineFailed("waiting on the line", errno);
            return Finish(m_ended, false);
        }
        if ((pfd.revents & POLLNVAL) != 0) {
            LineFailed("waiting on the line", EBADF);
            return Finish(m_ended, false);
        }
        if ((pfd.revents & POLLOUT) != 0) {
            m_writeBlocked = false;
        }
        if ((pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
            !ReadAvailable((pfd.revents & (POLLHUP | POLLERR)) != 0)) {
            return Finish(m_ended, false);
        }
    }
}

std::int64_t BoxRunner::WaitTimeoutNs(std::int64_t nowNs, std::int64_t deadlineNs) const {
    std::int64_t untilNs = std::min(nowNs + kIdleTickNs, deadlineNs);
    if (!m_input.empty()) {
        // Late by at most one burst, except the last byte queued: an answer usually waits for it.
        untilNs = std::min(
            untilNs, std::max(m_input.front().releaseNs,
                              std::min(m_input.back().releaseNs, m_lastReleaseNs + kBurstNs)));
    }
    if (!m_output.empty() && !m_writeBlocked) {
        // The first byte after a quiet spell leaves on time, which keeps answers exact.
        untilNs = std::min(untilNs, std::max(m_output.front().dueNs, m_lastWriteNs + kBurstNs));
    }
    return std::max<std::int64_t>(untilNs - nowNs, 0);
}

void BoxRunner::Queue(const std::vector<std::uint8_t>& bytes, std::int64_t readyNs,
                      bool opensFrameWait) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const bool last = i + 1 == bytes.size();
        // Chatter is printable, so a mark before a frame type is a frame.
        const bool opensSpan = bytes[i] == kMark && !last && IsFrameType(bytes[i + 1]);
        m_output.push_back(
            OutByte{bytes[i], m_outSchedule.Book(readyNs), opensFrameWait && last, opensSpan});
    }
}

void BoxRunner::ReleaseInput(std::int64_t nowNs) {
    if (!m_input.empty() && m_input.front().releaseNs <= nowNs) {
        m_lastReleaseNs = nowNs;
    }
    std::array<std::uint8_t, kIoChunk> run{};
    while (!m_input.empty() && m_input.front().releaseNs <= nowNs) {
        // Payload goes over in runs: the box never answers it, so no byte's time matters.
        const std::size_t wanted = std::min(m_model.PayloadWanted(), run.size());
        std::size_t n = 0;
        while (n < wanted && n < m_input.size() && m_input[n].releaseNs <= nowNs) {
            run[n] = m_input[n].byte;
            ++n;
        }
        if (n > 0) {
            m_model.OnPayload(std::span(run.data(), n));
            m_input.erase(m_input.begin(), m_input.begin() + static_cast<std::ptrdiff_t>(n));
            continue;
        }
        const InByte in = m_input.front();
        m_input.pop_front();
        FeedModel(in.byte, in.releaseNs);
    }
}

void BoxRunner::FeedModel(std::uint8_t byte, std::int64_t atNs) {
    const unsigned framesBefore = m_model.Report().framesIn;
    m_model.OnByte(byte, ToMs(atNs));
    const std::vector<std::uint8_t> out = m_model.TakeOutput();
    // A lone 0x06 for a frame is a header's or a non-final block's: the verdict on a last block
    // rides with it, and a refusal is 0x15.
    const bool opensFrameWait = m_model.Report().framesIn != framesBefore && out.size() == 1 &&
                                out[0] == kAck && !m_model.Stopped();
    Queue(out, atNs + std::int64_t{m_settings.turnaroundUs} * kNsPerUs, opensFrameWait);
    StoreNewImages();
}

void BoxRunner::StoreNewImages() {
    const std::vector<StoredImage>& images = m_model.Report().images;
    for (; m_imagesStored < images.size(); ++m_imagesStored) {
        if (m_settings.outDir.empty()) {
            continue;
        }
        std::string error = WriteImage(m_settings.outDir, images[m_imagesStored]);
        if (!error.empty()) {
            m_errors.push_back(std::move(error));
        }
    }
}

bool BoxRunner::WriteDue(std::int64_t nowNs) {
    std::array<std::uint8_t, kIoChunk> chunk{};
    while (!m_writeBlocked && !m_output.empty() && m_output.front().dueNs <= nowNs) {
        std::size_t n = 0;
        while (n < chunk.size() && n < m_output.size() && m_output[n].dueNs <= nowNs) {
            chunk[n] = m_output[n].byte;
            ++n;
        }
        const ssize_t written = ::write(m_line.Fd(), chunk.data(), n);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                m_writeBlocked = true;
                break;
            }
            if (errno == EIO || errno == EPIPE) {
                m_ended = "line-closed";
                return false;
            }
            LineFailed("writing to the line", errno);
            return false;
        }
        const std::int64_t writtenNs = Now();
        m_lastWriteNs = writtenNs;
        for (std::size_t i = 0; i < static_cast<std::size_t>(written); ++i) {
            const OutByte& out = m_output.front();
            if (out.opensFrameWait) {
                m_frameDue = true;
                m_ackWrittenNs = writtenNs;
            }
            CountCrossing(out.opensSpan, out.dueNs - m_outSchedule.ByteNs(), writtenNs);
            m_output.pop_front();
        }
        m_bytesOut += static_cast<std::uint64_t>(written);
    }
    return true;
}

bool BoxRunner::ReadAvailable(bool hungUp) {
    std::array<std::uint8_t, kIoChunk> chunk{};
    bool gotAny = false;
    while (m_input.size() < kMaxPendingInput) {
        const ssize_t got = ::read(m_line.Fd(), chunk.data(), chunk.size());
        if (got == 0) {
            m_ended = "line-closed";
            return false;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                break;
            }
            if (errno == EIO) {
                m_ended = "line-closed";
                return false;
            }
            LineFailed("reading from the line", errno);
            return false;
        }
        gotAny = true;
        const std::int64_t arrivedNs = Now();
        for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i) {
            const std::uint8_t byte = chunk[i];
            if (m_frameDue && byte == kMark) {
                m_frameDue = false;
                m_turnaroundsUs.push_back((arrivedNs - m_ackWrittenNs) / kNsPerUs);
            }
            const std::int64_t releaseNs = m_inSchedule.Book(arrivedNs);
            // Before its first frame the PC sends only beacons, so its first mark opens one.
            CountCrossing(byte == kMark, releaseNs - m_inSchedule.ByteNs(), releaseNs);
            m_input.push_back(InByte{byte, releaseNs});
        }
        m_bytesIn += static_cast<std::uint64_t>(got);
    }
    // A hang-up that leaves nothing to read would otherwise wake every wait at once.
    if (hungUp && !gotAny) {
        m_ended = "line-closed";
        return false;
    }
    return true;
}

void BoxRunner::CountCrossing(bool opensSpan, std::int64_t startNs, std::int64_t endNs) {
    if (!m_spanOpen && opensSpan) {
        m_spanOpen = true;
        m_spanStartNs = startNs;
        m_spanEndNs = startNs;
    }
    if (m_spanOpen) {
        ++m_spanBytes;
        m_spanEndNs = std::max(m_spanEndNs, endNs);
    }
}

void BoxRunner::LineFailed(const char* what, int error) {
    m_errors.push_back(std::string(what) + ": " + std::strerror(error));
    m_ended = "line-error";
}

RunOutcome BoxRunner::Finish(std::string ended, bool completed) {
    RunOutcome outcome;
    outcome.completed = completed;
    outcome.ended = std::move(ended);
    outcome.errors = m_errors;
    outcome.bytesIn = m_bytesIn;
    outcome.bytesOut = m_bytesOut;
    outcome.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    outcome.turnaroundUs = Summarise(m_turnaroundsUs);
    outcome.frames.bytes = m_spanBytes;
    outcome.frames.seconds = static_cast<double>(m_spanEndNs - m_spanStartNs) / 1e9;
    outcome.frames.idealSeconds =
        static_cast<double>(m_spanBytes) * static_cast<double>(m_inSchedule.ByteNs()) / 1e9;
    return outcome;
}

nlohmann::json MakeReport(BoxConfig::Role role, const BoxReport& box, const RunOutcome& run) {
    using nlohmann::json;
    json images = json::array();
    for (const StoredImage& image : box.images) {
        const ImageKind kind = KindOf(image.header.type);
        const HeaderWords& h = image.header;
        images.push_back(json{{"kind", kind.kind},
                              {"file", kind.file},
                              {"type", h.type},
                              {"reserved", h.reserved},
                              {"length", h.length},
                              {"checksum", h.checksum},
                              {"mode", h.mode},
                              {"address", h.address},
                              {"param", h.param},
                              {"bytes", image.data.size()}});
    }
    const TurnaroundSummary& t = run.turnaroundUs;
    const FrameSpan& span = run.frames;
    const json efficiency = span.idealSeconds > 0.0 && span.seconds > 0.0
                                ? json(span.idealSeconds / span.seconds)
                                : json();
    const auto sample = [&t](std::int64_t value) { return t.count == 0 ? json() : json(value); };
    return json{
        {"scenario", role == BoxConfig::Role::Send ? "send" : "accept"},
        {"completed", run.completed},
        {"ended", run.ended},
        {"images", std::move(images)},
        {"naks_sent", box.naksSent},
        {"naks_received", box.naksReceived},
        {"resends", box.resends},
        {"corrupted", box.corrupted},
        {"violations", box.violations},
        {"errors", run.errors},
        {"bytes_in", run.bytesIn},
        {"bytes_out", run.bytesOut},
        {"seconds", run.seconds},
        {"turnaround_us", json{{"count", t.count},
                               {"min", sample(t.min)},
                               {"median", sample(t.median)},
                               {"p99", sample(t.p99)},
                               {"max", sample(t.max)}}},
        {"frames", json{{"bytes", span.bytes},
                        {"seconds", span.seconds},
                        {"ideal_seconds", span.idealSeconds},
                        {"efficiency", efficiency}}},
    };
}

int ExitCode(const BoxReport& box, const RunOutcome& run) {
    return run.completed && box.violations.empty() && run.errors.empty() ? 0 : 1;
}

}  // namespace vandrelux::boxsim

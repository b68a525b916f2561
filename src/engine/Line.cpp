#include "engine/Line.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <system_error>
#include <utility>

namespace vandrelux::engine {

namespace {

constexpr std::size_t kReadChunk = 4096;
// A box that never stops talking still leaves the other lines their turn.
constexpr int kReadsPerTurn = 16;

}  // namespace

CLine::CLine(CLoop& loop, std::unique_ptr<platform::SerialDevice> device, ILineClient& client)
    : m_loop(loop), m_device(std::move(device)), m_client(&client) {}

CLine::~CLine() {
    Close();
}

bool CLine::Start() {
    m_source = m_loop.Watch(
        m_device->WaitHandle(), kReadable, [this](std::uint32_t readiness) { OnReady(readiness); },
        [this] {
            m_device->ArmWait((m_interest & kReadable) != 0, (m_interest & kWritable) != 0);
        });
    if (m_source == nullptr) {
        m_bClosed = true;
        m_device->Close();
        return false;
    }
    m_interest = kReadable;
    // Input may wait in the device already (a network server's greeting came with the open).
    m_kickTask = m_loop.At(EngineClock::now(), [this] {
        m_kickTask = 0;
        Service();
    });
    return true;
}

void CLine::RequestWrite(std::span<const std::uint8_t> bytes) {
    // Nothing to send is no request: it would wait for the line for ever.
    if (m_bLost || m_bClosed || bytes.empty()) {
        return;
    }
    static_cast<void>(m_slot.Request(bytes));
}

void CLine::Pause(std::uint32_t ms) {
    const auto now = EngineClock::now();
    m_holdUntil = std::max(m_holdUntil, now) + std::chrono::milliseconds(ms);
    m_bPauseAsked = true;
}

bool CLine::OutputPending() {
    if (m_bLost || m_bClosed) {
        return false;
    }
    if (m_slot.Pending() || !m_sending.empty() || m_device->HoldsOutput()) {
        return true;
    }
    platform::QueueStatus status;
    return m_device->GetStatus(status) && status.outQueue > 0;
}

void CLine::Tick(EngineClock::time_point now) {
    // A line stays paused until its pause's task has handled the input the pause held back, as
    // the window's waiting messages come before its timer's.
    if (m_bLost || m_bClosed || m_holdTimer != 0 || IsHeld(now)) {
        return;
    }
    m_client->OnTick();
    AfterClientCall();
}

void CLine::Close() {
    if (m_bClosed) {
        return;
    }
    m_bClosed = true;
    if (!m_bLost) {
        m_loop.Remove(m_source);
        m_device->Close();
    }
    m_loop.Cancel(m_holdTimer);
    m_loop.Cancel(m_kickTask);
    m_holdTimer = 0;
    m_kickTask = 0;
}

void CLine::OnReady(std::uint32_t readiness) {
    if ((readiness & kReadable) == 0) {
        AfterClientCall();
        return;
    }
    Service();
}

void CLine::Service() {
    if (m_bLost || m_bClosed || IsHeld(EngineClock::now())) {
        return;
    }
    // A read that came back short took all the device had; what comes after it, the loop
    // reports. Not reading again until then sends the answer to those bytes one call sooner.
    bool drained = false;
    for (int reads = 0; reads <= kReadsPerTurn;) {
        while (m_inPos < m_in.size()) {
            const std::size_t run = m_client->TakeRun(std::span(m_in).subspan(m_inPos));
            if (run > 0) {
                m_inPos += run;
                continue;
            }
            const std::uint8_t byte = m_in[m_inPos++];
            m_client->OnByte(byte);
            if (m_bLost || m_bClosed) {
                return;
            }
            // Only a byte that asked for a pause can hold the line: no clock read for the others.
            if (std::exchange(m_bPauseAsked, false) && IsHeld(EngineClock::now())) {
                // The rest waits for the pause to end, as the window's next message would.
                AfterClientCall();
                return;
            }
        }
        if (reads == kReadsPerTurn || drained) {
            break;
        }
        m_in.resize(kReadChunk);
        const std::optional<std::size_t> count = m_device->Read(m_in.data(), m_in.size());
        ++reads;
        if (!count) {
            LoseIo(false);
            return;
        }
        m_in.resize(*count);
        m_inPos = 0;
        if (*count == 0) {
            break;
        }
        drained = *count < kReadChunk;
        m_lastInput = EngineClock::now();
    }
    AfterClientCall();
}

void CLine::Flush() {
    const bool held = IsHeld(EngineClock::now());
    for (;;) {
        if (!m_sending.empty()) {
            const std::optional<std::size_t> n =
                m_device->WriteSome(m_sending.data() + m_sent, m_sending.size() - m_sent);
            if (!n) {
                LoseIo(true);
                return;
            }
            m_sent += *n;
            if (m_sent < m_sending.size()) {
                return;
            }
            m_sending.clear();
            m_sent = 0;
        }
        if (held || !m_slot.Pending()) {
            break;
        }
        const std::span<const std::uint8_t> request = m_slot.Bytes();
        const std::optional<std::size_t> n = m_device->WriteSome(request.data(), request.size());
        if (!n) {
            LoseIo(true);
            return;
        }
        if (*n == 0) {
            return;  // not begun: a later request may still replace it
        }
        const bool whole = *n == request.size();
        m_slot.Begin(m_sending);
        if (whole) {
            m_sending.clear();
            continue;
        }
        m_sent = *n;
        return;
    }
    // A device that keeps bytes of its own passes them on when asked.
    if (m_device->HoldsOutput() && !m_device->WriteSome(nullptr, 0)) {
        LoseIo(true);
    }
}

void CLine::Lose(platform::PortStep step, const platform::SystemError& error) {
    if (m_bLost) {
        return;
    }
    m_bLost = true;
    m_loop.Remove(m_source);
    m_interest = 0;
    m_device->Close();
    m_loop.Cancel(m_holdTimer);
    m_holdTimer = 0;
    m_slot.Clear();
    m_sending.clear();
    m_in.clear();
    m_inPos = 0;
    m_client->OnLineLost(step, error);
}

void CLine::LoseIo(bool writing) {
    const platform::SystemError error = platform::LastSystemError();
    const platform::IoStep at = m_device->LastFailedIoStep();
    Lose(writing ? platform::WriteStep(at) : platform::ReadStep(at), error);
}

void CLine::UpdateInterest() {
    const bool held = IsHeld(EngineClock::now());
    std::uint32_t wanted = held ? 0U : kReadable;
    // A server that has told us to hold our data back says when to go on as input; a writable
    // socket would only wake us again and again meanwhile. What the device keeps goes out anyway.
    const bool dataWaits = !m_sending.empty() || (m_slot.Pending() && !held);
    if ((dataWaits && !m_device->OutputSuspended()) || m_device->HoldsOutput()) {
        wanted |= kWritable;
    }
    if (wanted == m_interest) {
        return;
    }
    // A line watched for nothing leaves the set: a hang-up is reported whatever it is asked for,
    // and a held line would be woken by it again and again.
    if (!m_loop.Change(m_source, wanted)) {
        Lose(platform::PortStep::Watch, {errno, std::system_category().message(errno)});
        return;
    }
    m_interest = wanted;
}

void CLine::AfterClientCall() {
    if (m_bLost || m_bClosed) {
        return;
    }
    Flush();
    if (m_bLost || m_bClosed) {
        return;
    }
    UpdateInterest();
    if (IsHeld(EngineClock::now()) && m_holdTimer == 0) {
        m_holdTimer = m_loop.At(m_holdUntil, [this] {
            m_holdTimer = 0;
            Service();
        });
    }
}

}  // namespace vandrelux::engine

#include "serial/ComPort.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "device/net/PortUrl.h"
#include "os/Format.h"
#include "os/ThreadPriority.h"

namespace vandrelux::serial {

namespace {

constexpr std::size_t kReadChunk = 4096;
constexpr auto kWaitRetry = std::chrono::milliseconds(10);
// A line that does not drain within this is not waited for any longer: the window must go on.
constexpr auto kOutputDrainLimit = std::chrono::seconds(2);

std::string ModeString(int baudRate, char parity, int dataBits, int stopBits) {
    char mode[50];
    std::snprintf(mode, sizeof mode, "baud=%d parity=%c data=%d stop=%d", baudRate, parity,
                  dataBits, stopBits);
    return mode;
}

}  // namespace

std::optional<platform::PortStep> ConfigureDevice(platform::SerialDevice& device, int baudRate,
                                                  char parity, int dataBits, int stopBits,
                                                  std::uint32_t eventMask,
                                                  platform::LineState& lineState) {
    using platform::PortStep;
    if (!device.SetTimeouts(kPortTimeoutMs, kPortTimeoutMs)) {
        return PortStep::SetTimeouts;
    }
    if (!device.SetEventMask(eventMask)) {
        return PortStep::SetEventMask;
    }
    if (!device.GetLineState(lineState)) {
        return PortStep::GetLineState;
    }
    lineState.rtsEnabled = true;
    if (!platform::BuildLineState(ModeString(baudRate, parity, dataBits, stopBits), lineState)) {
        return PortStep::BuildLineState;
    }
    if (!device.SetLineState(lineState)) {
        return PortStep::SetLineState;
    }
    return std::nullopt;
}

std::string CommErrorText(platform::PortStep step, const platform::SystemError& error,
                          int portNumber) {
    constexpr const char* kFormat =
        "WARNING:  %s Failed with the following error: \n%s\nPort: %d\n";
    return platform::Format(kFormat, platform::StepName(step), error.message.c_str(), portNumber);
}

CComPort::CComPort(IPortOwner& owner, Resolver resolve)
    : m_pOwnerWnd(&owner), m_resolve(std::move(resolve)) {}

CComPort::~CComPort() {
    StopMonitors();
}

void CComPort::StopMonitors() {
    if (m_pMonitor.joinable()) {
        m_pMonitor.request_stop();
    }
    m_hStopEvent.Set();
    // The delivery and the error box give up on a stop request, so joining never waits for
    // this (the window) thread.
    if (m_pMonitor.joinable()) {
        m_pMonitor.join();
    }
    for (std::jthread& halted : m_halted) {
        halted.join();
    }
    m_halted.clear();
    m_bMonitorRunning = false;
}

bool CComPort::OpenPort(IPortOwner* pOwner, int portNumber, int baudRate, char parity, int dataBits,
                        int stopBits, std::uint32_t eventMask, int writeBufferSize) {
    StopMonitors();
    m_hStopEvent.Reset();
    m_hSendEvent.Reset();

    if (pOwner != nullptr) {
        m_pOwnerWnd = pOwner;
    }
    {
        const std::lock_guard send(m_sendLock);
        m_sendSlot.Clear();
        m_sendSlot.SetCapacity(static_cast<std::size_t>(std::max(writeBufferSize, 0)));
    }
    m_nPortNumber = portNumber;
    m_dwEventMask = eventMask;
    m_bLineLost = false;
    m_bOpenCancelled = false;

    std::string device = m_resolve(portNumber);
    if (platform::IsNetworkPortName(device)) {
        return OpenNetworkPort(device, baudRate, parity, dataBits, stopBits, eventMask);
    }
    std::optional<platform::PortStep> failedStep;
    platform::SystemError error;
    {
        const std::lock_guard lock(m_lock);
        m_hPort.Close();
        m_strDevice = std::move(device);
        if (!m_hPort.Open(m_strDevice)) {
            m_handleState = HandleState::Failed;
            return false;
        }
        m_handleState = HandleState::Open;
        failedStep =
            ConfigureDevice(m_hPort, baudRate, parity, dataBits, stopBits, eventMask, m_lineState);
        if (failedStep) {
            error = platform::LastSystemError();
        }
        (void)m_hPort.Purge();
    }
    // The box is shown once the lock is free: a modal box keeps handling window events.
    if (failedStep) {
        ShowError(*failedStep, error, {});
    }
    return true;
}

bool CComPort::OpenNetworkPort(const std::string& device, int baudRate, char parity, int dataBits,
                               int stopBits, std::uint32_t eventMask) {
    {
        const std::lock_guard lock(m_lock);
        m_hPort.Close();
        m_strDevice = device;
        m_handleState = HandleState::Failed;
    }
    // Filled by the connecting thread, read here only once it is joined.
    struct Connection {
        platform::SerialDevice device;
        platform::LineState lineState;
        bool opened = false;
        std::optional<platform::PortStep> failedStep;
        platform::SystemError error;
    } connection;
    std::promise<void> done;
    const std::shared_future<void> connected = done.get_future().share();
    m_hCancelEvent.Reset();
    bool waited = true;
    {
        const std::jthread connecting([&] {
            connection.device.SetCancel(&m_hCancelEvent);
            connection.opened = connection.device.Open(device);
            if (!connection.opened) {
                connection.error = platform::LastSystemError();
            } else {
                connection.failedStep =
                    ConfigureDevice(connection.device, baudRate, parity, dataBits, stopBits,
                                    eventMask, connection.lineState);
                if (connection.failedStep) {
                    connection.error = platform::LastSystemError();
                }
                (void)connection.device.Purge();
            }
            connection.device.SetCancel(nullptr);
            done.set_value();
        });
        waited = m_pOwnerWnd->AwaitConnection(device, connected);
        if (!waited) {
            m_hCancelEvent.Set();
        }
    }
    if (!waited) {
        m_bOpenCancelled = true;
        return false;
    }
    if (!connection.opened) {
        // The caller asks this thread why, as after the open of a local device.
        platform::SetLastSystemError(connection.error);
        return false;
    }
    {
        const std::lock_guard lock(m_lock);
        m_hPort.Swap(connection.device);
        m_lineState = connection.lineState;
        m_handleState = HandleState::Open;
    }
    if (connection.failedStep) {
        ShowError(*connection.failedStep, connection.error, {});
    }
    return true;
}

bool CComPort::StartMonitor() {
    // A halted monitor may still be leaving; it must be gone before the stop event is reused.
    StopMonitors();
    m_hStopEvent.Reset();
    {
        // Done here rather than on the new thread, so nothing that arrives after this call is
        // thrown away by a thread that started late.
        const std::lock_guard lock(m_lock);
        if (m_handleState == HandleState::Open) {
            (void)m_hPort.Purge();
        }
    }
    m_bMonitorRunning = true;
    m_pMonitor = std::jthread([this](std::stop_token stop) { MonitorThreadProc(stop); });
    return true;
}

bool CComPort::HaltMonitor() {
    if (m_bMonitorRunning) {
        m_pMonitor.request_stop();
        m_hStopEvent.Set();
        m_halted.push_back(std::move(m_pMonitor));
        m_bMonitorRunning = false;
    }
    return true;
}

void CComPort::MonitorThreadProc(std::stop_token stop) {
    // Ready for the next byte the moment the window thread is free; a system that refuses leaves
    // the monitor an ordinary thread, which only costs line efficiency under load.
    static_cast<void>(platform::RaiseThreadPriority());
    bool watchPort = true;
    while (!stop.stop_requested()) {
        const platform::WaitResult woke =
            m_hPort.Wait(m_hStopEvent, m_hSendEvent, watchPort && !m_bLineLost);
        if (woke == platform::WaitResult::Stop || stop.stop_requested()) {
            return;
        }
        if (woke == platform::WaitResult::Failed) {
            ReportLineError(platform::PortStep::Wait, platform::LastSystemError(), stop);
            watchPort = false;
            std::this_thread::sleep_for(kWaitRetry);  // a wait that keeps failing must not spin
            continue;
        }
        if (woke == platform::WaitResult::WriteRequest) {
            PerformWrite(stop);
        }
        const std::pair<std::uint32_t, unsigned> notifications[] = {{EV_CTS, WM_PORT_CTS},
                                                                    {EV_RXFLAG, WM_PORT_RXFLAG},
                                                                    {EV_BREAK, WM_PORT_BREAK},
                                                                    {EV_ERR, WM_PORT_ERR},
                                                                    {EV_RING, WM_PORT_RING}};
        for (const auto& [event, message] : notifications) {
            if ((m_dwEventMask & event) != 0) {
                m_pOwnerWnd->SendNotification(message, m_nPortNumber, stop);
            }
        }
        if ((m_dwEventMask & EV_RXCHAR) != 0 && !DrainInput(stop)) {
            watchPort = false;
        }
    }
}

bool CComPort::DrainInput(std::stop_token stop) {
    std::array<std::uint8_t, kReadChunk> bytes{};
    while (!stop.stop_requested()) {
        std::optional<std::size_t> count;
        platform::SystemError error;
        platform::IoStep failedStep = platform::IoStep::Call;
        {
            const std::lock_guard lock(m_lock);
            if (m_handleState != HandleState::Open) {
                return true;
            }
            count = m_hPort.Read(bytes.data(), bytes.size());
            if (!count) {
                error = platform::LastSystemError();
                failedStep = m_hPort.LastFailedIoStep();
            }
        }
        if (!count) {
            // The line is gone (or failed): say so once and stop reading from it.
            ReportLineError(platform::ReadStep(failedStep), error, stop);
            return false;
        }
        if (*count == 0) {
            return true;
        }
        m_pOwnerWnd->SendRxChars(std::span(bytes.data(), *count), m_nPortNumber, stop);
    }
    return true;
}

void CComPort::PerformWrite(std::stop_token stop) {
    std::vector<std::uint8_t> piece;
    {
        const std::lock_guard send(m_sendLock);
        m_hSendEvent.Reset();
        m_sendSlot.Begin(piece);
        m_bWriting = !piece.empty();
    }
    if (piece.empty()) {
        return;
    }
    bool written = true;
    platform::SystemError error;
    platform::IoStep failedStep = platform::IoStep::Call;
    {
        const std::lock_guard lock(m_lock);
        if (m_handleState == HandleState::Open) {
            // Only what waits to be sent is dropped: bytes the box sent meanwhile are kept.
            (void)m_hPort.PurgeOutput();
            written = m_hPort.Write(piece.data(), piece.size(), &m_hStopEvent);
            if (!written) {
                error = platform::LastSystemError();
                failedStep = m_hPort.LastFailedIoStep();
            }
        }
    }
    {
        const std::lock_guard send(m_sendLock);
        m_bWriting = false;
    }
    if (!written && !stop.stop_requested()) {
        ReportLineError(platform::WriteStep(failedStep), error, stop);
    }
}

void CComPort::EnsureSendBuffer(std::uint32_t size) {
    const std::lock_guard send(m_sendLock);
    m_sendSlot.SetCapacity(size);
}

void CComPort::RequestWrite(const std::uint8_t* data, std::uint32_t length) {
    if (m_handleState == HandleState::Never) {
        m_pOwnerWnd->ShowMessage("error strange");
        return;
    }
    if (m_handleState == HandleState::Failed || m_bLineLost) {
        return;
    }
    // Wait for the previous write to leave the driver, but never on counts that the system did
    // not fill, and never longer than a write may take.
    const auto deadline = std::chrono::steady_clock::now() + kOutputDrainLimit;
    while (OutputQueued() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    {
        const std::lock_guard send(m_sendLock);
        static_cast<void>(m_sendSlot.Request({data, length}));
    }
    m_hSendEvent.Set();
}

bool IPortOwner::AwaitConnection(std::string_view /*device*/,
                                 const std::shared_future<void>& connected) {
    connected.wait();
    return true;
}

void CComPort::ReportLineError(platform::PortStep step, const platform::SystemError& error,
                               std::stop_token stop) {
    // A vanished device fails every later call too: one box, not a storm of them.
    if (!m_bLineLost.exchange(true)) {
        ShowError(step, error, stop);
    }
}

void CComPort::ShowError(platform::PortStep step, const platform::SystemError& error,
                         std::stop_token stop) {
    m_pOwnerWnd->ShowErrorBox(kCommErrorTitle, CommErrorText(step, error, m_nPortNumber), stop);
}

platform::LineState CComPort::GetLineState() const {
    const std::lock_guard lock(m_lock);
    return m_lineState;
}

int CComPort::GetWriteCapacity() const {
    const std::lock_guard send(m_sendLock);
    return static_cast<int>(m_sendSlot.Capacity());
}

bool CComPort::OutputQueued() {
    const std::lock_guard lock(m_lock);
    platform::QueueStatus status;
    return m_handleState == HandleState::Open && m_hPort.GetStatus(status) && status.outQueue > 0;
}

bool CComPort::WritesPending() {
    if (!m_bMonitorRunning) {
        return false;  // nothing will write what is left in the slot
    }
    {
        const std::lock_guard send(m_sendLock);
        if (m_sendSlot.Pending() || m_bWriting) {
            return !m_bLineLost;
        }
    }
    return !m_bLineLost && OutputQueued();
}

std::string CComPort::DevicePath() const {
    const std::lock_guard lock(m_lock);
    return m_strDevice;
}

}  // namespace vandrelux::serial

// One serial port for the main window, with its monitor thread.
//
// Threading contract:
// - OpenPort, StartMonitor, HaltMonitor, RequestWrite, EnsureSendBuffer, the accessors and the
//   destructor run on the window thread.
// - The monitor thread waits on the stop event, port input and the write request. It reads
//   every queued byte and hands the run to the owner, which handles the bytes one at a time on
//   the window thread while the monitor waits; only then does it perform a pending write.
// - m_lock serialises open, close, configure and purge with the monitor's reads and writes.
//   m_sendLock guards only the request slot, so a request never waits for a write in progress
//   and a write never reads a slot being refilled: the monitor takes the slot's bytes out under
//   the lock and writes its own copy.
// - Stopping (OpenPort, the destructor) requests a stop and joins the thread. The owner's
//   delivery and error box wake on that request, so a stop never waits for the window thread.
//   HaltMonitor only requests the stop: the thread reads nothing more and ends by itself.
// - A port behind a network server is connected to and configured on a thread of OpenPort's own,
//   on a device of that thread's own, while the owner keeps the window going; the thread is
//   bounded by the network time-out, ends early when the operator calls the wait off, and is
//   joined before OpenPort takes the device over under m_lock. Meanwhile writes are dropped, as
//   on a port that did not open.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "device/PortStep.h"
#include "device/SerialDevice.h"
#include "device/WriteSlot.h"
#include "protocol/PortWriter.h"

namespace vandrelux::serial {

// Comm events a port can be opened with.
inline constexpr std::uint32_t EV_RXCHAR = 0x0001;
inline constexpr std::uint32_t EV_RXFLAG = 0x0002;
inline constexpr std::uint32_t EV_CTS = 0x0008;
inline constexpr std::uint32_t EV_BREAK = 0x0040;
inline constexpr std::uint32_t EV_ERR = 0x0080;
inline constexpr std::uint32_t EV_RING = 0x0100;

// Messages the monitor sends to its owner.
inline constexpr unsigned WM_USER = 0x0400;
inline constexpr unsigned WM_PORT_BREAK = WM_USER + 1;
inline constexpr unsigned WM_PORT_CTS = WM_USER + 2;
inline constexpr unsigned WM_PORT_ERR = WM_USER + 4;
inline constexpr unsigned WM_PORT_RING = WM_USER + 5;
inline constexpr unsigned WM_PORT_RXCHAR = WM_USER + 7;
inline constexpr unsigned WM_PORT_RXFLAG = WM_USER + 8;

inline constexpr std::uint32_t kPortTimeoutMs = 1000;

// The steps of an open after the device itself: time-outs, event mask and the line settings,
// read back into `lineState`. The step that failed, its error left as the thread's last error;
// nothing when all went through.
[[nodiscard]] std::optional<platform::PortStep> ConfigureDevice(platform::SerialDevice& device,
                                                                int baudRate, char parity,
                                                                int dataBits, int stopBits,
                                                                std::uint32_t eventMask,
                                                                platform::LineState& lineState);

// The text of the error box for a failed step of the port.
[[nodiscard]] std::string CommErrorText(platform::PortStep step, const platform::SystemError& error,
                                        int portNumber);

// The title of that box.
inline constexpr const char* kCommErrorTitle = "Application Error";

// What the port needs of the window that owns it.
class IPortOwner {
public:
    virtual ~IPortOwner() = default;

    // Monitor thread: hands received bytes, in order, to the window thread, which handles them
    // one at a time (each as WM_PORT_RXCHAR); returns when all were handled, or as soon as
    // `stop` is requested before the window thread took them up.
    virtual void SendRxChars(std::span<const std::uint8_t> bytes, int portNumber,
                             std::stop_token stop) = 0;
    // Monitor thread: one of the other notifications, handled on the window thread.
    virtual void SendNotification(unsigned message, int portNumber, std::stop_token stop) = 0;
    // Any thread: the owner-less error box. Returns once it was dismissed, or when `stop` is
    // requested first.
    virtual void ShowErrorBox(std::string_view title, std::string_view text,
                              std::stop_token stop) = 0;
    // Window thread: a message box with an OK button.
    virtual void ShowMessage(std::string_view text) = 0;
    // Window thread: keeps the window going while `device`, a network port, is connected to on
    // another thread, until `connected` is ready; false when the operator called the wait off
    // first. Owners without a window just wait.
    [[nodiscard]] virtual bool AwaitConnection(std::string_view device,
                                               const std::shared_future<void>& connected);
};

class CComPort final : public protocol::IPortWriter {
public:
    // Maps a port number to the device it names.
    using Resolver = std::function<std::string(int portNumber)>;

    explicit CComPort(IPortOwner& owner, Resolver resolve);
    ~CComPort() override;
    CComPort(const CComPort&) = delete;
    CComPort& operator=(const CComPort&) = delete;

    // False only when the device cannot be opened, or the operator called off the connection to
    // a network port; a failed configuration step is reported and the port stays open.
    bool OpenPort(IPortOwner* pOwner, int portNumber, int baudRate, char parity, int dataBits,
                  int stopBits, std::uint32_t eventMask, int writeBufferSize);
    bool StartMonitor();
    bool HaltMonitor();

    void EnsureSendBuffer(std::uint32_t size) override;
    void RequestWrite(const std::uint8_t* data, std::uint32_t length) override;

    [[nodiscard]] platform::LineState GetLineState() const;
    [[nodiscard]] std::uint32_t GetEventMask() const { return m_dwEventMask; }
    [[nodiscard]] int GetWriteCapacity() const;
    [[nodiscard]] bool IsMonitorRunning() const noexcept { return m_bMonitorRunning; }
    // The device failed while open (it vanished, or reads and writes fail): the monitor no longer
    // watches it, and only a new OpenPort brings the line back.
    [[nodiscard]] bool IsLineLost() const noexcept { return m_bLineLost; }
    [[nodiscard]] int PortNumber() const noexcept { return m_nPortNumber; }
    // The last OpenPort failed because the operator called it off: nothing to report.
    [[nodiscard]] bool OpenCancelled() const noexcept { return m_bOpenCancelled; }
    // A requested write has not yet left the driver.
    [[nodiscard]] bool WritesPending();
    // The device the last open used, for showing to the operator.
    [[nodiscard]] std::string DevicePath() const;

private:
    enum class HandleState { Never, Open, Failed };

    // OpenPort's device steps for a port behind a network server, off the window thread.
    [[nodiscard]] bool OpenNetworkPort(const std::string& device, int baudRate, char parity,
                                       int dataBits, int stopBits, std::uint32_t eventMask);
    void MonitorThreadProc(std::stop_token stop);
    [[nodiscard]] bool DrainInput(std::stop_token stop);
    void PerformWrite(std::stop_token stop);
    void StopMonitors();
    // Written bytes wait in the driver; the status is read under the port lock, as the device
    // asks of its users.
    [[nodiscard]] bool OutputQueued();
    void ReportLineError(platform::PortStep step, const platform::SystemError& error,
                         std::stop_token stop);
    void ShowError(platform::PortStep step, const platform::SystemError& error,
                   std::stop_token stop);

    IPortOwner* m_pOwnerWnd;
    Resolver m_resolve;

    std::jthread m_pMonitor;
    std::vector<std::jthread> m_halted;  // halted monitors on their way out
    mutable std::mutex m_lock;
    platform::Event m_hStopEvent;
    platform::SerialDevice m_hPort;
    HandleState m_handleState = HandleState::Never;
    platform::Event m_hSendEvent;
    int m_nPortNumber = 0;
    std::uint32_t m_dwEventMask = 0;
    platform::LineState m_lineState;
    std::atomic<bool> m_bMonitorRunning{false};

    mutable std::mutex m_sendLock;  // guards m_sendSlot and m_bWriting
    platform::CWriteSlot m_sendSlot;
    bool m_bWriting = false;
    std::string m_strDevice;
    std::atomic<bool> m_bLineLost{false};  // the device failed; report it once
    platform::Event m_hCancelEvent;        // calls off a connection being made
    bool m_bOpenCancelled = false;
};

}  // namespace vandrelux::serial

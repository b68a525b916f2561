// A serial device as the port object uses it: exclusive open, line settings from a mode string,
// queue counts, purge, and a wait on the port and two events. The name chooses the device: a
// local serial port of this OS (posix/, win32/SerialDevice.cpp), or a port behind a network
// server, rfc2217://HOST:PORT or tcp://HOST:PORT (NetworkDevice). A call that fails returns
// false (or nothing) and leaves the reason in the calling thread's last error, which
// LastSystemError reads.
//
// Threading: a SerialDevice is used by the window thread and one monitor thread; the port
// object serialises open, close, configure, status, read and write with its own lock. Wait and
// the events need no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "device/LineState.h"
#include "os/Event.h"
#include "os/SystemError.h"

namespace vandrelux::platform {

// Fills `state` from a mode string; fields the string does not name keep their value. False,
// with `state` untouched and an "invalid argument" last error, for a string it cannot read.
[[nodiscard]] bool BuildLineState(std::string_view mode, LineState& state);

struct QueueStatus {
    std::uint32_t inQueue = 0;   // bytes received and not yet read
    std::uint32_t outQueue = 0;  // bytes written and not yet sent
};

enum class WaitResult { Stop = 0, PortActivity = 1, WriteRequest = 2, Failed = 3 };

// Where a failed Read or Write stopped: at the call itself, or at the wait for its completion,
// which only devices whose transfers complete later (overlapped I/O) have.
enum class IoStep { Call, CompletionWait };

class DeviceBackend;

class SerialDevice {
public:
    SerialDevice();
    ~SerialDevice();
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    // Opens the device for reading and writing, exclusively: a device that another program (or
    // another SerialDevice) holds fails to open. Closes whatever this object had open first.
    [[nodiscard]] bool Open(const std::string& name);
    // From now on, a port behind a network server stops waiting for the server once `cancel` is
    // set: the open or the configuration step fails (ECANCELED). Null for none; `cancel` must
    // outlive the calls made before the next SetCancel.
    void SetCancel(const Event* cancel) noexcept;
    // Exchanges what the two objects hold, open devices included.
    void Swap(SerialDevice& other) noexcept;
    // Restores the line settings found at open and closes the device.
    void Close() noexcept;
    [[nodiscard]] bool IsOpen() const noexcept;

    // A write of n bytes may take up to perByteMs * n + constantMs.
    [[nodiscard]] bool SetTimeouts(std::uint32_t perByteMs, std::uint32_t constantMs);
    [[nodiscard]] bool SetEventMask(std::uint32_t mask);
    [[nodiscard]] bool GetLineState(LineState& state);
    // Applies raw 8-bit settings of `state`; an unsupported speed or format fails.
    [[nodiscard]] bool SetLineState(const LineState& state);
    // Discards both queues.
    [[nodiscard]] bool Purge();
    // Discards what is waiting to be sent.
    [[nodiscard]] bool PurgeOutput();
    [[nodiscard]] bool GetStatus(QueueStatus& status);
    // Reads up to `size` queued bytes without waiting; the count read, or nothing on failure.
    [[nodiscard]] std::optional<std::size_t> Read(std::uint8_t* data, std::size_t size);
    // Writes all bytes, waiting at most as long as the time-outs allow; false on failure,
    // time-out, or (ECANCELED) once `stop` is set.
    [[nodiscard]] bool Write(const std::uint8_t* data, std::size_t size,
                             const Event* stop = nullptr);
    // Writes what the device takes now, for a loop that must not wait on one line: the count
    // taken (0 when it takes nothing now), or nothing on failure. A device may keep some of what
    // it took and pass it on at a later call; HoldsOutput says so, and a call with nothing to
    // write passes it on.
    [[nodiscard]] std::optional<std::size_t> WriteSome(const std::uint8_t* data, std::size_t size);
    [[nodiscard]] bool HoldsOutput() const noexcept;
    // A network server has told us to hold our data back (its flow control): WriteSome takes
    // nothing until the server lets us go on, which it says as input.
    [[nodiscard]] bool OutputSuspended() const noexcept;
    // The step at which this object's last failed Read or Write stopped.
    [[nodiscard]] IoStep LastFailedIoStep() const noexcept;

    // Waits without time-out until `stop` is set, the port has input (or has hung up), or
    // `writeRequest` is set; the lowest of those wins. With watchPort false, only the events
    // count.
    [[nodiscard]] WaitResult Wait(const Event& stop, const Event& writeRequest, bool watchPort);

    // What becomes readable when input arrives, for a loop that watches many devices: the
    // descriptor on POSIX; on Windows an event that ArmWait sets up to be signalled when input
    // arrives or output the device held has gone; -1 when closed. Input the device already
    // holds shows in GetStatus, not on the descriptor.
    [[nodiscard]] std::intptr_t WaitHandle() const noexcept;
    // Before every wait on WaitHandle, for what the loop waits for: input, room for output, or
    // both. Sets the wait up where the system needs it anew each time (Windows); what the loop
    // does not wait for raises no event.
    void ArmWait(bool forInput, bool forOutput);

private:
    std::unique_ptr<DeviceBackend> m_device;
    bool m_network = false;
    const Event* m_cancel = nullptr;
};

}  // namespace vandrelux::platform

// What SerialDevice asks of each kind of device it can hold: a local serial port of this OS, or
// a port behind a network server. The calls mean what SerialDevice's calls mean.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "device/SerialDevice.h"

namespace vandrelux::platform {

class DeviceBackend {
public:
    DeviceBackend() = default;
    virtual ~DeviceBackend() = default;
    DeviceBackend(const DeviceBackend&) = delete;
    DeviceBackend& operator=(const DeviceBackend&) = delete;

    [[nodiscard]] virtual bool Open(const std::string& name) = 0;
    virtual void Close() noexcept = 0;
    [[nodiscard]] virtual bool IsOpen() const noexcept = 0;
    [[nodiscard]] virtual bool SetTimeouts(std::uint32_t perByteMs, std::uint32_t constantMs) = 0;
    [[nodiscard]] virtual bool SetEventMask(std::uint32_t mask) = 0;
    [[nodiscard]] virtual bool GetLineState(LineState& state) = 0;
    [[nodiscard]] virtual bool SetLineState(const LineState& state) = 0;
    [[nodiscard]] virtual bool Purge() = 0;
    [[nodiscard]] virtual bool PurgeOutput() = 0;
    [[nodiscard]] virtual bool GetStatus(QueueStatus& status) = 0;
    [[nodiscard]] virtual std::optional<std::size_t> Read(std::uint8_t* data, std::size_t size) = 0;
    [[nodiscard]] virtual bool Write(const std::uint8_t* data, std::size_t size,
                                     const Event* stop) = 0;
    [[nodiscard]] virtual std::optional<std::size_t> WriteSome(const std::uint8_t* data,
                                                               std::size_t size) = 0;
    // Only a device that keeps bytes of its own between calls holds any.
    [[nodiscard]] virtual bool HoldsOutput() const noexcept { return false; }
    // The far end has told us to hold our data back; only a network server does.
    [[nodiscard]] virtual bool OutputSuspended() const noexcept { return false; }
    [[nodiscard]] virtual WaitResult Wait(const Event& stop, const Event& writeRequest,
                                          bool watchPort) = 0;
    [[nodiscard]] virtual std::intptr_t WaitHandle() const noexcept = 0;
    // Where the system watches the handle by itself there is nothing to set up before a wait.
    virtual void ArmWait(bool /*forInput*/, bool /*forOutput*/) {}
    // Most devices finish a read or write inside the call.
    [[nodiscard]] virtual IoStep LastFailedIoStep() const noexcept { return IoStep::Call; }
    // Only a device that waits for a server has waits to call off.
    virtual void SetCancel(const Event* /*cancel*/) noexcept {}
};

// The serial port of this OS: a terminal device on POSIX, a comm port on Windows.
class LocalSerialDevice final : public DeviceBackend {
public:
    LocalSerialDevice();
    ~LocalSerialDevice() override;

    bool Open(const std::string& path) override;
    void Close() noexcept override;
    bool IsOpen() const noexcept override;
    bool SetTimeouts(std::uint32_t perByteMs, std::uint32_t constantMs) override;
    bool SetEventMask(std::uint32_t mask) override;
    bool GetLineState(LineState& state) override;
    bool SetLineState(const LineState& state) override;
    bool Purge() override;
    bool PurgeOutput() override;
    bool GetStatus(QueueStatus& status) override;
    std::optional<std::size_t> Read(std::uint8_t* data, std::size_t size) override;
    bool Write(const std::uint8_t* data, std::size_t size, const Event* stop) override;
    std::optional<std::size_t> WriteSome(const std::uint8_t* data, std::size_t size) override;
    WaitResult Wait(const Event& stop, const Event& writeRequest, bool watchPort) override;
    std::intptr_t WaitHandle() const noexcept override;
    void ArmWait(bool forInput, bool forOutput) override;
    IoStep LastFailedIoStep() const noexcept override;
    bool HoldsOutput() const noexcept override;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace vandrelux::platform

#include "device/SerialDevice.h"

#include <utility>

#include "device/DeviceBackend.h"
#include "device/net/NetworkDevice.h"
#include "device/net/PortUrl.h"
#include "os/ErrorDetail.h"

namespace vandrelux::platform {

// Each call below starts without the words of an earlier failure, so they never describe another.

SerialDevice::SerialDevice() : m_device(std::make_unique<LocalSerialDevice>()) {}

SerialDevice::~SerialDevice() = default;

bool SerialDevice::Open(const std::string& name) {
    ClearErrorDetail();
    m_device->Close();
    const bool network = IsNetworkPortName(name);
    if (network != m_network) {
        m_device = network ? std::unique_ptr<DeviceBackend>(std::make_unique<NetworkDevice>())
                           : std::make_unique<LocalSerialDevice>();
        m_device->SetCancel(m_cancel);
        m_network = network;
    }
    return m_device->Open(name);
}

void SerialDevice::SetCancel(const Event* cancel) noexcept {
    m_cancel = cancel;
    m_device->SetCancel(cancel);
}

void SerialDevice::Swap(SerialDevice& other) noexcept {
    std::swap(m_device, other.m_device);
    std::swap(m_network, other.m_network);
    std::swap(m_cancel, other.m_cancel);
}

void SerialDevice::Close() noexcept {
    m_device->Close();
}

bool SerialDevice::IsOpen() const noexcept {
    return m_device->IsOpen();
}

bool SerialDevice::SetTimeouts(std::uint32_t perByteMs, std::uint32_t constantMs) {
    ClearErrorDetail();
    return m_device->SetTimeouts(perByteMs, constantMs);
}

bool SerialDevice::SetEventMask(std::uint32_t mask) {
    ClearErrorDetail();
    return m_device->SetEventMask(mask);
}

bool SerialDevice::GetLineState(LineState& state) {
    ClearErrorDetail();
    return m_device->GetLineState(state);
}

bool SerialDevice::SetLineState(const LineState& state) {
    ClearErrorDetail();
    return m_device->SetLineState(state);
}

bool SerialDevice::Purge() {
    ClearErrorDetail();
    return m_device->Purge();
}

bool SerialDevice::PurgeOutput() {
    ClearErrorDetail();
    return m_device->PurgeOutput();
}

bool SerialDevice::GetStatus(QueueStatus& status) {
    ClearErrorDetail();
    return m_device->GetStatus(status);
}

std::optional<std::size_t> SerialDevice::Read(std::uint8_t* data, std::size_t size) {
    ClearErrorDetail();
    return m_device->Read(data, size);
}

bool SerialDevice::Write(const std::uint8_t* data, std::size_t size, const Event* stop) {
    ClearErrorDetail();
    return m_device->Write(data, size, stop);
}

std::optional<std::size_t> SerialDevice::WriteSome(const std::uint8_t* data, std::size_t size) {
    ClearErrorDetail();
    return m_device->WriteSome(data, size);
}

bool SerialDevice::HoldsOutput() const noexcept {
    return m_device->HoldsOutput();
}

bool SerialDevice::OutputSuspended() const noexcept {
    return m_device->OutputSuspended();
}

WaitResult SerialDevice::Wait(const Event& stop, const Event& writeRequest, bool watchPort) {
    ClearErrorDetail();
    return m_device->Wait(stop, writeRequest, watchPort);
}

IoStep SerialDevice::LastFailedIoStep() const noexcept {
    return m_device->LastFailedIoStep();
}

std::intptr_t SerialDevice::WaitHandle() const noexcept {
    return m_device->WaitHandle();
}

void SerialDevice::ArmWait(bool forInput, bool forOutput) {
    m_device->ArmWait(forInput, forOutput);
}

}  // namespace vandrelux::platform

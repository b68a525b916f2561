#include "station/PortDriver.h"

#include <system_error>

#include "device/net/PortUrl.h"

namespace vandrelux::station {

std::string PortFailure(const std::string& device, platform::PortStep step,
                        const platform::SystemError& error, int baudRate) {
    using platform::PortStep;
    const std::string why = ": " + error.message;
    switch (step) {
        case PortStep::Open:
            return "cannot open it" + why;
        case PortStep::BuildLineState:
        case PortStep::SetLineState:
            // A network server's refusal says in its own words what it would not take.
            if (!platform::IsNetworkPortName(device) &&
                std::error_code(error.code, std::system_category()) ==
                    std::errc::invalid_argument) {
                return std::to_string(baudRate) + " baud is not a speed this device takes";
            }
            return "cannot configure the line for " + std::to_string(baudRate) + " 8N1" + why;
        case PortStep::SetTimeouts:
        case PortStep::SetEventMask:
        case PortStep::GetLineState:
            return "cannot configure the line" + why;
        case PortStep::Purge:
            return "cannot clear the line's queues" + why;
        case PortStep::Wait:
        case PortStep::Watch:
            return "line lost: cannot wait for its input" + why;
        case PortStep::Read:
        case PortStep::ReadCompletion:
            return "line lost: read failed" + why;
        case PortStep::Write:
        case PortStep::WriteCompletion:
            return "line lost: write failed" + why;
    }
    return "failed" + why;
}

void CLineWriter::EnsureSendBuffer(std::uint32_t size) {
    if (m_line != nullptr) {
        m_line->EnsureSendBuffer(size);
    }
}

void CLineWriter::RequestWrite(const std::uint8_t* data, std::uint32_t length) {
    if (m_line != nullptr && data != nullptr) {
        m_line->RequestWrite({data, length});
    }
}

CPortDriver::CPortDriver(engine::CEngine& engine, const UnitSettings& settings, std::string device,
                         IPortEvents& events, store::CSharedUpdateFiles& files)
    : m_engine(engine),
      m_settings(settings),
      m_device(std::move(device)),
      m_events(events),
      m_unit(settings, events, *this, m_writer, files) {}

CPortDriver::~CPortDriver() {
    CloseLine();
}

void CPortDriver::OnTick() {
    if (m_bTicking) {
        m_unit.OnTimer(kHandshakeTimer);
    }
}

void CPortDriver::StartTimer(unsigned timerId, unsigned /*periodMs*/) {
    m_bTicking = m_bTicking || timerId == kHandshakeTimer;
}

void CPortDriver::StopTimer(unsigned timerId) {
    m_bTicking = m_bTicking && timerId != kHandshakeTimer;
}

void CPortDriver::Sleep(std::uint32_t ms) {
    if (m_line != nullptr) {
        m_line->Pause(ms);
    }
}

void CPortDriver::OpenLine() {
    // Only the latest open counts: a device that went and came back while one was under way
    // may be a new device behind the same name.
    const std::uint64_t generation = ++m_openGeneration;
    m_engine.Open(m_device, m_settings.baudRate, [this, generation](engine::OpenResult opened) {
        if (generation == m_openGeneration) {
            Opened(std::move(opened));
        }
    });
}

bool CPortDriver::AttachLine(std::unique_ptr<platform::SerialDevice> device) {
    m_line = m_engine.Attach(std::move(device), *this);
    if (m_line == nullptr) {
        return false;
    }
    m_writer.m_line = m_line;
    m_events.Emit("port_opened", {{"device", m_device}, {"baud", m_settings.baudRate}});
    return true;
}

void CPortDriver::CloseLine() {
    m_writer.m_line = nullptr;
    if (m_line != nullptr) {
        m_engine.Close(m_line);
        m_line = nullptr;
    }
}

std::string CPortDriver::OpenFailure(const engine::OpenResult& opened) const {
    return opened.failedStep == platform::PortStep::Open
               ? "cannot open " + m_device + ": " + opened.error.message
               : LineFailure(opened.failedStep, opened.error);
}

std::string CPortDriver::LineFailure(platform::PortStep step,
                                     const platform::SystemError& error) const {
    return m_device + ": " + PortFailure(m_device, step, error, m_settings.baudRate);
}

}  // namespace vandrelux::station

// A port the engine drives, with its unit: what an ordinary run's port and a station's slot do
// alike. It opens the device on the engine (the latest open only counts), takes it as its line,
// hands the line's bytes and the beacon's ticks to the unit, and holds the line for the unit's
// pauses. What to do when the open is done, with each byte and when the line is lost is the
// derived class's.
//
// Threading: the engine's thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "device/PortStep.h"
#include "engine/Engine.h"
#include "protocol/PortWriter.h"
#include "station/Events.h"
#include "station/PortUnit.h"
#include "station/Settings.h"
#include "store/UpdateFiles.h"

namespace vandrelux::station {

// What failed at `step` of `device` and why, in words: "line lost: read failed: Input/output
// error", "1234 baud is not a speed this device takes". The caller puts the port in front.
[[nodiscard]] std::string PortFailure(const std::string& device, platform::PortStep step,
                                      const platform::SystemError& error, int baudRate);

// The transfer's port, which outlives the lines: the writes go to the line while there is one.
class CLineWriter final : public protocol::IPortWriter {
public:
    void EnsureSendBuffer(std::uint32_t size) override;
    void RequestWrite(const std::uint8_t* data, std::uint32_t length) override;
    engine::CLine* m_line = nullptr;
};

class CPortDriver : public engine::ILineClient, public ITimerHost {
public:
    CPortDriver(const CPortDriver&) = delete;
    CPortDriver& operator=(const CPortDriver&) = delete;
    ~CPortDriver() override;

    std::size_t TakeRun(std::span<const std::uint8_t> bytes) override {
        return m_unit.TakeRun(bytes);
    }
    void OnTick() override;
    void StartTimer(unsigned timerId, unsigned periodMs) override;
    void StopTimer(unsigned timerId) override;
    void Sleep(std::uint32_t ms) override;

protected:
    // `files` is shared by the run's ports and outlives them.
    CPortDriver(engine::CEngine& engine, const UnitSettings& settings, std::string device,
                IPortEvents& events, store::CSharedUpdateFiles& files);

    // Opens the device on the engine; Opened hears how it went.
    void OpenLine();
    virtual void Opened(engine::OpenResult opened) = 0;
    // The opened device becomes the port's line (port_opened); false when the engine refused it.
    [[nodiscard]] bool AttachLine(std::unique_ptr<platform::SerialDevice> device);
    void CloseLine();
    // Why an open failed, in one line: "cannot open DEVICE: why", or what failed after it.
    [[nodiscard]] std::string OpenFailure(const engine::OpenResult& opened) const;
    // What failed on the line and why, for the port's device.
    [[nodiscard]] std::string LineFailure(platform::PortStep step,
                                          const platform::SystemError& error) const;

    engine::CEngine& m_engine;
    const UnitSettings& m_settings;
    std::string m_device;
    IPortEvents& m_events;
    CLineWriter m_writer;
    CPortUnit m_unit;
    engine::CLine* m_line = nullptr;
    bool m_bTicking = false;

private:
    std::uint64_t m_openGeneration = 0;  // which open of the port is the latest
};

}  // namespace vandrelux::station

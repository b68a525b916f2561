// The transfer's host in a unit without a window: the files, the RAM option and the receive
// target come from the unit's settings; pauses belong to whatever drives the port; message
// boxes become lines for the operator; the file dialog is always cancelled, as nobody is there
// to answer it; progress is the watch's to show.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "protocol/TransferHost.h"
#include "station/Settings.h"

namespace vandrelux::station {

// What drives a transfer: its handshake timer and its pauses.
class ITimerHost {
public:
    virtual ~ITimerHost() = default;
    virtual void StartTimer(unsigned timerId, unsigned periodMs) = 0;
    virtual void StopTimer(unsigned timerId) = 0;
    virtual void Sleep(std::uint32_t ms) = 0;
};

class CUnitHost final : public protocol::ITransferHost {
public:
    // `say` shows one line to the operator.
    CUnitHost(const UnitSettings& settings, ITimerHost& timers,
              std::function<void(std::string_view)> say);

    [[nodiscard]] bool IsChosen(protocol::UpdateKind kind) const override;
    [[nodiscard]] std::string FilePath(protocol::UpdateKind kind) const override;
    void SetFilePath(protocol::UpdateKind /*kind*/, const std::string& /*path*/) override {}
    [[nodiscard]] bool SoftwareToRam() const override { return m_settings.ram; }
    [[nodiscard]] std::string ReceiveTarget() const override {
        return m_settings.receiveTo.value_or(std::string());
    }
    void SetReceiveTarget(const std::string& /*path*/) override {}
    [[nodiscard]] std::optional<std::string> ChooseFile() override { return std::nullopt; }
    void EnableRestartAndExit(bool /*enable*/) override {}
    void MessageBox(std::string_view text) override { m_say(text); }
    // Standard output carries the message log; the handshake's trace has no place there.
    void Trace(std::string_view /*text*/) override {}
    [[nodiscard]] std::uint32_t TickCount() const override;
    void Sleep(std::uint32_t ms) override { m_timers.Sleep(ms); }
    void SetProgressRange(std::uint16_t /*top*/) override {}
    void SetProgressPos(int /*pos*/) override {}
    void SetProgressText(protocol::ProgressText /*text*/, std::string_view /*value*/) override {}

private:
    [[nodiscard]] const UpdateFile* Find(protocol::UpdateKind kind) const;

    const UnitSettings& m_settings;
    ITimerHost& m_timers;
    std::function<void(std::string_view)> m_say;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

}  // namespace vandrelux::station

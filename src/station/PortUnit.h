// One port's transfer without a window, whatever drives it: the host that gives the transfer the
// unit's choices, the message log for whoever watches, the transfer and the watch on its events.
// It arms a unit (one box's update, or one receive), hands it the box's bytes and the timer's
// ticks, and judges how the unit ended.
//
// Threading: the thread that drives the port, only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "protocol/Transfer.h"
#include "station/Events.h"
#include "station/Results.h"
#include "station/Settings.h"
#include "station/TransferWatch.h"
#include "station/UnitHost.h"
#include "store/StandardImageStore.h"
#include "store/UpdateFiles.h"

namespace vandrelux::station {

using protocol::kHandshakeTimer;

// Why the update file at `path` cannot be sent, if it cannot: not a readable file, or too large.
[[nodiscard]] std::optional<std::string> CheckUpdateFile(const std::string& path);

struct UnitVerdict {
    Outcome outcome = Outcome::Success;
    std::string reason;  // empty on success
};

class CPortUnit {
public:
    // `files` is shared by all the run's ports and outlives the unit.
    CPortUnit(const UnitSettings& settings, IPortEvents& events, ITimerHost& timers,
              protocol::IPortWriter& port, store::CSharedUpdateFiles& files);
    CPortUnit(const CPortUnit&) = delete;
    CPortUnit& operator=(const CPortUnit&) = delete;

    // Arms the transfer for the next box, with a fresh account of its images.
    void Arm();
    // Takes nothing more from the box: its words are only shown.
    void Disarm();
    void OnByte(std::uint8_t byte, int portNumber);
    // A run of a block's payload in one go; nothing the watch or the verdict hears of.
    std::size_t TakeRun(std::span<const std::uint8_t> bytes) noexcept {
        return m_transfer.TakePayloadRun(bytes);
    }
    void OnTimer(unsigned timerId) { m_transfer.OnTimer(timerId); }

    // The unit reached its end, for good or ill.
    [[nodiscard]] bool Ended() const;
    // The box has begun its part: it said it is ready, or its first image is on its way.
    [[nodiscard]] bool Begun() const noexcept { return m_watch.Begun(); }
    [[nodiscard]] UnitVerdict Judge() const;
    [[nodiscard]] const CTransferWatch& Watch() const noexcept { return m_watch; }
    // The unit is over, however it ended: its images as they stand.
    [[nodiscard]] const std::vector<ImageResult>& EndUnit() {
        m_watch.EndUnit();
        return m_watch.Images();
    }
    // "waiting for the box on DEVICE; power it on", or the receive's words for it.
    [[nodiscard]] std::string WaitingNote(const std::string& device) const;

    // The printable text the box sent since ForgetBoxText, its last kBoxTextLimit bytes: a
    // loader's banner, or the words of software that just started.
    [[nodiscard]] const std::string& BoxText() const noexcept { return m_log.Text(); }
    void ForgetBoxText() { m_log.Forget(); }
    static constexpr std::size_t kBoxTextLimit = 512;

private:
    class EventsLog final : public protocol::ITransferLog {
    public:
        explicit EventsLog(IPortEvents& events) : m_events(events) {}
        void AppendText(std::string_view text) override { m_events.Log(text); }
        void AppendChar(char ch) override;
        [[nodiscard]] const std::string& Text() const noexcept { return m_text; }
        void Forget() { m_text.clear(); }

    private:
        IPortEvents& m_events;
        std::string m_text;
    };

    const UnitSettings& m_settings;
    IPortEvents& m_events;
    CUnitHost m_host;
    EventsLog m_log;
    store::CStandardImageStore m_store;
    protocol::CTransfer m_transfer;
    CTransferWatch m_watch;
};

}  // namespace vandrelux::station

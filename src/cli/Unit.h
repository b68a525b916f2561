// One port's transfer as the CLI runs it, whatever drives it: the toolkit holding the choices of
// the command line, the message log on the console, the transfer and the watch on its events.
// It arms a unit (one box's update, or one receive), hands it the box's bytes and the timer's
// ticks, and judges how the unit ended.
//
// Threading: the thread that drives the port, only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "cli/Console.h"
#include "cli/Options.h"
#include "cli/Report.h"
#include "cli/TerminalToolkit.h"
#include "cli/TransferWatch.h"
#include "protocol/StandardImageStore.h"
#include "protocol/Transfer.h"
#include "protocol/UpdateFiles.h"

namespace vandrelux::cli {

inline constexpr unsigned kHandshakeTimer = 1;

struct UnitVerdict {
    Outcome outcome = Outcome::Success;
    std::string reason;  // empty on success
};

class CPortUnit {
public:
    // `files` is shared by all the run's ports and outlives the unit.
    CPortUnit(const Options& options, std::size_t index, CConsole& console, ITimerHost& host,
              protocol::IPortWriter& port, protocol::CSharedUpdateFiles& files);
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

private:
    class ConsoleLog final : public protocol::ITransferLog {
    public:
        ConsoleLog(CConsole& console, std::size_t port) : m_console(console), m_port(port) {}
        void AppendText(std::string_view text) override { m_console.Log(m_port, text); }
        void AppendChar(char ch) override;

    private:
        CConsole& m_console;
        std::size_t m_port;
    };

    const Options& m_options;
    CConsole& m_console;
    std::size_t m_index;
    TerminalToolkit m_toolkit;
    ConsoleLog m_log;
    protocol::CStandardImageStore m_store;
    protocol::CTransfer m_transfer;
    CTransferWatch m_watch;
};

}  // namespace vandrelux::cli

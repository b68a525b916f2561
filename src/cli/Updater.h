// One worker of the headless updater: one port, one transfer, run on an event loop standing in
// for the window thread. Several ports run several workers, each on its own thread with its
// own loop, toolkit, port and transfer; they share only the console.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cli/Console.h"
#include "cli/Options.h"
#include "cli/Report.h"
#include "cli/TerminalToolkit.h"
#include "cli/TransferWatch.h"
#include "platform/EventLoop.h"
#include "platform/SerialPortInfo.h"
#include "protocol/Transfer.h"
#include "serial/ComPort.h"

namespace vandrelux::cli {

// Finds what would make the run fail only after the box has done its part: a file to send that
// cannot be read, a target that cannot be written or that is the working copy "rv.bin".
[[nodiscard]] std::optional<std::string> CheckFiles(const Options& options);

// Why `path` cannot be written as a new file, if it cannot.
[[nodiscard]] std::optional<std::string> CheckWritable(const std::string& path);

class CUpdater final : public serial::IPortOwner {
public:
    // Constructed, run and destroyed on the worker's own thread.
    CUpdater(const Options& options, std::size_t portIndex, CConsole& console);
    ~CUpdater() override;
    CUpdater(const CUpdater&) = delete;
    CUpdater& operator=(const CUpdater&) = delete;

    // Runs the whole update on this port; the reason for a failure is in the result.
    PortResult Run();

    void SendRxChars(std::span<const std::uint8_t> bytes, int portNumber,
                     std::stop_token stop) override;
    void SendNotification(unsigned message, int portNumber, std::stop_token stop) override;
    void ShowErrorBox(std::string_view title, std::string_view text, std::stop_token stop) override;
    void ShowMessage(std::string_view text) override;

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

    Outcome Download();
    Outcome Receive();
    Outcome Wait(const std::function<bool()>& finished);
    Outcome Fail(Outcome outcome, const std::string& reason);
    // Tells the operator why the line was lost, once the run is known to have failed by it.
    void ShowLineError();

    const Options& m_options;
    std::size_t m_index;
    CConsole& m_console;
    std::string m_device;
    platform::EventLoop m_loop;
    TerminalToolkit m_toolkit;
    ConsoleLog m_log;
    serial::CComPort m_port;
    protocol::CTransfer m_transfer;
    CTransferWatch m_watch;
    PortResult m_result;
    std::atomic<bool> m_bLineLost{false};
    std::mutex m_lineErrorLock;
    std::optional<std::string> m_lineError;  // the first report of a lost line, not yet shown
    std::atomic<std::chrono::steady_clock::rep> m_lastRx{0};  // when the box last sent a byte
};

}  // namespace vandrelux::cli

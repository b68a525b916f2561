// The headless updater: one port, one transfer, run on an event loop standing in for the
// window thread. The message log goes to standard output, the box's own text to standard error.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cli/TerminalToolkit.h"
#include "platform/EventLoop.h"
#include "protocol/Transfer.h"
#include "serial/ComPort.h"

namespace vandrelux::cli {

// Exit statuses, each with its own reason.
enum class Outcome : int {
    Success = 0,
    BoxFailure = 1,
    Usage = 2,
    PortNotOpenable = 3,
    FileNotOpenable = 4,
    TimedOut = 5,
    LineLost = 6,
};

struct UpdateFile {
    protocol::UpdateKind kind;
    std::string path;
};

struct Options {
    std::string port;                 // a device path or COM<n>
    std::map<int, std::string> comMap;  // --com1, --com2
    int baudRate = 115200;
    std::vector<UpdateFile> files;
    bool ram = false;
    std::optional<std::string> receiveTo;
    std::optional<std::chrono::milliseconds> timeout;
    bool showProgress = false;
};

// Finds what would make the run fail only after the box has done its part: a file to send that
// cannot be read, a target that cannot be written or that is the working copy "rv.bin".
[[nodiscard]] std::optional<std::string> CheckFiles(const Options& options);

class CUpdater final : public serial::IPortOwner {
public:
    explicit CUpdater(Options options);
    ~CUpdater() override;

    // Runs the whole update; the reason for a failure is on standard error.
    Outcome Run();

    void SendRxChars(std::span<const std::uint8_t> bytes, int portNumber,
                     std::stop_token stop) override;
    void SendNotification(unsigned message, int portNumber, std::stop_token stop) override;
    void ShowErrorBox(std::string_view title, std::string_view text,
                      std::stop_token stop) override;
    void ShowMessage(std::string_view text) override;

private:
    class StdLog final : public protocol::ITransferLog {
    public:
        void AppendText(std::string_view text) override;
        void AppendChar(char ch) override;
    };

    Outcome Download();
    Outcome Receive();
    Outcome Wait(const std::function<bool()>& finished);
    void ShowProgress();
    Outcome Fail(Outcome outcome, const std::string& reason);

    Options m_options;
    platform::EventLoop m_loop;
    TerminalToolkit m_toolkit;
    StdLog m_log;
    serial::CComPort m_port;
    protocol::CTransfer m_transfer;
    std::atomic<bool> m_bLineLost{false};
    std::mutex m_stderrLock;
    std::chrono::steady_clock::time_point m_lastProgress;
    std::atomic<std::chrono::steady_clock::rep> m_lastRx{0};  // when the box last sent a byte
};

}  // namespace vandrelux::cli

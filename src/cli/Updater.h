// The headless updater: every port named on the command line gets its own transfer, and all of
// them run at once. On Linux one engine thread drives them all; on Windows each port has a
// worker thread with an event loop standing in for the window thread. Either way the arming and
// the judging of a port's unit are CPortUnit's.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/Console.h"
#include "cli/Options.h"
#include "cli/Report.h"
#include "platform/PortStep.h"
#include "platform/SerialDevice.h"

namespace vandrelux::cli {

// Why the update file at `path` cannot be sent, if it cannot: not a readable file, or too large.
[[nodiscard]] std::optional<std::string> CheckUpdateFile(const std::string& path);

// Finds what would make the run fail only after the box has done its part: a file to send that
// cannot be read, a target that cannot be written or that is the working copy "rv.bin".
[[nodiscard]] std::optional<std::string> CheckFiles(const Options& options);

// Why `path` cannot be written as a new file, if it cannot.
[[nodiscard]] std::optional<std::string> CheckWritable(const std::string& path);

// Runs the update on every port of `options` and returns each port's result, in their order.
[[nodiscard]] std::vector<PortResult> RunUpdate(const Options& options, CConsole& console);

// Tells the operator why `device`, port `index`, did not open and what the set-up checks find.
// A network port is not connected to a second time: its open's own error says enough.
void ReportOpenFailure(CConsole& console, std::size_t index, const std::string& device,
                       const Options& options, const platform::SystemError& error);

// Tells the operator and the event stream why port `index` failed; the first reason given is the
// result's. Returns `outcome`.
Outcome ReportFailure(CConsole& console, std::size_t index, PortResult& result, Outcome outcome,
                      const std::string& reason);

// The text of an error box as one line for the operator.
[[nodiscard]] std::string ErrorBoxLine(std::string_view title, std::string_view text);

// What failed at `step` of `device` and why, in words: "line lost: read failed: Input/output
// error", "1234 baud is not a speed this device takes". The caller puts the port in front.
[[nodiscard]] std::string PortFailure(const std::string& device, platform::PortStep step,
                                      const platform::SystemError& error, int baudRate);

}  // namespace vandrelux::cli

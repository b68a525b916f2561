// vandrelux-boxsim: a simulated set-top box on a pseudo-terminal or an existing device.
#include <signal.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <optional>
#include <string>

#include "boxsim/BoxRunner.h"
#include "boxsim/Options.h"
#include "boxsim/PtyLine.h"

namespace {

using namespace vandrelux::boxsim;

volatile std::sig_atomic_t g_stop = 0;

extern "C" void OnStopSignal(int /*signal*/) {
    g_stop = 1;
}

int SetupError(const std::string& reason) {
    std::cerr << "vandrelux-boxsim: " << reason << '\n';
    return 2;
}

std::optional<std::vector<std::uint8_t>> ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>()};
    if (in.bad()) {
        return std::nullopt;
    }
    return bytes;
}

int Run(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);

    ParseResult parsed = ParseOptions(argc, argv);
    if (!parsed.options) {
        if (parsed.exitCode != 0) {
            return SetupError(parsed.text);
        }
        std::cout << parsed.text;
        return 0;
    }
    Options& options = *parsed.options;

    if (options.box.role == BoxConfig::Role::Send) {
        std::optional<std::vector<std::uint8_t>> image = ReadFile(options.imagePath);
        if (!image) {
            return SetupError("cannot read " + options.imagePath.string());
        }
        // The header's length word is 32 bits wide.
        if (image->size() > std::numeric_limits<std::uint32_t>::max()) {
            return SetupError(options.imagePath.string() + " is too large for one image");
        }
        options.box.image = std::move(*image);
    }
    if (!options.outDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(options.outDir, ec);
        if (ec) {
            return SetupError("cannot create " + options.outDir.string() + ": " + ec.message());
        }
    }
    // Opened now, so a report that cannot be written is known before the run, not after.
    std::ofstream reportFile;
    if (!options.reportPath.empty()) {
        reportFile.open(options.reportPath, std::ios::trunc);
        if (!reportFile) {
            return SetupError("cannot write " + options.reportPath.string());
        }
    }

    // Held back outside the wait, so a stop request cannot slip in between a check and a wait.
    sigset_t stopSignals;
    sigset_t waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    std::optional<PtyLine> line;
    try {
        line = options.device.empty() ? PtyLine::OpenPty() : PtyLine::OpenDevice(options.device);
    } catch (const std::exception& e) {
        return SetupError(e.what());
    }
    std::cout << line->Path() << std::endl;

    RunSettings settings;
    settings.baud = options.baud;
    settings.turnaroundUs = options.turnaroundUs;
    settings.expect = options.expect;
    settings.timeout = std::chrono::milliseconds(std::llround(options.timeoutSeconds * 1000.0));
    settings.outDir = options.outDir;
    settings.rebootText = options.rebootText;
    settings.rebootDelay = std::chrono::milliseconds(options.rebootMs);

    const BoxConfig::Role role = options.box.role;
    BoxRunner runner(std::move(options.box), settings, *line);
    const RunOutcome outcome = runner.Run(&g_stop, &waitMask);
    line.reset();

    const std::string report = MakeReport(role, runner.Model().Report(), outcome).dump(2);
    if (reportFile.is_open()) {
        reportFile << report << '\n';
        reportFile.close();
        if (!reportFile) {
            std::cerr << "vandrelux-boxsim: cannot write " << options.reportPath.string() << '\n';
            return 1;
        }
    } else {
        std::cerr << report << '\n';
    }
    return ExitCode(runner.Model().Report(), outcome);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "vandrelux-boxsim: " << e.what() << '\n';
        return 2;
    }
}

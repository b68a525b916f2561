// vandrelux-cli: updates a set-top box, or reads its programme code back, without a window.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "cli/Updater.h"
#include "platform/Process.h"

namespace {

using vandrelux::cli::Options;
using vandrelux::cli::Outcome;
using vandrelux::protocol::UpdateKind;

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Sends update files to a set-top box over a serial line, or receives the box's whole "
        "programme code into a file.\n\n"
        "Download: vandrelux-cli --port PORT [--bootstrap F] [--ucode F] [--logo F]\n"
        "                        [--tvprogram F] [--software F [--ram]]\n"
        "  then power on the box. Files go out in the order bootstrap, ucode, logo, TV programme,\n"
        "  software.\n"
        "Receive:  vandrelux-cli --port PORT --receive OUT\n"
        "  then start the sending side on the box. The image is collected in rv.bin in the\n"
        "  current folder and written to OUT with the bytes of every 16-bit word swapped.\n\n"
        "Exit status: 0 success, 1 the box refused or the image failed its check, 2 bad\n"
        "arguments, 3 port not openable, 4 file not openable, 5 time-out, 6 line lost.",
        "vandrelux-cli"};
    app.get_formatter()->column_width(30);

    Options options;
    std::string bootstrap, ucode, logo, tvprogram, software, receive;
    double timeoutSeconds = 0;
    std::string com1, com2;
    app.add_option("--port", options.port, "Serial device path, or COM<n>")->required();
    app.add_option("--com1", com1, "Device that COM1 names (else $VANDRELUX_COM1, USB adapters, "
                                   "/dev/ttyS0)");
    app.add_option("--com2", com2, "Device that COM2 names");
    app.add_option("--baud", options.baudRate, "Line speed")
        ->capture_default_str()
        ->check(CLI::Range(1, 4'000'000));
    auto* down = app.add_option_group("download");
    down->add_option("--bootstrap", bootstrap, "Bootstrap image");
    down->add_option("--ucode", ucode, "Microcode image");
    down->add_option("--logo", logo, "I-frame logo image");
    down->add_option("--tvprogram", tvprogram, "TV programme list");
    down->add_option("--software", software, "Software image");
    down->add_flag("--ram", options.ram, "Load the software to RAM for debugging");
    auto* receiveOption =
        app.add_option("--receive", receive, "Receive the box's programme code into this file");
    down->excludes(receiveOption);
    app.add_option("--timeout", timeoutSeconds,
                   "Give up after this many seconds (default: wait as long as it takes)")
        ->check(CLI::Range(0.001, 1e7));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help and version are not errors; every mistake in the arguments is status 2.
        return app.exit(e) == 0 ? 0 : static_cast<int>(Outcome::Usage);
    }

    const std::pair<UpdateKind, const std::string*> kinds[] = {
        {UpdateKind::Bootstrap, &bootstrap}, {UpdateKind::Ucode, &ucode},
        {UpdateKind::Logo, &logo},           {UpdateKind::TvProgram, &tvprogram},
        {UpdateKind::Software, &software}};
    for (const auto& [kind, path] : kinds) {
        if (!path->empty()) {
            options.files.push_back({kind, *path});
        }
    }
    if (receiveOption->count() > 0) {
        options.receiveTo = receive;
    } else if (options.files.empty()) {
        std::fprintf(stderr, "vandrelux-cli: name at least one file to send, or --receive OUT\n");
        return static_cast<int>(Outcome::Usage);
    }
    if (options.ram && software.empty()) {
        std::fprintf(stderr, "vandrelux-cli: --ram goes with --software\n");
        return static_cast<int>(Outcome::Usage);
    }
    if (!com1.empty()) {
        options.comMap[1] = com1;
    }
    if (!com2.empty()) {
        options.comMap[2] = com2;
    }
    if (timeoutSeconds > 0) {
        options.timeout = std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000));
    }
    options.showProgress = vandrelux::platform::StandardErrorIsTerminal();
    if (const std::optional<std::string> problem = vandrelux::cli::CheckFiles(options)) {
        std::fprintf(stderr, "vandrelux-cli: %s\n", problem->c_str());
        return static_cast<int>(Outcome::FileNotOpenable);
    }

    vandrelux::cli::CUpdater updater(std::move(options));
    return static_cast<int>(updater.Run());
}

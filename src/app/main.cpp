// vandrelux: the operator's window.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>

#include "Version.h"
#include "app/UpdateDlg.h"
#include "toolkit/WindowApplication.h"

namespace {

int Run(int argc, char** argv) {
    vandrelux::platform::PrepareStandardStreams();
    CLI::App cli{"Updates a set-top box over a serial line, or reads its programme code back.",
                 "vandrelux"};
    cli.set_version_flag("--version", "vandrelux " + std::string(vandrelux::kVersion),
                         "Show the version and exit");
    vandrelux::app::AppOptions options;
    std::string com1, com2, settings, screenshot;
    cli.add_option("--com1", com1,
                   "Device that COM1 names (else $VANDRELUX_COM1, USB adapters, "
                   "/dev/ttyS0)");
    cli.add_option("--com2", com2, "Device that COM2 names");
    cli.add_option("--settings", settings, "Settings file to use instead of Vandrelux.ini");
    cli.add_flag("--exit-when-done", options.exitWhenDone,
                 "Close once the transfer the settings arm has ended, printing the message log");
    cli.add_option("--screenshot", screenshot, "With --exit-when-done: save the window as PNG");
    cli.add_flag("--to-receive", options.startReceive,
                 "Press \"to receive\" at start when the settings choose the receive direction");
    // The toolkit takes its own options (Qt's -platform, -style) from the rest.
    cli.allow_extras();
    CLI11_PARSE(cli, argc, argv);

    if (!com1.empty()) {
        options.comMap[1] = com1;
    }
    if (!com2.empty()) {
        options.comMap[2] = com2;
    }
    if (!settings.empty()) {
        // The Windows profile calls look for a bare name in the Windows folder, not here.
        std::error_code error;
        const std::filesystem::path absolute = std::filesystem::absolute(settings, error);
        options.settingsPath = error ? settings : absolute.string();
    }
    if (!screenshot.empty()) {
        options.screenshot = screenshot;
    }
    using vandrelux::platform::IDialogFactory;
    return vandrelux::platform::RunWindowApplication(argc, argv, [&](IDialogFactory& factory) {
        vandrelux::app::CUpdaterApp app(factory, options);
        static_cast<void>(app.InitInstance());
        return app.ExitStatus();
    });
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vandrelux: stopped: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "vandrelux: stopped by an unknown error\n");
    }
    return 1;
}

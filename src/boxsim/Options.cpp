#include "boxsim/Options.h"

#include <CLI/CLI.hpp>

#include "Version.h"

namespace vandrelux::boxsim {

ParseResult ParseOptions(int argc, const char* const* argv) {
    Options o;
    int silentAfter = -1;
    int hangUpAfter = -1;

    CLI::App app{
        "A simulated set-top box on a serial line. Prints the line's device path as "
        "its first line of output, writes a JSON report at the end.",
        "vandrelux-boxsim"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "vandrelux-boxsim " + std::string(kVersion) + "\n",
                         "Show the version and exit");
    app.add_option("--device", o.device,
                   "Use this existing device instead of a new pseudo-terminal");
    app.add_option("--report", o.reportPath, "Write the report here instead of standard error");
    app.add_option("--timeout", o.timeoutSeconds, "Seconds before an unfinished run fails")
        ->check(CLI::Range(0.001, 1e7))
        ->capture_default_str();
    app.add_option("--baud", o.baud, "Pace both directions as an 8N1 line of this speed; 0 = off")
        ->capture_default_str();
    app.add_option("--turnaround-us", o.turnaroundUs,
                   "Extra delay before every answer to a byte from the PC")
        ->capture_default_str();
    app.add_option("--chatter", o.box.chatter,
                   "Printable text the box sends before its ready byte");
    app.add_option("--silent-after", silentAfter, "Send nothing more once N frames are handled")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--hang-up-after", hangUpAfter, "Hang up the line once N frames are handled")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--seed", o.box.seed, "Seed for the random faults")->capture_default_str();

    CLI::App* accept = app.add_subcommand("accept", "The PC downloads images to the box");
    accept->fallthrough();
    accept->add_option("--out", o.outDir, "Directory for the accepted images (created if needed)");
    accept->add_option("--expect", o.expect, "Images to accept before the run is complete")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    accept->add_option("--nak-share", o.box.nakShare, "Refuse this share of sound frames anyway")
        ->check(CLI::Range(0.0, 1.0));
    accept->add_flag("--nak-first-verdict", o.box.nakFirstVerdict,
                     "Refuse the first whole image regardless");
    accept
        ->add_option("--settle-ms", o.box.settleMs,
                     "A 0x16 this soon after the ready byte is taken as stale")
        ->capture_default_str();

    CLI::App* send = app.add_subcommand("send", "The PC receives an image from the box");
    send->fallthrough();
    send->add_option("--image", o.imagePath, "The image to send, as it goes on the wire")
        ->required();
    send->add_option("--block", o.box.blockSize, "Payload bytes per block")
        ->check(CLI::Range(1, static_cast<int>(kMaxPayloadLen)))
        ->capture_default_str();
    send->add_flag("--mark-per-block", o.box.markPerBlock, "Put 0x47 in front of every block");
    send->add_option("--corrupt-share", o.box.corruptShare,
                     "Corrupt one byte in this share of the blocks sent")
        ->check(CLI::Range(0.0, 1.0));

    ParseResult result;
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        result.text = app.help();
        return result;
    } catch (const CLI::CallForAllHelp&) {
        result.text = app.help("", CLI::AppFormatMode::All);
        return result;
    } catch (const CLI::CallForVersion& e) {
        result.text = e.what();
        return result;
    } catch (const CLI::ParseError& e) {
        result.exitCode = 2;
        result.text = e.what();
        return result;
    }

    o.box.role = send->parsed() ? BoxConfig::Role::Send : BoxConfig::Role::Accept;
    o.box.silentAfterFrames = silentAfter;
    o.box.hangUpAfterFrames = hangUpAfter;
    result.options = std::move(o);
    return result;
}

}  // namespace vandrelux::boxsim

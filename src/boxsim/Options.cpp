#include "boxsim/Options.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <string_view>

#include "Version.h"

namespace vandrelux::boxsim {

std::string DecodeEscapes(const std::string& text) {
    const auto hexValue = [](char c) {
        const auto at =
            std::string_view("0123456789abcdef").find(static_cast<char>(std::tolower(c)));
        return at == std::string_view::npos ? -1 : static_cast<int>(at);
    };
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (text[i] != '\\' || std::string_view("rnt\\x").find(next) == std::string_view::npos ||
            next == '\0') {
            out += text[i];
            continue;
        }
        ++i;
        if (next != 'x') {
            out += next == 'r' ? '\r' : next == 'n' ? '\n' : next == 't' ? '\t' : '\\';
            continue;
        }
        int value = 0;
        int digits = 0;
        while (digits < 2 && i + 1 < text.size() && hexValue(text[i + 1]) >= 0) {
            value = value * 16 + hexValue(text[++i]);
            ++digits;
        }
        if (digits == 0) {
            out += "\\x";
        } else {
            out += static_cast<char>(value);
        }
    }
    return out;
}

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
    app.add_option("--banner", o.box.banner,
                   "Text the box prints at power-on, before it listens for the beacon "
                   "(\\r, \\n, \\t, \\xHH)");
    app.add_option("--chatter", o.box.chatter,
                   "Printable text the box sends before its ready byte (escapes as --banner)");
    app.add_option("--reboot-loop-ms", o.box.rebootLoopMs,
                   "Reboot again and again: the banner every N ms, no answer to anything; from "
                   "power-on, or from --silent-after on");
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
        ->add_option("--listen-ms", o.box.listenMs,
                     "Hear the beacon only this long after power-on, then boot without an "
                     "update; 0 = wait for ever")
        ->capture_default_str();
    accept
        ->add_option("--give-up-after", o.box.giveUpAfterNaks,
                     "Stop answering after refusing one frame this often in a row; 0 = never")
        ->capture_default_str();
    accept->add_option("--reboot-text", o.rebootText,
                       "Text the box prints once it has its images, as it boots them (escapes "
                       "as --banner)");
    accept->add_option("--reboot-ms", o.rebootMs, "How long after its last image that text comes")
        ->capture_default_str();
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
    o.box.banner = DecodeEscapes(o.box.banner);
    o.box.chatter = DecodeEscapes(o.box.chatter);
    o.rebootText = DecodeEscapes(o.rebootText);
    result.options = std::move(o);
    return result;
}

}  // namespace vandrelux::boxsim

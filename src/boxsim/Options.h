// The command line of vandrelux-boxsim.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "boxsim/BoxModel.h"

namespace vandrelux::boxsim {

struct Options {
    BoxConfig box;                     // role and faults; the send image is loaded later
    std::filesystem::path imagePath;   // send: the file the box sends
    std::filesystem::path outDir;      // accept: where images go; empty = only reported
    std::filesystem::path reportPath;  // empty = standard error
    std::string device;                // empty = a new pseudo-terminal
    std::size_t expect = 1;            // accept: images to take before the run is complete
    double timeoutSeconds = 120.0;
    std::uint32_t baud = 0;  // 0 = unpaced
    std::uint32_t turnaroundUs = 0;
    std::string rebootText;  // accept: printed once the images are in, as the box boots them
    std::uint32_t rebootMs = 0;
};

// Text from the command line with \r, \n, \t, \\ and \xHH turned into their bytes; anything
// else after a backslash stays as it is.
[[nodiscard]] std::string DecodeEscapes(const std::string& text);

struct ParseResult {
    std::optional<Options> options;  // absent when the program should exit at once
    int exitCode = 0;                // 0 after --help or --version, 2 after a bad argument
    std::string text;                // help or version for standard output, or a one-line reason
};

[[nodiscard]] ParseResult ParseOptions(int argc, const char* const* argv);

}  // namespace vandrelux::boxsim

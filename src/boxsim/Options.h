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
};

struct ParseResult {
    std::optional<Options> options;  // absent when the program should exit at once
    int exitCode = 0;                // 0 after --help or --version, 2 after a bad argument
    std::string text;                // help or version for standard output, or a one-line reason
};

[[nodiscard]] ParseResult ParseOptions(int argc, const char* const* argv);

}  // namespace vandrelux::boxsim

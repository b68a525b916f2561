// vandrelux-boxsim's command line, mapped onto the box's configuration.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "Version.h"
#include "boxsim/Options.h"

namespace vandrelux::boxsim {
namespace {

// The words of `line`, split at spaces, as the command line.
ParseResult Parse(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    std::vector<const char*> argv{"vandrelux-boxsim"};
    for (const std::string& w : words) {
        argv.push_back(w.c_str());
    }
    return ParseOptions(static_cast<int>(argv.size()), argv.data());
}

TEST(ParseOptions, AcceptWithEveryFault_MappedOntoBoxConfig) {
    // Common options may come before or after the scenario.
    const ParseResult r = Parse(
        "--baud 115200 accept --out d --expect 3 --nak-share 0.25 --nak-first-verdict "
        "--settle-ms 40 --chatter boot-1.0 --silent-after 5 --hang-up-after 7 --seed 99 "
        "--timeout 2.5 --turnaround-us 300 --report r.json --device /dev/x");
    ASSERT_TRUE(r.options) << r.text;
    const Options& o = *r.options;
    EXPECT_EQ(o.box.role, BoxConfig::Role::Accept);
    EXPECT_EQ(o.outDir, "d");
    EXPECT_EQ(o.expect, 3U);
    EXPECT_DOUBLE_EQ(o.box.nakShare, 0.25);
    EXPECT_TRUE(o.box.nakFirstVerdict);
    EXPECT_EQ(o.box.settleMs, 40U);
    EXPECT_EQ(o.box.chatter, "boot-1.0");
    EXPECT_EQ(o.box.silentAfterFrames, 5);
    EXPECT_EQ(o.box.hangUpAfterFrames, 7);
    EXPECT_EQ(o.box.seed, 99U);
    EXPECT_DOUBLE_EQ(o.timeoutSeconds, 2.5);
    EXPECT_EQ(o.baud, 115200U);
    EXPECT_EQ(o.turnaroundUs, 300U);
    EXPECT_EQ(o.reportPath, "r.json");
    EXPECT_EQ(o.device, "/dev/x");
}

TEST(ParseOptions, SendAndDefaults_MappedOntoBoxConfig) {
    const ParseResult r =
        Parse("send --image img.bin --block 512 --mark-per-block --corrupt-share 1");
    ASSERT_TRUE(r.options) << r.text;
    const Options& o = *r.options;
    EXPECT_EQ(o.box.role, BoxConfig::Role::Send);
    EXPECT_EQ(o.imagePath, "img.bin");
    EXPECT_EQ(o.box.blockSize, 512U);
    EXPECT_TRUE(o.box.markPerBlock);
    EXPECT_DOUBLE_EQ(o.box.corruptShare, 1.0);
    // Faults stay off unless asked for.
    EXPECT_EQ(o.box.silentAfterFrames, -1);
    EXPECT_EQ(o.box.hangUpAfterFrames, -1);
    EXPECT_EQ(o.baud, 0U);
    EXPECT_DOUBLE_EQ(o.timeoutSeconds, 120.0);
    EXPECT_TRUE(o.device.empty());
    EXPECT_TRUE(o.reportPath.empty());

    EXPECT_EQ(Parse("send --image i").options->box.blockSize, 4096U);
}

TEST(ParseOptions, BadArguments_ExitTwoWithOneLineReason) {
    const std::vector<std::string> bad = {
        "",
        "accept send",
        "send",
        "dance",
        "send --image i --block 0",
        "send --image i --block 4097",
        "send --image i --nak-share 0.1",  // only the accepting box refuses
        "accept --corrupt-share 0.1",
        "accept --nak-share 1.5",
        "accept --expect 0",
        "accept --timeout 0",
        "accept --timeout 1e300",
        "accept --baud -9600",
        "accept --silent-after -1",
        "accept --seed x",
    };
    for (const std::string& line : bad) {
        const ParseResult r = Parse(line);
        EXPECT_FALSE(r.options) << line;
        EXPECT_EQ(r.exitCode, 2) << line;
        EXPECT_FALSE(r.text.empty()) << line;
        EXPECT_EQ(r.text.find('\n'), std::string::npos) << line << ": " << r.text;
    }
}

TEST(DecodeEscapes, ControlsAndHexBytes_OtherBackslashesKept) {
    const std::pair<const char*, std::string> cases[] = {
        {R"(S/N: 4711\r\nlogin: )", "S/N: 4711\r\nlogin: "},
        {R"(\t\\\x41\x7e\x0)", std::string("\t\\A~") + '\0'},
        {R"(\q \x \xg trailing\)", R"(\q \x \xg trailing\)"},
    };
    for (const auto& [text, bytes] : cases) {
        EXPECT_EQ(DecodeEscapes(text), bytes) << text;
    }
}

// --version answers without the scenario the box otherwise insists on.
TEST(ParseOptions, Version_ExitZeroBeforeTheScenarioIsChecked) {
    for (const char* line : {"--version", "send --version", "accept --version"}) {
        const ParseResult r = Parse(line);
        EXPECT_FALSE(r.options) << line;
        EXPECT_EQ(r.exitCode, 0) << line;
        EXPECT_EQ(r.text, "vandrelux-boxsim " + std::string(kVersion) + "\n") << line;
    }
}

TEST(ParseOptions, Help_ExitZeroWithText) {
    for (const char* line : {"--help", "send --help"}) {
        const ParseResult r = Parse(line);
        EXPECT_FALSE(r.options);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_NE(r.text.find("--"), std::string::npos);
    }
}

}  // namespace
}  // namespace vandrelux::boxsim

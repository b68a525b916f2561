// The pieces of vandrelux-boxsim that need no line: pacing, percentiles, image files, options.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "Version.h"
#include "boxsim/ImageFiles.h"
#include "boxsim/LineTiming.h"
#include "boxsim/Options.h"

namespace vandrelux::boxsim {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// ---- Pacing ----

TEST(LineSchedule, BackToBackBytes_OneByteTimeApartAndNeverFasterThanTheBaud) {
    for (const std::uint32_t baud : {300U, 9600U, 115200U, 921600U, 3000000U}) {
        LineSchedule line(baud);
        SCOPED_TRACE(baud);
        // Rounded up: ten bits at this rate take at least this long.
        EXPECT_GE(line.ByteNs() * std::int64_t{baud}, 10'000'000'000);
        EXPECT_LT((line.ByteNs() - 1) * std::int64_t{baud}, 10'000'000'000);
        const std::int64_t first = line.Book(1'000);
        EXPECT_EQ(first, 1'000 + line.ByteNs());  // the first byte's own line time counts
        std::int64_t last = first;
        for (int i = 0; i < 1000; ++i) {
            last = line.Book(1'000);
        }
        EXPECT_EQ(last - first, 1000 * line.ByteNs());
    }
}

TEST(LineSchedule, ByteAfterQuietSpell_StartsWhenReadyNotWhenLineWentFree) {
    LineSchedule unpaced(0);
    EXPECT_EQ(unpaced.Book(5), 5);
    EXPECT_EQ(unpaced.Book(3), 5);  // never before a byte booked earlier
    EXPECT_EQ(unpaced.Book(9), 9);

    LineSchedule line(9600);
    EXPECT_EQ(line.ByteNs(), 1'041'667);
    EXPECT_EQ(line.Book(0), 1'041'667);
    EXPECT_EQ(line.Book(50'000'000), 51'041'667);
    EXPECT_EQ(line.Book(50'000'001), 52'083'334);  // ready during the previous byte: queued
}

// ---- Turnaround summary ----

std::vector<std::int64_t> Range(std::int64_t from, std::int64_t to) {
    std::vector<std::int64_t> out(static_cast<std::size_t>(to - from + 1));
    std::iota(out.begin(), out.end(), from);
    return out;
}

TEST(Summarise, NearestRank_TableOfSampleSets) {
    struct Case {
        std::vector<std::int64_t> samples;
        TurnaroundSummary expected;
    };
    const std::vector<Case> cases = {
        {{}, {0, 0, 0, 0, 0}},
        {{42}, {1, 42, 42, 42, 42}},
        {{30, 10, 20}, {3, 10, 20, 30, 30}},  // unsorted input
        {{4, 1, 3, 2}, {4, 1, 2, 4, 4}},      // even count: the lower middle
        {Range(1, 100), {100, 1, 50, 99, 100}},
        {Range(1, 200), {200, 1, 100, 198, 200}},
        {Range(1, 1000), {1000, 1, 500, 990, 1000}},
    };
    for (const Case& c : cases) {
        const TurnaroundSummary s = Summarise(c.samples);
        SCOPED_TRACE(c.samples.size());
        EXPECT_EQ(s.count, c.expected.count);
        EXPECT_EQ(s.min, c.expected.min);
        EXPECT_EQ(s.median, c.expected.median);
        EXPECT_EQ(s.p99, c.expected.p99);
        EXPECT_EQ(s.max, c.expected.max);
    }
}

// ---- Image files ----

TEST(KindOf, TypeWord_NamesTheFile) {
    const std::vector<std::pair<std::uint32_t, std::string>> table = {
        {0x10, "bootstrap.bin"},        {0x100, "ucode.bin"},
        {0x100000, "logo.bin"},         {0x1000000, "tvprogram.bin"},
        {0x1000, "software.bin"},       {0x0, "image-00000000.bin"},
        {0x20, "image-00000020.bin"},   {0xDEADBEEF, "image-deadbeef.bin"},
        {0x1010, "image-00001010.bin"},
    };
    for (const auto& [type, file] : table) {
        EXPECT_EQ(KindOf(type).file, file) << std::hex << type;
    }
    EXPECT_EQ(KindOf(0x10).kind, "bootstrap");
    EXPECT_EQ(KindOf(0x20).kind, "unknown");
}

class ImageFilesTest : public ::testing::Test {
protected:
    ImageFilesTest()
        : dir(fs::temp_directory_path() /
              (std::string("vandrelux-imgs-") +
               ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    ~ImageFilesTest() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    Bytes Load(const std::string& name) const {
        std::ifstream in(dir / name, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    fs::path dir;
};

TEST_F(ImageFilesTest, SameKindTwice_LaterImageReplacesEarlierOneWhole) {
    // RAM mode keeps the software kind.
    ASSERT_EQ(WriteImage(dir, StoredImage{{0x1000, 0, 4, 0, 0, 0x80010000, 0}, {1, 2, 3, 4}}), "");
    ASSERT_EQ(WriteImage(dir, StoredImage{{0x1000, 0, 2, 0, 0x10, 0x10003000, 0}, {9, 8}}), "");
    EXPECT_EQ(Load("software.bin"), (Bytes{9, 8}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

// ---- Options ----

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

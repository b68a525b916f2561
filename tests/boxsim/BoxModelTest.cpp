#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <span>
#include <string>
#include <vector>

#include "boxsim/BoxModel.h"

namespace vandrelux::boxsim {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The two-byte bootstrap image 01 02 as the PC downloads it.
const Bytes kBootHeader = {0x47, 0xF1, 0x00, 0x00, 0x00, 0x1C, 0x00, 0x00, 0x00, 0x10,
                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00,
                           0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00,
                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xA2};
const Bytes kBootData = {0x47, 0xF3, 0x00, 0x00, 0x00, 0x02, 0x01, 0x02, 0x00, 0x00, 0x00, 0xF8};

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t n) {
    const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(from);
    return Bytes(first, first + static_cast<std::ptrdiff_t>(n));
}

std::uint32_t Sum(const Bytes& bytes) {
    return std::accumulate(bytes.begin(), bytes.end(), std::uint32_t{0});
}

void PutU32(Bytes& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(v >> shift));
    }
}

// A frame from its type byte on; the caller adds the 0x47 where it belongs.
Bytes Body(std::uint8_t type, const Bytes& payload) {
    Bytes out{type};
    PutU32(out, static_cast<std::uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    PutU32(out, Sum(out));
    return out;
}

Bytes Frame(std::uint8_t type, const Bytes& payload) {
    return Cat({0x47}, Body(type, payload));
}

Bytes HeaderFrame(const HeaderWords& h) {
    Bytes payload;
    for (const std::uint32_t w :
         {h.type, h.reserved, h.length, h.checksum, h.mode, h.address, h.param}) {
        PutU32(payload, w);
    }
    return Frame(0xF1, payload);
}

Bytes Pattern(std::size_t size) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) {
        out[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    return out;
}

bool IsPlainStatusLine(const Bytes& line) {
    return line.size() >= 3 && line.size() < 100 &&
           Slice(line, line.size() - 2, 2) == Text("\r\n") &&
           std::all_of(line.begin(), line.end() - 2,
                       [](std::uint8_t c) { return c >= 0x20 && c <= 0x7E && c != 0x47; });
}

struct Driver {
    explicit Driver(BoxConfig config) : box(std::move(config)) {}

    Bytes Feed(const Bytes& bytes) {
        for (const std::uint8_t b : bytes) {
            box.OnByte(b, ++now);
        }
        return box.TakeOutput();
    }
    Bytes FeedAt(std::uint8_t byte, std::uint64_t at) {
        now = at;
        return Feed({byte});
    }
    // Powers the box on and announces a file, as the PC does.
    void OpenFile() {
        ASSERT_EQ(Feed({0x16}).back(), 0x19);
        now += 300;
        ASSERT_EQ(Feed({0x16}), Bytes{0x06});
    }
    // Repeats a frame after every 0x15, as the PC does; returns the first other answer.
    Bytes SendUntilAccepted(const Bytes& frame) {
        Bytes answer{0x15};
        for (int tries = 0; tries < 50 && answer == Bytes{0x15}; ++tries) {
            answer = Feed(frame);
        }
        return answer;
    }

    BoxModel box;
    std::uint64_t now = 0;
};

BoxConfig SendConfig(Bytes image) {
    BoxConfig config;
    config.role = BoxConfig::Role::Send;
    config.image = std::move(image);
    return config;
}

// Runs the receive handshake; returns what the box sent after the PC's closing 0x06.
Bytes Handshake(Driver& d) {
    (void)d.box.TakeOutput();
    for (const std::uint8_t beacon : Bytes{0x80, 0x81, 0x82}) {
        EXPECT_EQ(d.Feed({beacon}), Bytes{0x06});
    }
    return d.Feed({0x06});
}

// ---- Accept role ----

TEST(AcceptBox, TwoByteBootstrap_AckedVerdictGivenAndImageStored) {
    BoxConfig config;
    config.chatter = "boot 1.0\r\n";
    Driver d(config);

    EXPECT_EQ(d.Feed({0x16}), Cat(Text("boot 1.0\r\n"), {0x19}));
    d.now += 300;
    EXPECT_EQ(d.Feed({0x16}), Bytes{0x06});
    EXPECT_EQ(d.Feed(kBootHeader), Bytes{0x06});
    const Bytes answer = d.Feed(kBootData);

    ASSERT_GE(answer.size(), 2U);
    EXPECT_EQ(Slice(answer, 0, 2), (Bytes{0x06, 0x06}));
    EXPECT_TRUE(IsPlainStatusLine(Slice(answer, 2, answer.size() - 2)));
    const BoxReport& r = d.box.Report();
    ASSERT_EQ(r.images.size(), 1U);
    EXPECT_EQ(r.images[0].header, (HeaderWords{0x10, 0, 2, 3, 0, 0x80000000, 0}));
    EXPECT_EQ(r.images[0].data, (Bytes{0x01, 0x02}));
    EXPECT_TRUE(r.violations.empty());
}

TEST(AcceptBox, BeaconsWithinSettleTime_IgnoredAsStale) {
    Driver d(BoxConfig{});
    EXPECT_EQ(d.FeedAt(0x16, 1000), Bytes{0x19});
    EXPECT_TRUE(d.FeedAt(0x16, 1001).empty());
    EXPECT_TRUE(d.FeedAt(0x16, 1099).empty());
    EXPECT_EQ(d.FeedAt(0x16, 1100), Bytes{0x06});
    EXPECT_TRUE(d.FeedAt(0x16, 1101).empty());  // a late beacon while a frame is due is no fault
    EXPECT_TRUE(d.box.Report().violations.empty());
}

TEST(AcceptBox, BadChecksumThenDifferentFrame_BothReported) {
    Driver d(BoxConfig{});
    d.OpenFile();
    Bytes bad = kBootHeader;
    bad.back() ^= 0x01;

    EXPECT_EQ(d.Feed(bad), Bytes{0x15});
    EXPECT_EQ(d.Feed(bad), Bytes{0x15});  // a faithful resend, still bad
    EXPECT_EQ(d.box.Report().resends, 1U);
    EXPECT_EQ(d.box.Report().violations.size(), 2U);
    EXPECT_EQ(d.Feed(kBootHeader), Bytes{0x06});  // not the frame that was refused
    EXPECT_EQ(d.box.Report().violations.size(), 3U);
}

TEST(AcceptBox, RandomRefusals_FaithfulResendsStoreWholeImage) {
    BoxConfig config;
    config.nakShare = 0.3;
    config.seed = 7;
    Driver d(config);
    const Bytes image = Pattern(3 * 4096 + 100);
    d.OpenFile();

    EXPECT_EQ(d.SendUntilAccepted(HeaderFrame({0x1000, 0, 3 * 4096 + 100, Sum(image), 0, 0, 0})),
              Bytes{0x06});
    Bytes last;
    for (std::size_t at = 0; at < image.size(); at += 4096) {
        const std::size_t n = std::min<std::size_t>(4096, image.size() - at);
        last =
            d.SendUntilAccepted(Frame(at + n == image.size() ? 0xF3 : 0xF2, Slice(image, at, n)));
    }

    ASSERT_GE(last.size(), 2U);
    EXPECT_EQ(last[1], 0x06);
    const BoxReport& r = d.box.Report();
    EXPECT_GT(r.naksSent, 0U);
    EXPECT_EQ(r.resends, r.naksSent);
    EXPECT_TRUE(r.violations.empty());
    ASSERT_EQ(r.images.size(), 1U);
    EXPECT_EQ(r.images[0].data, image);
}

// Hands payload to the box in runs of at most `runLength`, as the box runner does.
Bytes FeedInRuns(Driver& d, const Bytes& bytes, std::size_t runLength) {
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = std::min({d.box.PayloadWanted(), runLength, bytes.size() - i});
        if (n > 0) {
            d.box.OnPayload(std::span(bytes).subspan(i, n));
            i += n;
        } else {
            d.box.OnByte(bytes[i++], ++d.now);
        }
    }
    return d.box.TakeOutput();
}

TEST(AcceptBox, PayloadInRuns_SameAnswersAndReportAsByteByByte) {
    const Bytes image = Pattern(4096 + 300);
    Bytes badSum = Frame(0xF2, Slice(image, 0, 4096));
    badSum.back() ^= 0x40;
    Bytes tooLong = Frame(0xF2, Pattern(4100));  // refused, and kept only up to 4096 bytes
    const std::vector<Bytes> conversation = {
        HeaderFrame({0x1000, 0, 4096 + 300, Sum(image), 0, 0, 0}),
        badSum,
        Frame(0xF2, Slice(image, 0, 4096)),
        tooLong,
        Frame(0xF3, Slice(image, 4096, 300)),
    };
    Driver bytewise(BoxConfig{});
    Driver inRuns(BoxConfig{});
    bytewise.OpenFile();
    inRuns.OpenFile();
    for (const Bytes& frame : conversation) {
        EXPECT_EQ(FeedInRuns(inRuns, frame, 1000), bytewise.Feed(frame));
    }

    const BoxReport& a = bytewise.box.Report();
    const BoxReport& b = inRuns.box.Report();
    EXPECT_EQ(b.violations, a.violations);
    EXPECT_EQ(b.bytesIn, a.bytesIn);
    EXPECT_EQ(b.framesIn, a.framesIn);
    EXPECT_EQ(b.naksSent, a.naksSent);
    EXPECT_EQ(b.resends, a.resends);
    ASSERT_EQ(b.images.size(), 1U);
    ASSERT_EQ(a.images.size(), 1U);
    EXPECT_EQ(b.images[0].data, image);
    EXPECT_EQ(b.images[0].header, a.images[0].header);
    EXPECT_EQ(inRuns.box.PayloadWanted(), 0U);  // not inside a frame any more
}

TEST(AcceptBox, NakFirstVerdict_RefusesOnceThenStoresResentFile) {
    BoxConfig config;
    config.nakFirstVerdict = true;
    config.statusLines = false;
    Driver d(config);
    d.OpenFile();
    EXPECT_EQ(d.Feed(kBootHeader), Bytes{0x06});
    EXPECT_EQ(d.Feed(kBootData), (Bytes{0x06, 0x15}));
    EXPECT_EQ(d.box.ImagesAccepted(), 0U);

    EXPECT_EQ(d.Feed({0x16}), Bytes{0x06});
    EXPECT_EQ(d.Feed(kBootHeader), Bytes{0x06});
    EXPECT_EQ(d.Feed(kBootData), (Bytes{0x06, 0x06}));
    EXPECT_EQ(d.box.ImagesAccepted(), 1U);
    EXPECT_TRUE(d.box.Report().violations.empty());
}

struct FaultCase {
    const char* name;
    std::vector<Bytes> frames;
    Bytes lastAnswer;  // to the last frame, status line aside
    bool stored;
};

class AcceptFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(AcceptFaults, PcMistake_ReportedWithExpectedAnswer) {
    BoxConfig config;
    config.statusLines = false;
    Driver d(config);
    d.OpenFile();
    Bytes answer;
    for (const Bytes& frame : GetParam().frames) {
        answer = d.Feed(frame);
    }
    EXPECT_EQ(answer, GetParam().lastAnswer);
    EXPECT_FALSE(d.box.Report().violations.empty());
    EXPECT_EQ(d.box.ImagesAccepted(), GetParam().stored ? 1U : 0U);
}

INSTANTIATE_TEST_SUITE_P(
    Download, AcceptFaults,
    ::testing::Values(FaultCase{"WrongImageSum",
                                {HeaderFrame({0x10, 0, 2, 4, 0, 0, 0}), kBootData},
                                {0x06, 0x15},
                                false},
                      FaultCase{"ShortNonFinalFrame",
                                {HeaderFrame({0x10, 0, 4, 10, 0, 0, 0}), Frame(0xF2, {1, 2}),
                                 Frame(0xF3, {3, 4})},
                                {0x06, 0x06},
                                true},
                      FaultCase{"OddImageLength",
                                {HeaderFrame({0x10, 0, 3, 6, 0, 0, 0}), Frame(0xF3, {1, 2, 3})},
                                {0x06, 0x06},
                                true},
                      FaultCase{"HeaderOf24Bytes", {Frame(0xF1, Bytes(24, 0))}, {0x15}, false},
                      FaultCase{"FrameAbove4096",
                                {HeaderFrame({0x10, 0, 4098, Sum(Pattern(4098)), 0, 0, 0}),
                                 Frame(0xF3, Pattern(4098))},
                                {0x15},
                                false},
                      FaultCase{"StrayByteBeforeMark", {Cat({0x41}, kBootHeader)}, {0x06}, false}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(AcceptBox, SilentOrHangUpAfterOneFrame_AnswersOnlyTheFirst) {
    for (const bool hangUp : {false, true}) {
        BoxConfig config;
        (hangUp ? config.hangUpAfterFrames : config.silentAfterFrames) = 1;
        Driver d(config);
        d.OpenFile();
        EXPECT_EQ(d.Feed(kBootHeader), Bytes{0x06});
        EXPECT_TRUE(d.Feed(kBootData).empty());
        EXPECT_EQ(d.box.HungUp(), hangUp);
        EXPECT_TRUE(d.box.Stopped());
    }
}

// What a box says by itself as time passes, with `feedAt` a beacon at that millisecond (0: none).
struct PowerOnCase {
    const char* name;
    BoxConfig config;
    std::uint64_t feedAt;
    Bytes expected;  // everything the box sent by 2000 ms
};

class AcceptBoxPowerOn : public ::testing::TestWithParam<PowerOnCase> {};

TEST_P(AcceptBoxPowerOn, SaysWhatARealBoxSays) {
    const PowerOnCase& c = GetParam();
    Driver d(c.config);
    Bytes said = d.box.TakeOutput();
    for (std::uint64_t ms = 0; ms <= 2000; ms += 50) {
        d.box.OnIdle(ms);
        if (ms == c.feedAt) {
            d.box.OnByte(0x16, ms);
        }
        said = Cat(said, d.box.TakeOutput());
    }
    EXPECT_EQ(said, c.expected);
}

BoxConfig PowerOn(std::string banner, std::uint32_t listenMs, std::uint32_t loopMs) {
    BoxConfig config;
    config.banner = std::move(banner);
    config.listenMs = listenMs;
    config.rebootLoopMs = loopMs;
    return config;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AcceptBoxPowerOn,
    ::testing::Values(PowerOnCase{"BannerThenReadyOnTheBeacon", PowerOn("L1\r\n", 0, 0), 1500,
                                  Cat(Text("L1\r\n"), {0x19})},
                      PowerOnCase{"BeaconInsideTheWindow", PowerOn("", 1000, 0), 950, {0x19}},
                      PowerOnCase{"BeaconAfterTheWindow_Ignored", PowerOn("", 1000, 0), 1000, {}},
                      PowerOnCase{"RebootLoop_BannerEveryPeriodNoAnswer", PowerOn("b\n", 0, 600),
                                  100, Text("b\nb\nb\nb\n")},
                      PowerOnCase{"RebootLoop_DefaultText", PowerOn("", 0, 1500), 0,
                                  Text("booting...\r\n")}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(AcceptBox, GiveUpAfterZero_RefusesForEver) {
    BoxConfig config;
    config.nakShare = 1.0;
    config.giveUpAfterNaks = 0;
    Driver d(config);
    d.OpenFile();
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(d.Feed(kBootHeader), Bytes{0x15}) << i;
    }
    EXPECT_FALSE(d.box.Stopped());
}

// ---- Send role ----

TEST(SendBox, TwoByteImage_ByteExactConversation) {
    BoxConfig config = SendConfig({0x01, 0x02});
    config.chatter = "boot\r\n";
    Driver d(config);
    EXPECT_EQ(d.box.TakeOutput(), Cat(Text("boot\r\n"), {0x16}));

    EXPECT_EQ(d.Feed({0x80}), Bytes{0x06});
    EXPECT_TRUE(d.Feed({0x80, 0x80}).empty());
    EXPECT_EQ(d.Feed({0x81}), Bytes{0x06});
    EXPECT_EQ(d.Feed({0x82}), Bytes{0x06});
    const Bytes header{0x47, 0xF1, 0x00, 0x00, 0x00, 0x1C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                       0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00,
                       0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x12};
    EXPECT_EQ(d.Feed({0x06}), header);
    EXPECT_TRUE(d.Feed({0x82, 0x41}).empty());  // a stale beacon and noise
    EXPECT_EQ(d.Feed({0x15}), header);          // refused: again, mark included
    EXPECT_EQ(d.Feed({0x06}), kBootData);
    EXPECT_FALSE(d.box.Done());
    EXPECT_TRUE(IsPlainStatusLine(d.Feed({0x06})));
    EXPECT_TRUE(d.box.Done());
    EXPECT_EQ(d.box.Report().naksReceived, 1U);
    EXPECT_TRUE(d.box.Report().violations.empty());
}

TEST(SendBox, ReadyByte_RepeatedUntilFirstBeacon) {
    Driver d(SendConfig({0x01, 0x02}));
    EXPECT_EQ(d.box.TakeOutput(), Bytes{0x16});
    d.box.OnIdle(500);
    d.box.OnIdle(599);
    EXPECT_TRUE(d.box.TakeOutput().empty());
    d.box.OnIdle(600);
    EXPECT_EQ(d.box.TakeOutput(), Bytes{0x16});
    d.box.OnIdle(750);
    EXPECT_EQ(d.box.TakeOutput(), Bytes{0x16});
    EXPECT_EQ(d.FeedAt(0x80, 760), Bytes{0x06});
    d.box.OnIdle(2000);
    EXPECT_TRUE(d.box.TakeOutput().empty());
}

TEST(SendBox, RepeatedBeacons_AnsweredOnceUnlessStillComingAfterReanswerTime) {
    Driver d(SendConfig({0x01, 0x02}));
    (void)d.box.TakeOutput();
    EXPECT_EQ(d.FeedAt(0x80, 10), Bytes{0x06});
    EXPECT_TRUE(d.FeedAt(0x80, 59).empty());
    EXPECT_EQ(d.FeedAt(0x80, 60), Bytes{0x06});  // our answer was lost
    EXPECT_TRUE(d.FeedAt(0x80, 61).empty());
    EXPECT_EQ(d.FeedAt(0x81, 62), Bytes{0x06});
    EXPECT_TRUE(d.FeedAt(0x80, 300).empty());  // an earlier step is never answered again
    EXPECT_EQ(d.FeedAt(0x81, 301), Bytes{0x06});
    EXPECT_EQ(d.FeedAt(0x82, 302), Bytes{0x06});
    EXPECT_EQ(d.FeedAt(0x82, 400), Bytes{0x06});
    EXPECT_EQ(d.FeedAt(0x06, 401).size(), 38U);
}

class SendBlocks : public ::testing::TestWithParam<bool> {};

TEST_P(SendBlocks, ImageIn1024ByteBlocks_SplitAndMarkedAsConfigured) {
    const Bytes image = Pattern(2500);
    BoxConfig config = SendConfig(image);
    config.blockSize = 1024;
    config.markPerBlock = GetParam();
    Driver d(config);
    (void)Handshake(d);

    const Bytes mark = GetParam() ? Bytes{0x47} : Bytes{};
    EXPECT_EQ(d.Feed({0x06}), Frame(0xF2, Slice(image, 0, 1024)));
    EXPECT_EQ(d.Feed({0x06}), Cat(mark, Body(0xF2, Slice(image, 1024, 1024))));
    EXPECT_EQ(d.Feed({0x15}), Cat(mark, Body(0xF2, Slice(image, 1024, 1024))));
    EXPECT_EQ(d.Feed({0x06}), Cat(mark, Body(0xF3, Slice(image, 2048, 452))));
    (void)d.Feed({0x06});
    EXPECT_TRUE(d.box.Done());
    EXPECT_EQ(d.box.Report().resends, 1U);
}

INSTANTIATE_TEST_SUITE_P(Receive, SendBlocks, ::testing::Bool());

TEST(SendBox, CorruptedBlocks_ResentUntilPcHasWholeImage) {
    const Bytes image = Pattern(10 * 256 + 3);
    BoxConfig config = SendConfig(image);
    config.blockSize = 256;
    config.corruptShare = 0.4;
    config.seed = 3;
    Driver d(config);
    (void)Handshake(d);

    // A PC that refuses every block that is not the one it expects next.
    Bytes block = d.Feed({0x06});
    for (std::size_t at = 0; at < image.size() && block.size() > 10;) {
        const std::size_t n = std::min<std::size_t>(256, image.size() - at);
        const Bytes clean = Body(at + n == image.size() ? 0xF3 : 0xF2, Slice(image, at, n));
        const bool good = Slice(block, block.size() - clean.size(), clean.size()) == clean;
        at += good ? n : 0;
        block = d.Feed({good ? std::uint8_t{0x06} : std::uint8_t{0x15}});
    }

    EXPECT_TRUE(d.box.Done());
    const BoxReport& r = d.box.Report();
    EXPECT_GT(r.corrupted, 0U);
    EXPECT_EQ(r.naksReceived, r.corrupted);
    EXPECT_TRUE(r.violations.empty());
}

TEST(SendBox, BlockRefusedTwentyTimes_GivesUpInsteadOfLooping) {
    BoxConfig corrupt = SendConfig({0x01, 0x02});
    corrupt.corruptShare = 1.0;  // a refused final block that was damaged is no verdict
    for (const BoxConfig& config : {corrupt, SendConfig({})}) {
        Driver d(config);
        (void)Handshake(d);
        const std::size_t size = d.Feed({0x06}).size();
        for (int i = 1; i < 20; ++i) {
            ASSERT_EQ(d.Feed({0x15}).size(), size - 1) << "resend " << i;
        }
        EXPECT_TRUE(d.Feed({0x15}).empty());
        EXPECT_TRUE(d.box.Stopped());
        EXPECT_FALSE(d.box.Done());
        EXPECT_EQ(d.box.Report().violations.size(), 1U);
    }
}

TEST(SendBox, VerdictRefused_StopsAndBlamesPcOnlyForHonestHeader) {
    for (const bool honest : {true, false}) {
        BoxConfig config = SendConfig({0x01, 0x02});
        config.overrideHeader = !honest;
        config.sendHeader = HeaderWords{0, 0, 2, 4, 0, 0, 0};  // the true sum is 3
        Driver d(config);
        (void)Handshake(d);
        (void)d.Feed({0x06});
        (void)d.Feed({0x15});
        EXPECT_TRUE(d.Feed({0x15, 0x06}).empty());
        EXPECT_FALSE(d.box.Done());
        EXPECT_TRUE(d.box.Stopped());
        EXPECT_EQ(d.box.Report().violations.size(), honest ? 1U : 0U);
    }
}

TEST(SendBox, SilentOrHangUp_SendsNothingAfterTheNthFrame) {
    BoxConfig silent = SendConfig({0x01, 0x02});
    silent.silentAfterFrames = 1;
    Driver s(silent);
    EXPECT_EQ(Handshake(s).size(), 38U);
    EXPECT_TRUE(s.Feed({0x06}).empty());
    EXPECT_FALSE(s.box.HungUp());

    BoxConfig hangUp = SendConfig({0x01, 0x02});
    hangUp.hangUpAfterFrames = 2;
    Driver h(hangUp);
    (void)Handshake(h);
    EXPECT_EQ(h.Feed({0x06}).size(), 12U);
    EXPECT_TRUE(h.box.HungUp());
    EXPECT_TRUE(h.Feed({0x06}).empty());
}

}  // namespace
}  // namespace vandrelux::boxsim

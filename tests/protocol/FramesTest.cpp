#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "TransferFixture.h"
#include "protocol/Frames.h"

namespace vandrelux::protocol {
namespace {

using test::Bytes;

Bytes HeaderFrame(const ImageHeader& h) {
    std::array<std::uint8_t, kHeaderFrameSize> out{};
    std::uint32_t len = 0;
    BuildHeaderFrame(out, len, h);
    return Bytes(out.begin(), out.begin() + len);
}

Bytes DataFrame(const Bytes& rest, bool& last) {
    std::vector<std::uint8_t> out(kMaxFrameSize);
    std::uint32_t len = 0;
    BuildDataFrame(out, len, rest, last);
    return Bytes(out.begin(), out.begin() + len);
}

TEST(Frames, BootstrapOfTwoBytes_MatchesTheWireExample) {
    const ImageHeader h{0x10, 0, 2, 3, 0, 0x80000000, 0};
    EXPECT_EQ(HeaderFrame(h),
              (Bytes{0x47, 0xF1, 0, 0, 0, 0x1C, 0,    0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0,    2,   0, 0,
                     0,    3,    0, 0, 0, 0,    0x80, 0, 0, 0,    0, 0, 0, 0, 0, 0, 0x01, 0xA2}));
    bool last = false;
    EXPECT_EQ(DataFrame({1, 2}, last), (Bytes{0x47, 0xF3, 0, 0, 0, 2, 1, 2, 0, 0, 0, 0xF8}));
    EXPECT_TRUE(last);
}

TEST(Frames, EmptyImage_IsOneTenByteFinalFrame) {
    bool last = false;
    EXPECT_EQ(DataFrame({}, last), (Bytes{0x47, 0xF3, 0, 0, 0, 0, 0, 0, 0, 0xF3}));
    EXPECT_TRUE(last);
}

TEST(Frames, SizeBoundary_4096IsFinal_4097IsFullMoreFrame) {
    bool last = false;
    const Bytes exact = DataFrame(Bytes(4096, 0xFF), last);
    EXPECT_EQ(exact.size(), 4106U);
    EXPECT_EQ(exact[1], kTypeLast);
    EXPECT_TRUE(last);
    // 0xFF counts as 255, never as -1: 0xF3 + 0x10 (length) + 4096 * 255.
    EXPECT_EQ(GetU32BE(&exact[4102]), 0xF3U + 0x10U + 4096U * 255U);

    const Bytes more = DataFrame(Bytes(4097, 0x80), last);
    EXPECT_EQ(more.size(), 4106U);
    EXPECT_EQ(more[1], kTypeMore);
    EXPECT_EQ(GetU32BE(&more[2]), 4096U);
    EXPECT_FALSE(last);
}

TEST(Frames, ChecksumWrapsModulo2To32) {
    EXPECT_EQ(ByteSum(Bytes{0xFF, 0xFF}, 0xFFFFFF00U), 0xFFU - 1U);
}

TEST(Frames, OutputTooSmall_WritesNothing) {
    std::array<std::uint8_t, kHeaderFrameSize + 2> guarded{};
    guarded.fill(0xAA);
    std::uint32_t len = 99;
    BuildHeaderFrame(std::span(guarded).subspan(1, kHeaderFrameSize - 1), len, ImageHeader{});
    EXPECT_EQ(len, 0U);
    EXPECT_TRUE(std::all_of(guarded.begin(), guarded.end(), [](auto b) { return b == 0xAA; }));

    std::vector<std::uint8_t> small(20, 0xAA);
    bool last = false;
    BuildDataFrame(small, len, Bytes(100, 1), last);
    EXPECT_EQ(len, 0U);
    EXPECT_TRUE(std::all_of(small.begin(), small.end(), [](auto b) { return b == 0xAA; }));
}

TEST(Frames, HeaderWordsRoundTrip) {
    const ImageHeader h{0x01020304, 5, 0xFFFFFFFF, 0x80000000, 0x10, 0x10003000, 7};
    const Bytes frame = HeaderFrame(h);
    std::array<std::uint8_t, kHeaderPayload> payload{};
    std::copy_n(frame.begin() + 6, kHeaderPayload, payload.begin());
    EXPECT_EQ(DecodeHeader(payload), h);
}

class SendToPortTest : public test::TransferTest {};

TEST_F(SendToPortTest, SplitsIntoFullPiecesWithoutAnEmptyTail) {
    const Bytes two(2 * kMaxFrameSize, 0x5A);
    transfer.SendToPort(two.data(), static_cast<std::uint32_t>(two.size()));
    ASSERT_EQ(port.requests.size(), 2U);
    EXPECT_EQ(port.requests[0].size(), kMaxFrameSize);
    EXPECT_EQ(port.requests[1].size(), kMaxFrameSize);
    EXPECT_EQ(port.bufferSizes.back(), kMaxFrameSize);

    port.requests.clear();
    const Bytes longer = test::Pattern(kMaxFrameSize + 5);
    transfer.SendToPort(longer.data(), static_cast<std::uint32_t>(longer.size()));
    ASSERT_EQ(port.requests.size(), 2U);
    EXPECT_EQ(port.requests[1].size(), 5U);
    EXPECT_EQ(port.Take(), longer);
}

}  // namespace
}  // namespace vandrelux::protocol

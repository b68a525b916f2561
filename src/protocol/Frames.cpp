#include "protocol/Frames.h"

#include <algorithm>
#include <numeric>

namespace vandrelux::protocol {

void PutU32BE(std::uint32_t value, std::uint8_t* out) noexcept {
    out[0] = static_cast<std::uint8_t>(value >> 24);
    out[1] = static_cast<std::uint8_t>(value >> 16);
    out[2] = static_cast<std::uint8_t>(value >> 8);
    out[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t GetU32BE(const std::uint8_t* in) noexcept {
    return (std::uint32_t{in[0]} << 24) | (std::uint32_t{in[1]} << 16) |
           (std::uint32_t{in[2]} << 8) | std::uint32_t{in[3]};
}

std::uint32_t ByteSum(std::span<const std::uint8_t> bytes, std::uint32_t start) noexcept {
    return std::accumulate(bytes.begin(), bytes.end(), start,
                           [](std::uint32_t sum, std::uint8_t b) { return sum + b; });
}

ImageHeader DecodeHeader(std::span<const std::uint8_t, kHeaderPayload> payload) noexcept {
    const std::uint8_t* p = payload.data();
    return ImageHeader{GetU32BE(p),      GetU32BE(p + 4),  GetU32BE(p + 8), GetU32BE(p + 12),
                       GetU32BE(p + 16), GetU32BE(p + 20), GetU32BE(p + 24)};
}

void BuildHeaderFrame(std::span<std::uint8_t> out, std::uint32_t& frameLen,
                      const ImageHeader& header) noexcept {
    frameLen = 0;
    if (out.size() < kHeaderFrameSize) {
        return;
    }
    std::uint8_t* p = out.data();
    p[0] = kMark;
    p[1] = kTypeHeader;
    PutU32BE(kHeaderPayload, p + 2);
    const std::uint32_t words[] = {header.dwType,     header.dwReserved, header.dwLength,
                                   header.dwChecksum, header.dwMode,     header.dwAddress,
                                   header.dwParam};
    for (std::size_t i = 0; i < std::size(words); ++i) {
        PutU32BE(words[i], p + 6 + 4 * i);
    }
    PutU32BE(ByteSum(out.subspan(1, 33)), p + 34);
    frameLen = kHeaderFrameSize;
}

void BuildDataFrame(std::span<std::uint8_t> out, std::uint32_t& frameLen,
                    std::span<const std::uint8_t> rest, bool& lastFrame) noexcept {
    frameLen = 0;
    const bool last = rest.size() <= kMaxPayload;
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(rest.size(), kMaxPayload));
    if (out.size() < n + 10) {
        return;
    }
    std::uint8_t* p = out.data();
    p[0] = kMark;
    p[1] = last ? kTypeLast : kTypeMore;
    PutU32BE(n, p + 2);
    std::copy_n(rest.begin(), n, p + 6);
    PutU32BE(ByteSum(out.subspan(1, 5 + n)), p + 6 + n);
    frameLen = n + 10;
    lastFrame = last;
}

}  // namespace vandrelux::protocol

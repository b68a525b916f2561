// Control bytes and the two frame layouts on the line to the box. Every number on the wire is an
// unsigned 32-bit big-endian value; a frame's checksum sums its bytes from the type byte to the
// last payload byte.
#pragma once

#include <cstdint>
#include <span>

namespace vandrelux::protocol {

inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kNak = 0x15;
inline constexpr std::uint8_t kSyn = 0x16;
inline constexpr std::uint8_t kReady = 0x19;
inline constexpr std::uint8_t kMark = 0x47;
inline constexpr std::uint8_t kTypeHeader = 0xF1;
inline constexpr std::uint8_t kTypeMore = 0xF2;
inline constexpr std::uint8_t kTypeLast = 0xF3;
inline constexpr std::uint8_t kBeacon1 = 0x80;
inline constexpr std::uint8_t kBeacon2 = 0x81;
inline constexpr std::uint8_t kBeacon3 = 0x82;

inline constexpr std::uint32_t kMaxPayload = 4096;
inline constexpr std::uint32_t kHeaderPayload = 28;
inline constexpr std::uint32_t kHeaderFrameSize = 38;
inline constexpr std::uint32_t kMaxFrameSize = kMaxPayload + 10;

// Whether an image of `size` bytes, padded to an even length, fits the header's signed 32-bit
// length field.
[[nodiscard]] constexpr bool ImageLengthFits(std::uintmax_t size) {
    return size + (size & 1) <= 0x7FFF'FFFFU;
}

struct ImageHeader {
    std::uint32_t dwType = 0;
    std::uint32_t dwReserved = 0;
    std::uint32_t dwLength = 0;
    std::uint32_t dwChecksum = 0;
    std::uint32_t dwMode = 0;
    std::uint32_t dwAddress = 0;
    std::uint32_t dwParam = 0;

    friend bool operator==(const ImageHeader&, const ImageHeader&) = default;
};

void PutU32BE(std::uint32_t value, std::uint8_t* out) noexcept;
[[nodiscard]] std::uint32_t GetU32BE(const std::uint8_t* in) noexcept;

// Sum of the bytes as unsigned values, modulo 2^32.
[[nodiscard]] std::uint32_t ByteSum(std::span<const std::uint8_t> bytes,
                                    std::uint32_t start = 0) noexcept;

// Decodes the seven words from the first 28 bytes of a header payload.
[[nodiscard]] ImageHeader DecodeHeader(
    std::span<const std::uint8_t, kHeaderPayload> payload) noexcept;

// Writes the 38-byte header frame. An output shorter than that is left untouched and the length
// set to 0.
void BuildHeaderFrame(std::span<std::uint8_t> out, std::uint32_t& frameLen,
                      const ImageHeader& header) noexcept;

// Writes one data frame from the start of `rest` (the image bytes not yet acknowledged): a full
// 0xF2 frame while more than 4096 bytes remain, else the final 0xF3 frame. Leaves the caller's
// cursor alone. An output too short for the frame is left untouched and the length set to 0.
void BuildDataFrame(std::span<std::uint8_t> out, std::uint32_t& frameLen,
                    std::span<const std::uint8_t> rest, bool& lastFrame) noexcept;

}  // namespace vandrelux::protocol

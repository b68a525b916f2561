// SHA-256, for the records of which image each box got: what sha256sum prints for a file.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace vandrelux::store {

class CSha256 {
public:
    void Update(std::span<const std::uint8_t> bytes);
    // The digest of everything given; the object is spent.
    [[nodiscard]] std::array<std::uint8_t, 32> Finish();

private:
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 8> m_state{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::array<std::uint8_t, 64> m_pending{};
    std::size_t m_pendingSize = 0;
    std::uint64_t m_length = 0;  // bytes given
};

// A digest as 64 lowercase hex digits, as sha256sum prints it.
[[nodiscard]] std::string HexDigits(const std::array<std::uint8_t, 32>& digest);
// The digest of `bytes`, so written.
[[nodiscard]] std::string Sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace vandrelux::store

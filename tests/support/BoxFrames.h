// Frames as the box sends them, for the receive direction's tests.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "protocol/Frames.h"

namespace vandrelux::test {

using Bytes = std::vector<std::uint8_t>;

// A frame from its type byte on, announcing `announced` payload bytes.
inline Bytes BoxFrame(std::uint8_t type, const Bytes& payload, std::uint32_t announced) {
    Bytes f{type, 0, 0, 0, 0};
    protocol::PutU32BE(announced, &f[1]);
    f.insert(f.end(), payload.begin(), payload.end());
    const std::uint32_t sum = protocol::ByteSum(f);
    f.resize(f.size() + 4);
    protocol::PutU32BE(sum, &f[f.size() - 4]);
    return f;
}

inline Bytes BoxFrame(std::uint8_t type, const Bytes& payload) {
    return BoxFrame(type, payload, static_cast<std::uint32_t>(payload.size()));
}

inline Bytes HeaderPayload(std::uint32_t length, std::uint32_t checksum, std::uint32_t other = 0) {
    Bytes p(28);
    const std::uint32_t words[] = {other, other, length, checksum, other, other, other};
    for (int i = 0; i < 7; ++i) {
        protocol::PutU32BE(words[i], &p[static_cast<std::size_t>(4 * i)]);
    }
    return p;
}

// Everything a box sends to hand over `image` in one block, once "to receive" was pressed: its
// ready byte, the three handshake answers, the header and the image.
inline Bytes WholeReceive(const Bytes& image) {
    Bytes bytes{0x16, 0x06, 0x06, 0x06, 0x47};
    const auto add = [&bytes](const Bytes& more) {
        bytes.insert(bytes.end(), more.begin(), more.end());
    };
    add(BoxFrame(
        0xF1, HeaderPayload(static_cast<std::uint32_t>(image.size()), protocol::ByteSum(image))));
    bytes.push_back(0x47);
    add(BoxFrame(0xF3, image));
    return bytes;
}

inline Bytes Swapped(Bytes b) {
    for (std::size_t i = 0; i + 1 < b.size(); i += 2) {
        std::swap(b[i], b[i + 1]);
    }
    return b;
}

}  // namespace vandrelux::test

// The Telnet codec fed what a server might send, cut into reads at arbitrary points: the first
// byte seeds the cuts. However the bytes are cut, the codec must decode the same data, keep the
// same reports and answer the same way, and never answer more than its limit.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "device/net/TelnetCodec.h"

namespace {

using vandrelux::platform::telnet::Codec;
using Bytes = std::vector<std::uint8_t>;

struct Run {
    Bytes data;
    Bytes output;
};

Run Decode(const std::uint8_t* bytes, std::size_t size, std::uint32_t seed) {
    Codec codec;
    codec.Start();
    Run run;
    codec.TakeOutput(run.output);
    std::size_t at = 0;
    while (at < size) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t cut = seed == 0 ? size - at : 1 + (seed >> 16) % (size - at);
        Bytes chunk(bytes + at, bytes + at + cut);
        chunk.resize(codec.DecodeInPlace(chunk.data(), chunk.size()));
        run.data.insert(run.data.end(), chunk.begin(), chunk.end());
        codec.TakeOutput(run.output);
        at += cut;
    }
    // What decoded must come back the same after the way out and in again.
    Bytes wire;
    codec.EncodeData(run.data, wire);
    Codec again;
    if (codec.LocalEnabled(vandrelux::platform::telnet::kBinary)) {
        const std::uint8_t binary[] = {vandrelux::platform::telnet::IAC,
                                       vandrelux::platform::telnet::WILL,
                                       vandrelux::platform::telnet::kBinary};
        for (const std::uint8_t b : binary) {
            static_cast<void>(again.Feed(b));
        }
    }
    Bytes back = wire;
    back.resize(again.DecodeInPlace(back.data(), back.size()));
    if (back != run.data) {
        __builtin_trap();
    }
    return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint32_t seed = data[0];
    const Run whole = Decode(data + 1, size - 1, 0);
    const Run cut = Decode(data + 1, size - 1, seed | 1u);
    if (whole.data != cut.data || whole.output != cut.output || whole.data.size() > size) {
        __builtin_trap();
    }
    return 0;
}

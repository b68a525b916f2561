// Mode strings and COM port names as any text at all.
#include <string_view>

#include "device/ComPortNames.h"
#include "device/SerialDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vandrelux::platform;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    LineState state;
    const LineState before = state;
    if (!BuildLineState(text, state) && !(state == before)) {
        __builtin_trap();  // an unreadable string must leave the state alone
    }
    if (const auto n = ParseComName(text); n && (*n < 1 || *n > 255)) {
        __builtin_trap();
    }
    return 0;
}

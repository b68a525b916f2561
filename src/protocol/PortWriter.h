// What the transfer needs of the serial port: one write request slot and its send buffer.
#pragma once

#include <cstdint>

namespace vandrelux::protocol {

class IPortWriter {
public:
    virtual ~IPortWriter() = default;

    // Makes the send buffer hold `size` bytes; requests are never longer than that.
    virtual void EnsureSendBuffer(std::uint32_t size) = 0;
    // Hands `length` bytes to the port and returns before they are written. A request replaces
    // one that has not begun yet; the bytes are copied, so `data` may be reused at once.
    virtual void RequestWrite(const std::uint8_t* data, std::uint32_t length) = 0;
};

}  // namespace vandrelux::protocol

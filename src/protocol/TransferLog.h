// The two log panes as the transfer sees them.
#pragma once

#include <string_view>

namespace vandrelux::protocol {

class ITransferLog {
public:
    virtual ~ITransferLog() = default;

    // The message log: whole lines ending in "\r\n".
    virtual void AppendText(std::string_view text) = 0;
    // The terminal log: one byte the box printed.
    virtual void AppendChar(char ch) = 0;
};

}  // namespace vandrelux::protocol

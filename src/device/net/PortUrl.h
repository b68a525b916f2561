// Network ports named like serial ports: rfc2217://HOST:PORT (Telnet with COM-port control) and
// tcp://HOST:PORT (raw bytes; socket:// is the same, as other serial tools spell it).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vandrelux::platform {

enum class PortScheme { Rfc2217, RawTcp };

struct PortUrl {
    PortScheme scheme = PortScheme::RawTcp;
    std::string host;  // a name, an IPv4 address, or an IPv6 address without its brackets
    std::string port;  // decimal, 1 to 65535

    friend bool operator==(const PortUrl&, const PortUrl&) = default;
};

// True when the name starts with one of the schemes, well formed or not: such a name never
// means a device file.
[[nodiscard]] bool IsNetworkPortName(std::string_view name);

// The parts of a network port name; nothing for a name that is not one, or is malformed.
[[nodiscard]] std::optional<PortUrl> ParsePortUrl(std::string_view name);

// The name again, in one spelling per port: scheme in lower case, tcp for socket, host in
// lower case; so two spellings of one port compare equal.
[[nodiscard]] std::string CanonicalPortName(const PortUrl& url);

}  // namespace vandrelux::platform

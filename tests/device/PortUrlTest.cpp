#include <gtest/gtest.h>

#include "device/net/PortUrl.h"

namespace vandrelux::platform {
namespace {

struct UrlCase {
    const char* name;
    std::optional<PortUrl> want;
};

TEST(ParsePortUrl, Names_MapToTheirParts) {
    const UrlCase cases[] = {
        {"rfc2217://localhost:2000", PortUrl{PortScheme::Rfc2217, "localhost", "2000"}},
        {"RFC2217://Box-7.lab.example:65535",
         PortUrl{PortScheme::Rfc2217, "Box-7.lab.example", "65535"}},
        {"tcp://192.168.1.20:4001", PortUrl{PortScheme::RawTcp, "192.168.1.20", "4001"}},
        {"socket://10.0.0.1:1", PortUrl{PortScheme::RawTcp, "10.0.0.1", "1"}},
        {"tcp://[::1]:2000", PortUrl{PortScheme::RawTcp, "::1", "2000"}},
        {"rfc2217://[fe80::1%eth0]:2000", PortUrl{PortScheme::Rfc2217, "fe80::1%eth0", "2000"}},
        {"tcp://[::ffff:127.0.0.1]:080", PortUrl{PortScheme::RawTcp, "::ffff:127.0.0.1", "80"}},
        {"tcp://host", std::nullopt},
        {"tcp://host:", std::nullopt},
        {"tcp://:2000", std::nullopt},
        {"tcp://host:0", std::nullopt},
        {"tcp://host:65536", std::nullopt},
        {"tcp://host:+80", std::nullopt},
        {"tcp://host:80/path", std::nullopt},
        {"tcp://::1:2000", std::nullopt},
        {"tcp://[::1]2000", std::nullopt},
        {"tcp://[host]:2000", std::nullopt},
        {"tcp://[::1%]:2000", std::nullopt},
        {"tcp://ho st:1", std::nullopt},
        {"tcp://user@host:1", std::nullopt},
        {"telnet://host:23", std::nullopt},
        {"/dev/ttyUSB0", std::nullopt},
        {"COM1", std::nullopt},
    };
    for (const UrlCase& c : cases) {
        EXPECT_EQ(ParsePortUrl(c.name), c.want) << c.name;
    }
}

TEST(ParsePortUrl, SchemeAlone_DecidesWhetherANameIsANetworkPort) {
    EXPECT_TRUE(IsNetworkPortName("tcp://"));
    EXPECT_TRUE(IsNetworkPortName("Socket://nothing-valid"));
    EXPECT_FALSE(IsNetworkPortName("./tcp://x:1"));
    EXPECT_FALSE(IsNetworkPortName("/dev/ttyS0"));
}

TEST(ParsePortUrl, CanonicalName_IsOneSpellingPerPort) {
    EXPECT_EQ(CanonicalPortName(*ParsePortUrl("SOCKET://LocalHost:02000")), "tcp://localhost:2000");
    EXPECT_EQ(CanonicalPortName(*ParsePortUrl("tcp://[FE80::1]:9")), "tcp://[fe80::1]:9");
    EXPECT_EQ(CanonicalPortName(*ParsePortUrl("rfc2217://h:7")), "rfc2217://h:7");
}

}  // namespace
}  // namespace vandrelux::platform

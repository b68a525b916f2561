#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/SerialDevice.h"

namespace vandrelux::platform {
namespace {

TEST(BuildLineState, ReadableModes_FillTheNamedFields) {
    const LineState start{9600, 'E', 7, 2, true};
    const struct {
        const char* mode;
        LineState expected;
    } cases[] = {
        {"baud=115200 parity=N data=8 stop=1", {115200, 'N', 8, 1, true}},
        {"stop=2 data=5 parity=O baud=300", {300, 'O', 5, 2, true}},
        {"baud=57600 parity=m data=6 stop=1", {57600, 'M', 6, 1, true}},
        {"parity=s", {9600, 'S', 7, 2, true}},
        {"  baud=1200\tdata=8  ", {1200, 'E', 8, 2, true}},
        {"BAUD=4800 Parity=e", {4800, 'E', 7, 2, true}},
    };
    for (const auto& c : cases) {
        LineState state = start;
        EXPECT_TRUE(BuildLineState(c.mode, state)) << c.mode;
        EXPECT_EQ(state, c.expected) << c.mode;
    }
}

TEST(BuildLineState, UnreadableModes_FailAndLeaveTheStateAlone) {
    const LineState start{9600, 'E', 7, 2, true};
    const std::vector<std::string> modes = {
        "",
        "   ",
        "baud=0",
        "baud=-9600",
        "baud=+9600",
        "baud=",
        "baud=96OO",
        "baud=99999999999999",
        "baud = 9600",
        "baud:9600",
        "parity=X",
        "parity=NN",
        "parity=",
        "data=4",
        "data=9",
        "stop=0",
        "stop=3",
        "stop=1.5",
        "speed=9600",
        "baud=9600 parity=N data=8 stop=1 flow=x",
        "baud=9600 baud=19200",
        "baud=9600,parity=N",
        "9600,n,8,1",
    };
    for (const auto& mode : modes) {
        LineState state = start;
        EXPECT_FALSE(BuildLineState(mode, state)) << '"' << mode << '"';
        EXPECT_EQ(state, start) << '"' << mode << '"';
    }
}

}  // namespace
}  // namespace vandrelux::platform

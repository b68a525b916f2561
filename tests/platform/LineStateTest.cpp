#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/SerialDevice.h"
#include "platform/posix/TermiosMapping.h"

namespace vandrelux::platform {
namespace {

LineState Line(int baud, char parity, int data, int stop) {
    return LineState{baud, parity, data, stop, false};
}

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

// The termios side of every format, including those a pseudo-terminal cannot carry.
TEST(TermiosMapping, EveryFormat_RoundTripsThroughTermios) {
    const struct {
        LineState state;
        tcflag_t framing;
        speed_t speed;
    } cases[] = {
        {Line(115200, 'N', 8, 1), CS8, B115200},
        {Line(9600, 'E', 7, 1), CS7 | PARENB, B9600},
        {Line(300, 'O', 7, 2), CS7 | PARENB | PARODD | CSTOPB, B300},
        {Line(50, 'M', 5, 1), CS5 | PARENB | PARODD | CMSPAR, B50},
        {Line(4000000, 'S', 6, 2), CS6 | PARENB | CMSPAR | CSTOPB, B4000000},
        {Line(921600, 'N', 8, 2), CS8 | CSTOPB, B921600},
    };
    const tcflag_t framingMask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    for (const auto& c : cases) {
        termios t{};
        t.c_cflag = PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;  // leftovers to be cleared
        t.c_iflag = IXON | IXOFF | ICRNL;
        t.c_lflag = ICANON | ECHO;
        ASSERT_TRUE(posix::ApplyLineFormat(c.state, t)) << c.state.baudRate;
        EXPECT_EQ(t.c_cflag & framingMask, c.framing) << c.state.baudRate;
        EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), CLOCAL | CREAD);
        EXPECT_EQ(t.c_cflag & CRTSCTS, 0U);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), 0U);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0U);
        EXPECT_EQ(cfgetispeed(&t), c.speed);
        EXPECT_EQ(cfgetospeed(&t), c.speed);
        EXPECT_EQ(posix::LineFormatOf(t), c.state);
    }
}

TEST(TermiosMapping, UnsupportedFormat_IsRefusedAndLeavesTermiosAlone) {
    const LineState cases[] = {
        Line(12345, 'N', 8, 1), Line(0, 'N', 8, 1),    Line(-9600, 'N', 8, 1),
        Line(9600, 'X', 8, 1),  Line(9600, 'N', 4, 1), Line(9600, 'N', 9, 1),
        Line(9600, 'N', 8, 0),  Line(9600, 'N', 8, 3),
    };
    for (const auto& state : cases) {
        termios t{};
        t.c_cflag = CS7 | PARENB;
        t.c_lflag = ICANON;
        const termios before = t;
        EXPECT_FALSE(posix::ApplyLineFormat(state, t));
        EXPECT_EQ(t.c_cflag, before.c_cflag);
        EXPECT_EQ(t.c_lflag, before.c_lflag);
    }
}

}  // namespace
}  // namespace vandrelux::platform

#include <gtest/gtest.h>

#include "device/SerialDevice.h"
#include "device/posix/TermiosMapping.h"

namespace vandrelux::platform {
namespace {

LineState Line(int baud, char parity, int data, int stop) {
    return LineState{baud, parity, data, stop, false};
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

#include "device/posix/TermiosMapping.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace vandrelux::platform::posix {
namespace {

struct SpeedEntry {
    int baudRate;
    speed_t constant;
};

constexpr std::array kSpeeds{
    SpeedEntry{50, B50},           SpeedEntry{75, B75},           SpeedEntry{110, B110},
    SpeedEntry{134, B134},         SpeedEntry{150, B150},         SpeedEntry{200, B200},
    SpeedEntry{300, B300},         SpeedEntry{600, B600},         SpeedEntry{1200, B1200},
    SpeedEntry{1800, B1800},       SpeedEntry{2400, B2400},       SpeedEntry{4800, B4800},
    SpeedEntry{9600, B9600},       SpeedEntry{19200, B19200},     SpeedEntry{38400, B38400},
    SpeedEntry{57600, B57600},     SpeedEntry{115200, B115200},   SpeedEntry{230400, B230400},
#ifdef B4000000
    SpeedEntry{460800, B460800},   SpeedEntry{500000, B500000},   SpeedEntry{576000, B576000},
    SpeedEntry{921600, B921600},   SpeedEntry{1000000, B1000000}, SpeedEntry{1152000, B1152000},
    SpeedEntry{1500000, B1500000}, SpeedEntry{2000000, B2000000}, SpeedEntry{2500000, B2500000},
    SpeedEntry{3000000, B3000000}, SpeedEntry{3500000, B3500000}, SpeedEntry{4000000, B4000000},
#endif
};

#ifdef CMSPAR
constexpr tcflag_t kStickParity = CMSPAR;
#else
constexpr tcflag_t kStickParity = 0;  // mark and space parity are then refused
#endif

constexpr tcflag_t kFramingBits = tcflag_t{CSIZE | CSTOPB | PARENB | PARODD} | kStickParity;

std::optional<tcflag_t> ParityBits(char parity) {
    switch (std::toupper(static_cast<unsigned char>(parity))) {
        case 'N':
            return tcflag_t{0};
        case 'E':
            return tcflag_t{PARENB};
        case 'O':
            return tcflag_t{PARENB | PARODD};
        case 'M':
            return kStickParity == 0 ? std::nullopt
                                     : std::optional(tcflag_t{PARENB | PARODD} | kStickParity);
        case 'S':
            return kStickParity == 0 ? std::nullopt
                                     : std::optional(tcflag_t{PARENB} | kStickParity);
        default:
            return std::nullopt;
    }
}

std::optional<tcflag_t> SizeBits(int dataBits) {
    switch (dataBits) {
        case 5:
            return tcflag_t{CS5};
        case 6:
            return tcflag_t{CS6};
        case 7:
            return tcflag_t{CS7};
        case 8:
            return tcflag_t{CS8};
        default:
            return std::nullopt;
    }
}

}  // namespace

std::optional<speed_t> SpeedConstant(int baudRate) {
    const auto it = std::find_if(kSpeeds.begin(), kSpeeds.end(),
                                 [&](const SpeedEntry& e) { return e.baudRate == baudRate; });
    return it == kSpeeds.end() ? std::nullopt : std::optional(it->constant);
}

int BaudRateOf(speed_t speed) {
    const auto it = std::find_if(kSpeeds.begin(), kSpeeds.end(),
                                 [&](const SpeedEntry& e) { return e.constant == speed; });
    return it == kSpeeds.end() ? 0 : it->baudRate;
}

bool ApplyLineFormat(const LineState& state, termios& settings) {
    const auto speed = SpeedConstant(state.baudRate);
    const auto parity = ParityBits(state.parity);
    const auto size = SizeBits(state.dataBits);
    if (!speed || !parity || !size || (state.stopBits != 1 && state.stopBits != 2)) {
        return false;
    }
    termios raw = settings;
    cfmakeraw(&raw);
    raw.c_iflag &= ~tcflag_t{IXOFF | IXANY | INPCK};
    raw.c_cflag &= ~(kFramingBits | tcflag_t{CRTSCTS});
    raw.c_cflag |= tcflag_t{CLOCAL | CREAD} | *size | *parity |
                   (state.stopBits == 2 ? tcflag_t{CSTOPB} : tcflag_t{0});
    // VMIN 1 keeps "nothing queued" (EAGAIN on this non-blocking port) apart from end of file.
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (cfsetispeed(&raw, *speed) != 0 || cfsetospeed(&raw, *speed) != 0) {
        return false;
    }
    settings = raw;
    return true;
}

LineState LineFormatOf(const termios& settings) {
    LineState state;
    state.baudRate = BaudRateOf(cfgetospeed(&settings));
    const tcflag_t c = settings.c_cflag;
    if ((c & tcflag_t{PARENB}) == 0) {
        state.parity = 'N';
    } else if ((c & kStickParity) != 0) {
        state.parity = (c & tcflag_t{PARODD}) != 0 ? 'M' : 'S';
    } else {
        state.parity = (c & tcflag_t{PARODD}) != 0 ? 'O' : 'E';
    }
    switch (c & tcflag_t{CSIZE}) {
        case CS5:
            state.dataBits = 5;
            break;
        case CS6:
            state.dataBits = 6;
            break;
        case CS7:
            state.dataBits = 7;
            break;
        default:
            state.dataBits = 8;
            break;
    }
    state.stopBits = (c & tcflag_t{CSTOPB}) != 0 ? 2 : 1;
    state.rtsEnabled = false;
    return state;
}

}  // namespace vandrelux::platform::posix

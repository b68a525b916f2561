// The line settings of a serial port, as the port settings dialog and the devices share them.
#pragma once

namespace vandrelux::platform {

// Line settings as a mode string describes them ("baud=115200 parity=N data=8 stop=1").
struct LineState {
    int baudRate = 0;
    char parity = 'N';  // N, E, O, M or S
    int dataBits = 8;   // 5 to 8
    int stopBits = 1;   // 1 or 2
    bool rtsEnabled = false;

    friend bool operator==(const LineState&, const LineState&) = default;
};

}  // namespace vandrelux::platform

// The steps of a serial port that can fail: opening and configuring it, waiting on it, reading
// and writing. The window names them by the system's calls in its error boxes; the CLI says in
// words what failed.
#pragma once

#include "device/SerialDevice.h"

namespace vandrelux::platform {

enum class PortStep {
    Open,
    SetTimeouts,
    SetEventMask,
    GetLineState,
    BuildLineState,
    SetLineState,
    Purge,
    Wait,   // the wait for the port's events
    Watch,  // handing the port to a loop that waits on many
    Read,
    ReadCompletion,  // the wait for an overlapped read to complete
    Write,
    WriteCompletion,
};

// The system's name of the step, as the window's error box shows it: "CreateFile()",
// "SetCommState()", "GetOverlappedResults() in ReadFile()", ...
[[nodiscard]] const char* StepName(PortStep step);

// The step of a failed Read or Write, by where it stopped.
[[nodiscard]] constexpr PortStep ReadStep(IoStep at) noexcept {
    return at == IoStep::CompletionWait ? PortStep::ReadCompletion : PortStep::Read;
}
[[nodiscard]] constexpr PortStep WriteStep(IoStep at) noexcept {
    return at == IoStep::CompletionWait ? PortStep::WriteCompletion : PortStep::Write;
}

}  // namespace vandrelux::platform

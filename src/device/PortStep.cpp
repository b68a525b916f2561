#include "device/PortStep.h"

namespace vandrelux::platform {

const char* StepName(PortStep step) {
    switch (step) {
        case PortStep::Open:
            return "CreateFile()";
        case PortStep::SetTimeouts:
            return "SetCommTimeouts()";
        case PortStep::SetEventMask:
            return "SetCommMask()";
        case PortStep::GetLineState:
            return "GetCommState()";
        case PortStep::BuildLineState:
            return "BuildCommDCB()";
        case PortStep::SetLineState:
            return "SetCommState()";
        case PortStep::Purge:
            return "PurgeComm()";
        case PortStep::Wait:
            return "WaitCommEvent()";
        case PortStep::Watch:
            return "watching the port";
        case PortStep::Read:
            return "ReadFile()";
        case PortStep::ReadCompletion:
            return "GetOverlappedResults() in ReadFile()";
        case PortStep::Write:
            return "WriteFile()";
        case PortStep::WriteCompletion:
            return "GetOverlappedResults() in WriteFile()";
    }
    return "?";
}

}  // namespace vandrelux::platform

#include "os/ThreadPriority.h"

#include <windows.h>

namespace vandrelux::platform {

bool RaiseThreadPriority() noexcept {
    return ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL) != FALSE;
}

}  // namespace vandrelux::platform

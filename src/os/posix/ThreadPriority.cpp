#include "os/ThreadPriority.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vandrelux::platform {

// Only the nice value: a real-time class was tried and measured, and on a loaded machine it cost
// line efficiency at 921600 baud (the monitor then preempts the thread that handles its bytes).
bool RaiseThreadPriority() noexcept {
    // RLIMIT_NICE says how low an unprivileged thread may go; CAP_SYS_NICE goes to -20 anyway.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NICE, &limit) != 0) {
        return false;
    }
    const int allowed =
        limit.rlim_cur == RLIM_INFINITY
            ? -20
            : std::max(-20, 20 - static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 40)));
    // On Linux a thread id names that thread alone.
    const auto self = static_cast<id_t>(::gettid());
    errno = 0;
    const int now = ::getpriority(PRIO_PROCESS, self);
    if (errno != 0 || now <= -20) {
        return false;
    }
    // Where the limit allows nothing lower, the capability may still: try the lowest first.
    return ::setpriority(PRIO_PROCESS, self, -20) == 0 ||
           (allowed < now && ::setpriority(PRIO_PROCESS, self, allowed) == 0);
}

}  // namespace vandrelux::platform

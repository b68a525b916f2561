#include "platform/ThreadPriority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vandrelux::platform {

bool RaiseThreadPriority() noexcept {
    // The lowest real-time priority is above every ordinary thread and below the system's own.
    sched_param param{};
    param.sched_priority = ::sched_get_priority_min(SCHED_FIFO);
    if (::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param) == 0) {
        return true;
    }
    // Without that right (no CAP_SYS_NICE, RLIMIT_RTPRIO 0), RLIMIT_NICE may still allow a lower
    // nice value; on Linux a thread id names that thread alone.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NICE, &limit) != 0) {
        return false;
    }
    const int lowest =
        limit.rlim_cur == RLIM_INFINITY
            ? -20
            : std::max(-20, 20 - static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 40)));
    const auto self = static_cast<id_t>(::gettid());
    errno = 0;
    const int now = ::getpriority(PRIO_PROCESS, self);
    return errno == 0 && lowest < now && ::setpriority(PRIO_PROCESS, self, lowest) == 0;
}

}  // namespace vandrelux::platform

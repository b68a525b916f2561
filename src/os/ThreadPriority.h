// The scheduling priority of the calling thread, for threads that must be ready the moment their
// input comes (a port's monitor).
#pragma once

namespace vandrelux::platform {

// Raises the calling thread, and no other: to time-critical on Windows; on Linux to the lowest
// nice value the system grants (-20 with CAP_SYS_NICE, else what RLIMIT_NICE allows). Returns
// false, with the thread as it was, where nothing higher is granted.
bool RaiseThreadPriority() noexcept;

}  // namespace vandrelux::platform

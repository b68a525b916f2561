// The scheduling priority of the calling thread, for threads that must be ready the moment their
// input comes (a port's monitor).
#pragma once

namespace vandrelux::platform {

// Raises the calling thread, and no other, to the highest priority the system grants an
// ordinary program without harm: time-critical on Windows; on Linux the lowest real-time
// priority, or failing the right to that, the lowest nice value the limits allow. Returns false,
// with the thread as it was, where the system permits none of these.
bool RaiseThreadPriority() noexcept;

}  // namespace vandrelux::platform

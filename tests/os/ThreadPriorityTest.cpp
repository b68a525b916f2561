#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <thread>

#include "os/ThreadPriority.h"

namespace vandrelux::platform {
namespace {

struct Priority {
    int policy = SCHED_OTHER;
    int nice = 0;
    friend bool operator==(const Priority&, const Priority&) = default;
};

Priority OfThisThread() {
    Priority p;
    sched_param param{};
    EXPECT_EQ(::pthread_getschedparam(::pthread_self(), &p.policy, &param), 0);
    p.nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
    return p;
}

// Raised or not (that depends on the rights the tests run with), the answer is true to what
// happened, and the threads around the raised one keep their priority.
TEST(ThreadPriority, RaisesTheCallingThreadAlone_AndSaysWhetherItDid) {
    const Priority before = OfThisThread();
    Priority raised;
    bool answer = false;
    std::thread monitor([&] {
        const Priority own = OfThisThread();
        answer = RaiseThreadPriority();
        raised = OfThisThread();
        if (!answer) {
            EXPECT_EQ(raised, own);
        }
    });
    monitor.join();
    if (answer) {
        EXPECT_LT(raised.nice, before.nice);
        EXPECT_EQ(raised.policy, before.policy);
    }
    EXPECT_EQ(OfThisThread(), before);
}

}  // namespace
}  // namespace vandrelux::platform

/* Preloaded into Wine for the tests: gives pseudo-terminals the modem-control lines of a serial
 * port. Wine's comm-event wait reads the modem status and gives up at once (error 995) when that
 * fails, as it does on a pty, so without this every WaitCommEvent would end within milliseconds.
 * The outputs (DTR, RTS) keep what was set; the inputs read as a box that is present. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

enum { kOutputs = TIOCM_DTR | TIOCM_RTS, kInputs = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR };

static int g_lines = kOutputs | kInputs;

/* Unix98 pty slaves and masters live on majors 136 to 143 and 128 to 135. */
static int is_pty(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        return 0;
    }
    const unsigned int m = major(st.st_rdev);
    return (m >= 128 && m <= 143) || (m == 5 && minor(st.st_rdev) == 2);
}

int ioctl(int fd, unsigned long request, ...) {
    static int (*real_ioctl)(int, unsigned long, ...);
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (real_ioctl == 0) {
        real_ioctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    }
    if ((request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC ||
         request == TIOCMSET) &&
        arg != 0 && is_pty(fd)) {
        int* bits = (int*)arg;
        switch (request) {
            case TIOCMGET:
                *bits = __atomic_load_n(&g_lines, __ATOMIC_SEQ_CST);
                break;
            case TIOCMBIS:
                __atomic_or_fetch(&g_lines, *bits & kOutputs, __ATOMIC_SEQ_CST);
                break;
            case TIOCMBIC:
                __atomic_and_fetch(&g_lines, ~(*bits & kOutputs), __ATOMIC_SEQ_CST);
                break;
            default:
                __atomic_store_n(&g_lines, (*bits & kOutputs) | kInputs, __ATOMIC_SEQ_CST);
                break;
        }
        return 0;
    }
    return real_ioctl(fd, request, arg);
}

// What a failed system call leaves behind, in the system's words.
//
// Threading: the last error is the calling thread's own.
#pragma once

#include <string>

namespace vandrelux::platform {

struct SystemError {
    int code = 0;         // the OS's error number
    std::string message;  // the OS's text for it
};

// The last error of the calling thread, in the OS's words.
[[nodiscard]] SystemError LastSystemError();
// Makes `error`, met on another thread, the calling thread's last error, as LastSystemError
// reads it.
void SetLastSystemError(const SystemError& error);

}  // namespace vandrelux::platform

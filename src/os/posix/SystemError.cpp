#include "os/SystemError.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>

#include "os/ErrorDetail.h"
#include "os/Event.h"

namespace vandrelux::platform {

namespace {

template <typename Call>
auto RetryOnEintr(Call call) {
    for (;;) {
        const auto result = call();
        if (result != -1 || errno != EINTR) {
            return result;
        }
    }
}

// GNU strerror_r returns its text, the XSI one fills the buffer; both are thread-safe.
[[maybe_unused]] const char* ErrorText(const char* gnuResult, const char*) {
    return gnuResult;
}
[[maybe_unused]] const char* ErrorText(int, const char* buffer) {
    return buffer;
}

}  // namespace

SystemError LastSystemError() {
    const int code = errno;
    if (std::optional<std::string> detail = ErrorDetailFor(code)) {
        return {code, std::move(*detail)};
    }
    std::array<char, 256> buffer{};
    return {code, ErrorText(strerror_r(code, buffer.data(), buffer.size()), buffer.data())};
}

void SetLastSystemError(const SystemError& error) {
    SetErrorDetail(error.code, error.message);
    errno = error.code;
}

Event::Event() : m_handle(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (m_handle < 0) {
        throw std::system_error(errno, std::system_category(), "eventfd");
    }
}

Event::~Event() {
    ::close(static_cast<int>(m_handle));
}

void Event::Set() noexcept {
    const std::uint64_t one = 1;
    // EAGAIN means the counter is saturated, which is still set.
    const auto written =
        RetryOnEintr([&] { return ::write(static_cast<int>(m_handle), &one, sizeof one); });
    static_cast<void>(written);
}

void Event::Reset() noexcept {
    std::uint64_t count = 0;
    const auto drained =
        RetryOnEintr([&] { return ::read(static_cast<int>(m_handle), &count, sizeof count); });
    static_cast<void>(drained);
}

bool Event::IsSet() const noexcept {
    pollfd p{static_cast<int>(m_handle), POLLIN, 0};
    return RetryOnEintr([&] { return ::poll(&p, 1, 0); }) > 0 && (p.revents & POLLIN) != 0;
}

}  // namespace vandrelux::platform

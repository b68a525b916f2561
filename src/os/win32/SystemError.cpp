#include "os/SystemError.h"

#include <windows.h>

#include <optional>
#include <system_error>

#include "os/ErrorDetail.h"
#include "os/Event.h"
#include "os/Format.h"

namespace vandrelux::platform {

namespace {

HANDLE HandleOf(const Event& event) {
    return reinterpret_cast<HANDLE>(event.NativeHandle());
}

HANDLE NewManualResetEvent() {
    HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                                "CreateEvent");
    }
    return event;
}

}  // namespace

SystemError LastSystemError() {
    const DWORD code = ::GetLastError();
    if (std::optional<std::string> detail = ErrorDetailFor(static_cast<int>(code))) {
        return {static_cast<int>(code), std::move(*detail)};
    }
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&text), 0,
        nullptr);
    SystemError error{static_cast<int>(code), {}};
    if (length > 0 && text != nullptr) {
        // The system ends its texts with a line break, which would split a line of ours.
        error.message.assign(text, length);
        error.message.erase(error.message.find_last_not_of(" \r\n") + 1);
    } else {
        error.message = Format("Error %lu", static_cast<unsigned long>(code));
    }
    ::LocalFree(text);
    ::SetLastError(code);
    return error;
}

void SetLastSystemError(const SystemError& error) {
    SetErrorDetail(error.code, error.message);
    ::SetLastError(static_cast<DWORD>(error.code));
}

Event::Event() : m_handle(reinterpret_cast<std::intptr_t>(NewManualResetEvent())) {}

Event::~Event() {
    ::CloseHandle(HandleOf(*this));
}

void Event::Set() noexcept {
    ::SetEvent(HandleOf(*this));
}

void Event::Reset() noexcept {
    ::ResetEvent(HandleOf(*this));
}

bool Event::IsSet() const noexcept {
    return ::WaitForSingleObject(HandleOf(*this), 0) == WAIT_OBJECT_0;
}

}  // namespace vandrelux::platform

// Our own words for the error a failed call leaves behind, where the OS's text for the code would
// not say enough (which server refused, which name did not resolve). Kept per thread beside the
// OS's last error; LastSystemError prefers them while that error is still the same code.
#pragma once

#include <optional>
#include <string>

namespace vandrelux::platform {

void SetErrorDetail(int code, std::string text);
[[nodiscard]] std::optional<std::string> ErrorDetailFor(int code);
void ClearErrorDetail() noexcept;

}  // namespace vandrelux::platform

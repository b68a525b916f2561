// printf-style formatting into a string of whatever length the text needs.
#pragma once

#include <cstdio>
#include <string>

namespace vandrelux::platform {

template <typename... Args>
[[nodiscard]] std::string Format(const char* format, Args... args) {
    const int size = std::snprintf(nullptr, 0, format, args...);
    if (size <= 0) {
        return {};
    }
    std::string text(static_cast<std::size_t>(size), '\0');
    std::snprintf(text.data(), text.size() + 1, format, args...);
    return text;
}

}  // namespace vandrelux::platform

// Who may read: the checks every server of ours makes on a request's Host and token.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "web/Handler.h"

namespace vandrelux::web {

// Whether a Host header names this computer: "localhost", "127.0.0.1:8080", "[::1]:8080".
[[nodiscard]] bool IsLoopbackName(std::string_view host);
// The token of an "Authorization: Bearer TOKEN" header; empty when there is none.
[[nodiscard]] std::string_view BearerToken(std::string_view header);
// Whether `given` is `secret`, in a time that does not depend on where they differ.
[[nodiscard]] bool SameSecret(std::string_view given, std::string_view secret);

// Reads a token from `path` into `token`: the file's first line, without the blanks around it.
// Why not, when it cannot be read or holds a token too short to be safe.
[[nodiscard]] std::optional<std::string> ReadToken(const std::string& path, std::string& token);

// A JSON answer {"error": why}.
[[nodiscard]] Response ErrorResponse(int status, const std::string& why);
// 401 without a token, 403 for a wrong one; nothing when `request` carries `token`.
[[nodiscard]] std::optional<Response> WrongToken(const Request& request, const std::string& token);

}  // namespace vandrelux::web

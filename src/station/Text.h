// Text from outside the program (the box, sysfs, /proc, file and device names) on its way to a
// terminal or into JSON: neither may be broken by what that text holds.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace vandrelux::station {

// `value` as JSON text; bytes that are not UTF-8 become U+FFFD instead of ending the program.
// `indent` as for nlohmann::json::dump: -1 for one line.
[[nodiscard]] std::string Dump(const nlohmann::json& value, int indent = -1);

// `text` with control characters other than tab and newline shown as '?', so that escape
// sequences cannot move the cursor or change the terminal.
[[nodiscard]] std::string Printable(std::string_view text);

// Writes `value` to `path` through a temporary file beside it, so that the file is either the
// whole document or left as it was; false when it could not be written.
[[nodiscard]] bool WriteJsonFile(const std::string& path, const nlohmann::json& value);

}  // namespace vandrelux::station

// Pages of the units log for the API: the records from a cursor on, each exactly its line in the
// log, so that a reader pulling a station's units gets what the log holds, and a cursor that
// stays good as the log grows: the byte offset of the next record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vandrelux::station::http {

struct UnitsPage {
    std::vector<std::string> records;  // whole lines of the log, without their line breaks
    std::uint64_t next = 0;            // the cursor for the page after this one
    bool more = false;                 // whole records follow `next` already
};

// Up to `limit` records of the log at `path` from byte `cursor` on. A line that is no JSON object
// (a record cut short by a crash) is passed over; a last line still without its line break is
// left for a later page. Nothing when `cursor` is not at the start of a line of the log: past
// its end, or inside a line, as after a rotation replaced the file.
[[nodiscard]] std::optional<UnitsPage> ReadUnits(const std::string& path, std::uint64_t cursor,
                                                 std::size_t limit);

}  // namespace vandrelux::station::http

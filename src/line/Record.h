// A unit as the line stores it, taken from one record of a station's units log: the columns
// the line searches and counts by, and the whole record besides. Records of every station
// version read: a key that is missing or of another type is stored as null, never refused.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vandrelux::line {

struct ImageRow {
    std::string kind;
    std::string path;
    std::optional<std::int64_t> size;
    std::string sha256;  // empty: the record has none
    std::string checksum;
    std::optional<std::int64_t> naks;
    std::optional<std::int64_t> resends;
    std::optional<bool> accepted;
};

struct UnitRow {
    // The unit's identity: the SHA-256 of its record's text, as 64 hex digits. A record is
    // written once and never changed, so reading it again, from any cursor, under any station
    // address, after a rotation or a restart, finds the same identity.
    std::string digest;
    std::string station;  // empty: an older record without one
    std::optional<std::int64_t> seq;
    std::string slot;
    std::optional<std::int64_t> unit;
    std::string start;  // as PostgreSQL reads a timestamptz; empty: none
    std::string end;
    std::optional<double> seconds;
    std::string outcome;
    std::optional<bool> firstPass;
    std::string boxId;
    std::string record;  // the record as JSON PostgreSQL's jsonb takes
    std::vector<ImageRow> images;
};

// A page of a station's units log as its API serves it.
struct UnitsPage {
    std::vector<std::string> records;  // each exactly its line in the log
    std::string next;
    bool more = false;
};

// The page in an answer of GET /api/v1/units, each record's text as the station sent it (its
// digest is taken from that); nothing when the answer is no such page.
[[nodiscard]] std::optional<UnitsPage> ParseUnitsPage(std::string_view body);

// The unit of one record; nothing when the text is no JSON object.
[[nodiscard]] std::optional<UnitRow> ParseRecord(std::string_view text);

// "2026-12-08T04:31:44.720Z" as "2026-12-08 04:31:44.720+00"; empty when it is no such time.
[[nodiscard]] std::string TimestampOf(std::string_view text);

}  // namespace vandrelux::line

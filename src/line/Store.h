// The line's record in PostgreSQL: the schema, made and brought up to date by the program
// itself, and the one way units get in: a page of a station's records together with the
// station's cursor, in one transaction. A unit's identity is its record's digest, unique in the
// table, so a page read twice (a cursor the station forgot, a restart between storing and
// hearing back) stores nothing twice.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "line/Database.h"
#include "line/Record.h"

namespace vandrelux::line {

// The schema this program writes; Migrate brings an older one up to it.
constexpr int kSchemaVersion = 1;

// Creates or updates the schema, under a lock, so that two line servers starting together do
// it once. Throws DatabaseError, also for a schema newer than this program knows.
void Migrate(CDatabase& db);

// A station as the database knows it.
struct StationRow {
    int id = 0;
    std::string cursor;                   // where its next page starts; empty: at its log's start
    std::optional<std::int64_t> lastSeq;  // the seq of the last record stored from it
};

struct Stored {
    long long units = 0;    // stored now
    long long known = 0;    // already stored before
    long long invalid = 0;  // no JSON object: passed over
    std::optional<std::int64_t> lastSeq;
    std::string name;  // the station's name in its last record that has one
};

// Thrown when the station's cursor in the database is no longer the one the page was read
// from: another line server stores this station too.
struct CursorMoved {};

class CStore {
public:
    explicit CStore(CDatabase& db);

    // The station `url`, made known when new.
    [[nodiscard]] StationRow Station(const std::string& url);
    // Stores the page's units and moves the station's cursor from `from` (as the database has
    // it) to page.next, all or nothing. Throws DatabaseError or CursorMoved.
    Stored Put(int stationId, const std::string& from, const UnitsPage& page);

private:
    CDatabase& m_db;
    std::string m_units;  // COPY text, kept to reuse its memory
    std::string m_images;
};

}  // namespace vandrelux::line

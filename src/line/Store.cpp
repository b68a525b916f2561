#include "line/Store.h"

#include <charconv>
#include <iterator>
#include <unordered_set>

#include "line/Record.h"

namespace vandrelux::line {

namespace {

// Each step brings the schema from the version before it to its own; a released step is never
// changed, a new one is added after it.
const char* const kMigrations[] = {
    // 1: stations, their units and each unit's images; the days' counts the page and the
    // metrics read instead of counting every unit again.
    R"sql(
CREATE TABLE stations (
    id serial PRIMARY KEY,
    url text NOT NULL UNIQUE,
    name text NOT NULL DEFAULT '',
    cursor text NOT NULL DEFAULT '',
    last_seq bigint,
    units bigint NOT NULL DEFAULT 0,
    added timestamptz NOT NULL DEFAULT now(),
    last_read timestamptz
);
CREATE TABLE units (
    id bigserial PRIMARY KEY,
    digest bytea NOT NULL UNIQUE,
    station_id integer NOT NULL,
    station text NOT NULL,
    seq bigint,
    slot text NOT NULL,
    unit bigint,
    start_at timestamptz,
    end_at timestamptz,
    seconds double precision,
    outcome text NOT NULL,
    first_pass boolean,
    box_id text NOT NULL,
    record jsonb NOT NULL
);
CREATE INDEX units_box_id ON units (box_id) WHERE box_id <> '';
CREATE INDEX units_end_at ON units (end_at);
CREATE TABLE images (
    unit_id bigint NOT NULL,
    n smallint NOT NULL,
    kind text NOT NULL,
    path text NOT NULL,
    size bigint,
    sha256 text NOT NULL,
    checksum text NOT NULL,
    naks bigint,
    resends bigint,
    accepted boolean,
    PRIMARY KEY (unit_id, n)
);
CREATE INDEX images_sha256 ON images (sha256);
CREATE TABLE unit_days (
    station_id integer NOT NULL,
    day date NOT NULL,
    outcome text NOT NULL,
    units bigint NOT NULL,
    first_pass bigint NOT NULL,
    PRIMARY KEY (station_id, day, outcome)
);
CREATE TABLE image_days (
    station_id integer NOT NULL,
    day date NOT NULL,
    kind text NOT NULL,
    images bigint NOT NULL,
    accepted bigint NOT NULL,
    clean bigint NOT NULL,
    PRIMARY KEY (station_id, day, kind)
);
)sql",
};

static_assert(std::size(kMigrations) == kSchemaVersion);

// A page's rows wait in these until one statement takes the new ones: a unit already stored
// costs nothing but its row here.
constexpr const char* kIncoming = R"sql(
CREATE TEMP TABLE IF NOT EXISTS incoming_units (
    digest bytea, station text, seq bigint, slot text, unit bigint, start_at timestamptz,
    end_at timestamptz, seconds double precision, outcome text, first_pass boolean,
    box_id text, record text) ON COMMIT DELETE ROWS;
CREATE TEMP TABLE IF NOT EXISTS incoming_images (
    digest bytea, n smallint, kind text, path text, size bigint, sha256 text, checksum text,
    naks bigint, resends bigint, accepted boolean) ON COMMIT DELETE ROWS;
)sql";

// The day a unit counts for is its end's, in UTC; a unit without a readable end counts on a
// day of its own, -infinity.
constexpr const char* kTakeNew = R"sql(
WITH new AS (
    INSERT INTO units (digest, station_id, station, seq, slot, unit, start_at, end_at, seconds,
                       outcome, first_pass, box_id, record)
    SELECT digest, $1, station, seq, slot, unit, start_at, end_at, seconds, outcome, first_pass,
           box_id, record::jsonb
    FROM incoming_units
    ON CONFLICT (digest) DO NOTHING
    RETURNING id, digest, coalesce((end_at AT TIME ZONE 'UTC')::date, '-infinity') AS day,
              outcome, first_pass
), new_images AS (
    INSERT INTO images (unit_id, n, kind, path, size, sha256, checksum, naks, resends, accepted)
    SELECT new.id, i.n, i.kind, i.path, i.size, i.sha256, i.checksum, i.naks, i.resends,
           i.accepted
    FROM new JOIN incoming_images i ON i.digest = new.digest
    RETURNING unit_id, kind, accepted, naks, resends
), days AS (
    INSERT INTO unit_days AS d (station_id, day, outcome, units, first_pass)
    SELECT $1, day, outcome, count(*), count(*) FILTER (WHERE first_pass)
    FROM new GROUP BY day, outcome
    ON CONFLICT (station_id, day, outcome) DO UPDATE
        SET units = d.units + excluded.units, first_pass = d.first_pass + excluded.first_pass
), kinds AS (
    INSERT INTO image_days AS d (station_id, day, kind, images, accepted, clean)
    SELECT $1, new.day, i.kind, count(*), count(*) FILTER (WHERE i.accepted),
           count(*) FILTER (WHERE i.accepted AND i.naks = 0 AND i.resends = 0)
    FROM new_images i JOIN new ON new.id = i.unit_id GROUP BY new.day, i.kind
    ON CONFLICT (station_id, day, kind) DO UPDATE
        SET images = d.images + excluded.images, accepted = d.accepted + excluded.accepted,
            clean = d.clean + excluded.clean
)
SELECT count(*) FROM new
)sql";

void Field(std::string& out, const std::string& text) {
    AppendCopyField(out, text);
    out += '\t';
}

void Field(std::string& out, const std::optional<std::int64_t>& number) {
    out += number ? std::to_string(*number) : "\\N";
    out += '\t';
}

void Field(std::string& out, const std::optional<bool>& flag) {
    out += flag ? (*flag ? "t" : "f") : "\\N";
    out += '\t';
}

void Field(std::string& out, const std::optional<double>& number) {
    if (number) {
        char text[32];
        const auto [end, error] = std::to_chars(std::begin(text), std::end(text), *number);
        out.append(text, error == std::errc() ? end : text);
    } else {
        out += "\\N";
    }
    out += '\t';
}

// A time or nothing.
void TimeField(std::string& out, const std::string& stamp) {
    out += stamp.empty() ? "\\N" : stamp;
    out += '\t';
}

void EndRow(std::string& out) {
    out.back() = '\n';
}

}  // namespace

void Migrate(CDatabase& db) {
    // Records hold any text a box or a path may bring: a database in another encoding would
    // refuse some of them, and with them every later unit of their station.
    const std::string encoding = db.Exec("SHOW server_encoding").Text(0, 0);
    if (encoding != "UTF8") {
        throw DatabaseError{"the database's encoding is " + encoding +
                            ": make it with UTF8 (createdb -E UTF8 -T template0 ...)"};
    }
    CTransaction transaction(db);
    // One line server at a time brings the schema up; another waits here, then finds it done.
    db.Exec("SELECT pg_advisory_xact_lock(7341523)");
    db.Exec("CREATE TABLE IF NOT EXISTS schema_version (version integer NOT NULL)");
    const CRows rows = db.Exec("SELECT coalesce(max(version), 0) FROM schema_version");
    const long long version = rows.Number(0, 0);
    if (version > kSchemaVersion) {
        throw DatabaseError{"the database's schema is version " + std::to_string(version) +
                            ", newer than this program's " + std::to_string(kSchemaVersion) +
                            ": run a newer vandrelux-line"};
    }
    for (long long step = version; step < kSchemaVersion; ++step) {
        db.Exec(kMigrations[step]);
    }
    if (version < kSchemaVersion) {
        db.Exec("DELETE FROM schema_version");
        db.Exec("INSERT INTO schema_version VALUES ($1)", {std::to_string(kSchemaVersion)});
    }
    transaction.Commit();
}

CStore::CStore(CDatabase& db) : m_db(db) {
    m_db.Exec(kIncoming);
    // A page's commit need not wait for the disk: a commit the database loses in a crash takes
    // the station's cursor with it, and the page is read and stored again.
    m_db.Exec("SET synchronous_commit = off");
}

StationRow CStore::Station(const std::string& url) {
    m_db.Exec("INSERT INTO stations (url) VALUES ($1) ON CONFLICT (url) DO NOTHING", {url});
    const CRows rows = m_db.Exec("SELECT id, cursor, last_seq FROM stations WHERE url = $1", {url});
    StationRow station;
    station.id = static_cast<int>(rows.Number(0, 0));
    station.cursor = rows.Text(0, 1);
    if (!rows.IsNull(0, 2)) {
        station.lastSeq = rows.Number(0, 2);
    }
    return station;
}

Stored CStore::Put(int stationId, const std::string& from, const UnitsPage& page) {
    Stored stored;
    m_units.clear();
    m_images.clear();
    std::unordered_set<std::string> digests;
    for (const std::string& text : page.records) {
        std::optional<UnitRow> row = ParseRecord(text);
        if (!row) {
            ++stored.invalid;
            continue;
        }
        if (!digests.insert(row->digest).second) {
            continue;  // the same record twice in one page is one unit
        }
        if (row->seq) {
            stored.lastSeq = row->seq;
        }
        if (!row->station.empty()) {
            stored.name = row->station;
        }
        const std::string digest = "\\\\x" + row->digest;
        m_units += digest;
        m_units += '\t';
        Field(m_units, row->station);
        Field(m_units, row->seq);
        Field(m_units, row->slot);
        Field(m_units, row->unit);
        TimeField(m_units, row->start);
        TimeField(m_units, row->end);
        Field(m_units, row->seconds);
        Field(m_units, row->outcome);
        Field(m_units, row->firstPass);
        Field(m_units, row->boxId);
        Field(m_units, row->record);
        EndRow(m_units);
        std::int64_t n = 0;
        for (const ImageRow& image : row->images) {
            m_images += digest;
            m_images += '\t';
            Field(m_images, std::optional<std::int64_t>(++n));
            Field(m_images, image.kind);
            Field(m_images, image.path);
            Field(m_images, image.size);
            Field(m_images, image.sha256);
            Field(m_images, image.checksum);
            Field(m_images, image.naks);
            Field(m_images, image.resends);
            Field(m_images, image.accepted);
            EndRow(m_images);
        }
    }

    CTransaction transaction(m_db);
    const std::string station = std::to_string(stationId);
    if (!m_units.empty()) {
        m_db.CopyIn("incoming_units", m_units);
        if (!m_images.empty()) {
            m_db.CopyIn("incoming_images", m_images);
        }
        stored.units = m_db.Exec(kTakeNew, {station}).Number(0, 0);
    }
    stored.known = static_cast<long long>(digests.size()) - stored.units;
    std::optional<std::string> seq;
    if (stored.lastSeq) {
        seq = std::to_string(*stored.lastSeq);
    }
    // Only from where this page was read: a cursor moved meanwhile by another line server must
    // not be set back.
    const CRows moved = m_db.Exec(
        "UPDATE stations SET cursor = $2, last_seq = coalesce($3, last_seq), "
        "units = units + $4, name = coalesce(nullif($5, ''), name), last_read = now() "
        "WHERE id = $1 AND cursor = $6",
        {station, page.next, seq, std::to_string(stored.units), stored.name, from});
    if (moved.Changed() != 1) {
        throw CursorMoved{};
    }
    transaction.Commit();
    return stored;
}

}  // namespace vandrelux::line

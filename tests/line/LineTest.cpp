// The line server's parts against a real PostgreSQL: a private cluster started for this binary
// (pg-cluster.sh) and stopped when it ends, however it ends; each case has a database of its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "line/LineApi.h"
#include "line/Options.h"
#include "line/Store.h"
#include "store/Sha256.h"

namespace vandrelux::line {
namespace {

using nlohmann::json;

std::string g_socketDir;  // where the cluster's socket is

class Cluster : public ::testing::Environment {
public:
    void SetUp() override {
        g_socketDir = (std::filesystem::temp_directory_path() /
                       ("vandrelux-line-test-" + std::to_string(getpid())))
                          .string();
        const std::string start =
            std::string(PG_CLUSTER) + " start " + g_socketDir + " " + std::to_string(getpid());
        ASSERT_EQ(std::system(start.c_str()), 0) << "the cluster did not start";
    }
    void TearDown() override {
        (void)std::system((std::string(PG_CLUSTER) + " stop " + g_socketDir).c_str());
    }
};

const auto* const g_cluster = ::testing::AddGlobalTestEnvironment(new Cluster);

std::string Conninfo(const std::string& db) {
    return "host=" + g_socketDir + " user=vandrelux dbname=" + db;
}

// A database of the case's own, its schema made.
class LineDb : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_name = "t_" + std::string(info->name());
        for (char& ch : m_name) {
            ch = static_cast<char>(std::isalnum(static_cast<unsigned char>(ch)) ? std::tolower(ch)
                                                                                : '_');
        }
        CDatabase admin(Conninfo("postgres"));
        admin.Exec("DROP DATABASE IF EXISTS " + m_name);
        admin.Exec("CREATE DATABASE " + m_name);
        m_db = std::make_unique<CDatabase>(Conninfo(m_name));
        Migrate(*m_db);
    }

    long long Count(const std::string& sql) { return m_db->Exec(sql).Number(0, 0); }

    std::string m_name;
    std::unique_ptr<CDatabase> m_db;
};

std::string Record(int seq, const std::string& box, const std::string& extra = "") {
    return R"({"station":"st1","seq":)" + std::to_string(seq) +
           R"(,"slot":"/dev/ttyUSB0","unit":)" + std::to_string(seq) +
           R"(,"start":"2026-12-08T04:31:44.720Z","end":"2026-12-08T04:31:45.977Z",)"
           R"("seconds":1.257,"outcome":"ok","reason":"","first_pass":true,"box_id":")" +
           box +
           R"(","images":[{"kind":"software","path":"sw.bin","size":20000,)"
           R"("checksum":"0026b55c","sha256":")" +
           std::string(64, 'a') + R"(","naks":0,"resends":0,"accepted":true}])" + extra + "}";
}

UnitsPage Page(std::vector<std::string> records, std::string next) {
    return {std::move(records), std::move(next), false};
}

TEST(LineRecord, UnitsPage_RecordsAsSentAndCursor) {
    const struct {
        const char* body;
        std::vector<std::string> records;  // empty and `next` null: no page
        const char* next;
    } cases[] = {
        {R"({"units":[],"next":"0","more":false})", {}, "0"},
        {R"({"units":[{"a":"]}"},{"b":[1,{"c":"\"}"}]}],"next":"81","more":true})",
         {R"({"a":"]}"})", R"({"b":[1,{"c":"\"}"}]})"},
         "81"},
        {"{\"units\":[{\"a\":1}\r,{\"b\":2}],\"next\":\"9\",\"more\":false}",
         {"{\"a\":1}\r", R"({"b":2})"},
         "9"},  // a log line that ends in CR LF
        {R"({"units":[],"next":"9 HTTP/1.1\r\nX: y","more":false})", {}, nullptr},
        {R"({"units":[{"a":1}],"more":false})", {}, nullptr},  // no next
        {R"({"units":[{"a":1}")", {}, nullptr},                // cut short
        {R"({"error":"no"})", {}, nullptr},
    };
    for (const auto& c : cases) {
        const std::optional<UnitsPage> page = ParseUnitsPage(c.body);
        ASSERT_EQ(page.has_value(), c.next != nullptr) << c.body;
        if (page) {
            EXPECT_EQ(page->records, c.records) << c.body;
            EXPECT_EQ(page->next, c.next) << c.body;
        }
    }
}

TEST(LineRecord, Timestamp_OnlyTimesPostgresTakes) {
    const struct {
        const char* text;
        const char* stamp;
    } cases[] = {
        {"2026-12-08T04:31:44.720Z", "2026-12-08 04:31:44.720+00"},
        {"2026-12-08T04:31:44Z", "2026-12-08 04:31:44+00"},
        {"2026-02-30T04:31:44Z", ""},  // no such day
        {"2026-12-08T24:00:00Z", ""},
        {"2026-12-08T04:31:44.720", ""},  // no zone
        {"2026-12-08T04:31:44.x20Z", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TimestampOf(c.text), c.stamp) << c.text;
    }
}

TEST(LineRecord, Record_OddValuesBecomeNullNotAFailure) {
    const std::string text =
        R"({"seq":"seven","unit":18446744073709551615,"start":"yesterday","box_id":"A\u0000B",)"
        R"("images":[7,{"kind":"logo","naks":-1}]})";
    const std::optional<UnitRow> row = ParseRecord(text);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->digest, store::Sha256Hex(std::span(
                               reinterpret_cast<const std::uint8_t*>(text.data()), text.size())));
    EXPECT_FALSE(row->seq);
    EXPECT_FALSE(row->unit);
    EXPECT_EQ(row->start, "");
    EXPECT_EQ(row->boxId,
              "A\xEF\xBF\xBD"
              "B");
    EXPECT_EQ(row->record.find("\\u0000"), std::string::npos);
    ASSERT_EQ(row->images.size(), 1U);
    EXPECT_EQ(row->images[0].kind, "logo");
    EXPECT_FALSE(ParseRecord("[1,2]"));
    EXPECT_FALSE(ParseRecord("{\"cut"));
}

TEST_F(LineDb, PageReadAgain_StoresNothingTwice) {
    CStore store(*m_db);
    const StationRow station = store.Station("http://127.0.0.1:1");
    const UnitsPage first = Page({Record(1, "A1"), Record(2, "A2"), Record(2, "A2")}, "100");
    const Stored stored = store.Put(station.id, "", first);
    EXPECT_EQ(stored.units, 2);
    EXPECT_EQ(stored.lastSeq, 2);
    // The station forgot the cursor (its log was rotated): the line reads it all again.
    const Stored again = store.Put(
        station.id, "100", Page({Record(1, "A1"), Record(2, "A2"), Record(3, "A3")}, "150"));
    EXPECT_EQ(again.units, 1);
    EXPECT_EQ(again.known, 2);
    EXPECT_EQ(Count("SELECT count(*) FROM units"), 3);
    EXPECT_EQ(Count("SELECT count(*) FROM images"), 3);
    EXPECT_EQ(Count("SELECT sum(units) FROM unit_days"), 3);
    EXPECT_EQ(Count("SELECT sum(images) FROM image_days"), 3);
    const StationRow now = store.Station("http://127.0.0.1:1");
    EXPECT_EQ(now.cursor, "150");
    EXPECT_EQ(now.lastSeq, 3);
}

TEST_F(LineDb, CursorMovedMeanwhile_PageRolledBack) {
    CStore store(*m_db);
    const StationRow station = store.Station("http://127.0.0.1:1");
    store.Put(station.id, "", Page({Record(1, "A1")}, "50"));
    EXPECT_THROW(store.Put(station.id, "", Page({Record(2, "A2")}, "100")), CursorMoved);
    EXPECT_EQ(Count("SELECT count(*) FROM units"), 1);
    EXPECT_EQ(store.Station("http://127.0.0.1:1").cursor, "50");
}

TEST_F(LineDb, RecordsPostgresWouldRefuse_StoredWithTheirPage) {
    CStore store(*m_db);
    const StationRow station = store.Station("http://127.0.0.1:1");
    const Stored stored = store.Put(
        station.id, "",
        Page({R"({"start":"2026-13-45T99:00:00Z","outcome":"ok","box_id":"tab\there\\ \u0000"})",
              "not json", R"({"seq":99999999999999999999})", Record(4, "A4")},
             "9"));
    EXPECT_EQ(stored.units, 3);
    EXPECT_EQ(stored.invalid, 1);
    EXPECT_EQ(
        m_db->Exec("SELECT box_id FROM units WHERE start_at IS NULL AND outcome = 'ok'").Text(0, 0),
        "tab\there\\ \xEF\xBF\xBD");
    // The whole record, for whatever the columns do not hold.
    EXPECT_EQ(m_db->Exec("SELECT record->'images'->0->>'sha256' FROM units WHERE box_id = 'A4'")
                  .Text(0, 0),
              std::string(64, 'a'));
}

TEST_F(LineDb, Schema_MigratedOnceRefusedWhenNewer) {
    Migrate(*m_db);  // again: nothing to do
    EXPECT_EQ(Count("SELECT version FROM schema_version"), kSchemaVersion);
    m_db->Exec("UPDATE schema_version SET version = version + 1");
    EXPECT_THROW(Migrate(*m_db), DatabaseError);

    // A database that could not hold every record is refused before anything is made in it.
    CDatabase admin(Conninfo("postgres"));
    admin.Exec("DROP DATABASE IF EXISTS t_latin1");
    admin.Exec("CREATE DATABASE t_latin1 ENCODING 'LATIN1' TEMPLATE template0");
    CDatabase latin1(Conninfo("t_latin1"));
    try {
        Migrate(latin1);
        ADD_FAILURE() << "a LATIN1 database was taken";
    } catch (const DatabaseError& error) {
        EXPECT_NE(error.message.find("encoding is LATIN1"), std::string::npos) << error.message;
    }
}

web::Request Get(const std::string& target, const std::string& host = "127.0.0.1:8080",
                 const std::string& authorization = "") {
    return {"GET", target, host, authorization, ""};
}

TEST_F(LineDb, Api_SearchByBoxAndDigest) {
    CStore store(*m_db);
    const StationRow station = store.Station("http://127.0.0.1:1");
    store.Put(station.id, "", Page({Record(1, "AB 1"), Record(2, "AB 2"), Record(3, "AB 1")}, "9"));
    CLineModel model({"http://127.0.0.1:1"});
    CLineApi api(model, {Conninfo(m_name), "", true});
    const struct {
        const char* target;
        int status;
        int total;
    } cases[] = {
        {"/api/v1/search?box=AB+1", 200, 2},
        {"/api/v1/search?box=AB%202", 200, 1},
        {"/api/v1/search?box=nobody", 200, 0},
        {"/api/v1/search?digest=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
         200, 3},
        {"/api/v1/search?digest=abc", 400, 0},
        {"/api/v1/search?box=", 400, 0},
        {"/api/v1/search?box=AB%201%00junk", 400, 0},
        {"/api/v1/yields?days=14abc", 400, 0},
    };
    for (const auto& c : cases) {
        const web::Response response = api.Handle(Get(c.target));
        ASSERT_EQ(response.status, c.status) << c.target << ": " << response.body;
        if (c.status == 200) {
            const json body = json::parse(response.body);
            EXPECT_EQ(body["total"], c.total) << c.target;
            ASSERT_EQ(body["units"].size(), static_cast<std::size_t>(c.total));
            if (c.total > 0) {
                EXPECT_EQ(body["units"][0]["images"][0]["kind"], "software");
                EXPECT_EQ(body["units"][0]["end"], "2026-12-08T04:31:45.977Z");
            }
        }
    }
}

TEST(LineOptions, Stations_OneNameEachAndAClosingSlashNamesNoOther) {
    const struct {
        std::vector<const char*> stations;
        int exit;  // -1: the options are taken
    } cases[] = {
        {{"http://127.0.0.1:8081", "http://127.0.0.1:8082/"}, -1},
        {{"http://127.0.0.1:8081", "http://127.0.0.1:8081/"}, 2},
        {{"http://127.0.0.1"}, 2},
        {{"https://127.0.0.1:8081"}, 2},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv{"vandrelux-line", "--db", "host=/nonexistent"};
        for (const char* station : c.stations) {
            argv.insert(argv.end(), {"--station", station});
        }
        const auto parsed = ParseLineOptions(static_cast<int>(argv.size()), argv.data());
        if (c.exit < 0) {
            ASSERT_TRUE(std::holds_alternative<LineOptions>(parsed)) << c.stations.back();
            EXPECT_EQ(std::get<LineOptions>(parsed).stations.back(), "http://127.0.0.1:8082");
        } else {
            ASSERT_TRUE(std::holds_alternative<LineExit>(parsed)) << c.stations.back();
            EXPECT_EQ(std::get<LineExit>(parsed).status, c.exit) << c.stations.back();
        }
    }
}

TEST(LineApi, WhoMayRead) {
    CLineModel model({});
    CLineApi local(model, {"host=/nonexistent", "", true});
    CLineApi open(model, {"host=/nonexistent", "0123456789abcdef", false});
    const struct {
        CLineApi* api;
        web::Request request;
        int status;
    } cases[] = {
        {&local, Get("/api/v1/line"), 200},
        {&local, Get("/api/v1/line", "line.example:8080"), 421},  // a name made to lead here
        {&open, Get("/"), 200},                                   // the page holds nothing
        {&open, Get("/api/v1/line", "line.example"), 401},
        {&open, Get("/metrics", "line.example", "Bearer 0123456789abcdeX"), 403},
        {&open, Get("/api/v1/line", "line.example", "Bearer 0123456789abcdef"), 200},
        {&local, Get("/api/v1/yields"), 503},  // no database: at once, not a hang
        {&local, {"POST", "/api/v1/line", "127.0.0.1", "", ""}, 405},
        {&local, Get("/nothing"), 404},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.api->Handle(c.request).status, c.status)
            << c.request.method << " " << c.request.target << " Host " << c.request.host;
    }
}

}  // namespace
}  // namespace vandrelux::line

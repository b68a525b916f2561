#include "line/Database.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

namespace vandrelux::line {

CRows::CRows(pg_result* result) : m_result(result, PQclear) {}

int CRows::Count() const {
    return m_result ? PQntuples(m_result.get()) : 0;
}

bool CRows::IsNull(int row, int column) const {
    return PQgetisnull(m_result.get(), row, column) != 0;
}

std::string CRows::Text(int row, int column) const {
    return {PQgetvalue(m_result.get(), row, column),
            static_cast<std::size_t>(PQgetlength(m_result.get(), row, column))};
}

long long CRows::Number(int row, int column) const {
    const std::string text = Text(row, column);
    long long value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

double CRows::Real(int row, int column) const {
    return std::strtod(Text(row, column).c_str(), nullptr);
}

long long CRows::Changed() const {
    const char* count = m_result ? PQcmdTuples(m_result.get()) : "";
    return std::strtoll(count, nullptr, 10);
}

CDatabase::CDatabase(const std::string& conninfo) {
    // Ours first, so that what the operator's conninfo says wins: a server that does not answer
    // is given up after a while, also when the network under a connection dies (30 s without
    // an acknowledgement, keepalives when idle), the server's own views name the program, and
    // text comes as UTF-8 whatever the database's encoding.
    const char* const keys[] = {"connect_timeout",
                                "tcp_user_timeout",
                                "keepalives",
                                "keepalives_idle",
                                "keepalives_interval",
                                "keepalives_count",
                                "application_name",
                                "client_encoding",
                                "dbname",
                                nullptr};
    const char* const values[] = {
        "10", "30000", "1", "10", "5", "3", "vandrelux-line", "UTF8", conninfo.c_str(), nullptr};
    m_conn = PQconnectdbParams(keys, values, 1);
    if (m_conn == nullptr) {
        throw DatabaseError{"out of memory", true};
    }
    if (PQstatus(m_conn) != CONNECTION_OK) {
        // No destructor runs for an object whose constructor throws.
        DatabaseError error{"cannot connect: " + ErrorText(), true};
        PQfinish(m_conn);
        throw error;
    }
    // NOTICEs ("already exists, skipping") say nothing an operator needs.
    PQsetNoticeProcessor(
        m_conn, [](void*, const char*) {}, nullptr);
}

CDatabase::~CDatabase() {
    PQfinish(m_conn);
}

bool CDatabase::Ok() const {
    return PQstatus(m_conn) == CONNECTION_OK;
}

std::string CDatabase::ErrorText() const {
    std::string message = PQerrorMessage(m_conn);
    // libpq's messages end in a line break, and some run over several lines, indented: one
    // line for the log.
    std::string line;
    for (const char ch : message) {
        const bool blank = ch == '\n' || ch == '\t' || ch == ' ';
        if (!blank) {
            line += ch;
        } else if (!line.empty() && line.back() != ' ') {
            line += ' ';
        }
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    return line;
}

void CDatabase::Fail(const std::string& what) {
    const bool lost = PQstatus(m_conn) != CONNECTION_OK;
    throw DatabaseError{(lost ? "the connection broke" : what) + ": " + ErrorText(), lost};
}

void CDatabase::SetAnswerTime(std::chrono::milliseconds time) {
    m_answerTime = time;
}

void CDatabase::RequireConnection() const {
    if (m_conn == nullptr) {
        throw DatabaseError{"the connection was given up", true};
    }
}

void CDatabase::GiveUp(const std::string& why) {
    PQfinish(m_conn);
    m_conn = nullptr;
    throw DatabaseError{why, true};
}

// Until libpq has a whole result to give, for as long as the answer time allows.
void CDatabase::AwaitResult(std::chrono::steady_clock::time_point deadline) {
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    // A bound on each wait: bytes an encrypted connection has already read are not seen by
    // poll, and are taken in by PQconsumeInput at least this often.
    constexpr milliseconds kLookAgain(100);
    while (PQisBusy(m_conn) != 0) {
        const auto left = duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            // A server that hangs (stopped, or its host gone silent while the network stays
            // up) would hold the caller for ever.
            GiveUp("no answer from the database in " +
                   std::to_string(m_answerTime->count() / 1000) + " s");
        }
        pollfd ready{PQsocket(m_conn), POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(std::min(left, kLookAgain).count())) < 0 &&
            errno != EINTR) {
            GiveUp(std::string("cannot wait for the database: ") + std::strerror(errno));
        }
        if (PQconsumeInput(m_conn) != 1) {
            GiveUp("the database's answer broke off: " + ErrorText());
        }
    }
}

CRows CDatabase::Exec(const std::string& sql,
                      const std::vector<std::optional<std::string>>& params) {
    RequireConnection();
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const auto& param : params) {
        values.push_back(param ? param->c_str() : nullptr);
    }
    const auto count = static_cast<int>(values.size());
    std::unique_ptr<PGresult, void (*)(PGresult*)> kept(nullptr, PQclear);
    if (!m_answerTime) {
        // Without parameters, as a simple query: the schema's steps are several statements each.
        kept.reset(params.empty() ? PQexec(m_conn, sql.c_str())
                                  : PQexecParams(m_conn, sql.c_str(), count, nullptr, values.data(),
                                                 nullptr, nullptr, 0));
    } else {
        const auto deadline = std::chrono::steady_clock::now() + *m_answerTime;
        const int sent = params.empty() ? PQsendQuery(m_conn, sql.c_str())
                                        : PQsendQueryParams(m_conn, sql.c_str(), count, nullptr,
                                                            values.data(), nullptr, nullptr, 0);
        if (sent != 1) {
            GiveUp("cannot send a statement: " + ErrorText());
        }
        // The last result, or the first error: statements after an error do not run.
        for (;;) {
            AwaitResult(deadline);
            PGresult* result = PQgetResult(m_conn);
            if (result == nullptr) {
                break;
            }
            if (kept && PQresultStatus(kept.get()) == PGRES_FATAL_ERROR) {
                PQclear(result);
            } else {
                kept.reset(result);
            }
        }
    }
    const ExecStatusType status = PQresultStatus(kept.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        Fail("the database refused a statement");
    }
    return CRows(kept.release());
}

void CDatabase::CopyIn(const std::string& target, std::string_view data) {
    RequireConnection();
    PGresult* started = PQexec(m_conn, ("COPY " + target + " FROM STDIN").c_str());
    const bool copying = PQresultStatus(started) == PGRES_COPY_IN;
    PQclear(started);
    if (!copying) {
        Fail("the database refused COPY");
    }
    // In pieces: libpq buffers what it is given whole, and a page of records is a few MB.
    constexpr std::size_t kPiece = std::size_t{256} * 1024;
    for (std::size_t at = 0; at < data.size(); at += kPiece) {
        const std::string_view piece = data.substr(at, kPiece);
        if (PQputCopyData(m_conn, piece.data(), static_cast<int>(piece.size())) != 1) {
            Fail("COPY broke off");
        }
    }
    if (PQputCopyEnd(m_conn, nullptr) != 1) {
        Fail("COPY broke off");
    }
    bool ok = true;
    while (PGresult* result = PQgetResult(m_conn)) {
        ok = ok && PQresultStatus(result) == PGRES_COMMAND_OK;
        PQclear(result);
    }
    if (!ok) {
        Fail("the database refused the copied rows");
    }
}

CTransaction::CTransaction(CDatabase& db) : m_db(db) {
    m_db.Exec("BEGIN");
}

CTransaction::~CTransaction() {
    if (!m_bDone) {
        try {
            m_db.Exec("ROLLBACK");
        } catch (const DatabaseError&) {
            // A connection that went takes its transaction with it.
        }
    }
}

void CTransaction::Commit() {
    m_bDone = true;
    m_db.Exec("COMMIT");
}

void AppendCopyField(std::string& out, std::string_view text) {
    for (const char ch : text) {
        switch (ch) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += ch;
        }
    }
}

}  // namespace vandrelux::line

// A connection to PostgreSQL through libpq, and the few calls the line server makes on it:
// statements with text parameters, COPY in, transactions. Nothing here retries; the callers
// decide what a failure means and when to try again.
//
// Threading: one connection belongs to one thread at a time.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct pg_conn;
struct pg_result;

namespace vandrelux::line {

// A statement's rows as text; a null field reads as nothing.
class CRows {
public:
    CRows() = default;
    explicit CRows(pg_result* result);

    [[nodiscard]] int Count() const;
    [[nodiscard]] bool IsNull(int row, int column) const;
    [[nodiscard]] std::string Text(int row, int column) const;
    [[nodiscard]] long long Number(int row, int column) const;
    [[nodiscard]] double Real(int row, int column) const;
    // The number of rows the statement changed (INSERT, UPDATE).
    [[nodiscard]] long long Changed() const;

private:
    std::shared_ptr<pg_result> m_result;
};

// Thrown by every call that fails: the server's message, or libpq's.
struct DatabaseError {
    std::string message;
    bool connectionLost = false;  // the connection is gone and must be made again
};

class CDatabase {
public:
    // Connects; `conninfo` as libpq takes it, a postgresql:// URI or "host=... dbname=...".
    // Throws DatabaseError when it cannot.
    explicit CDatabase(const std::string& conninfo);
    ~CDatabase();
    CDatabase(const CDatabase&) = delete;
    CDatabase& operator=(const CDatabase&) = delete;

    [[nodiscard]] bool Ok() const;
    // A statement whose answer takes longer fails and gives the connection up (it is lost);
    // without one, a statement waits as long as the server takes. Only statements that do not
    // COPY.
    void SetAnswerTime(std::chrono::milliseconds time);
    // Runs `sql` with $1... bound to `params` (nothing binds NULL).
    CRows Exec(const std::string& sql, const std::vector<std::optional<std::string>>& params = {});
    // COPY `target` FROM STDIN with `data` in COPY's text format.
    void CopyIn(const std::string& target, std::string_view data);

private:
    [[nodiscard]] std::string ErrorText() const;
    [[noreturn]] void Fail(const std::string& what);
    void RequireConnection() const;
    [[noreturn]] void GiveUp(const std::string& why);
    void AwaitResult(std::chrono::steady_clock::time_point deadline);

    pg_conn* m_conn = nullptr;
    std::optional<std::chrono::milliseconds> m_answerTime;
};

// A transaction that rolls back unless committed.
class CTransaction {
public:
    explicit CTransaction(CDatabase& db);
    ~CTransaction();
    CTransaction(const CTransaction&) = delete;
    CTransaction& operator=(const CTransaction&) = delete;
    void Commit();

private:
    CDatabase& m_db;
    bool m_bDone = false;
};

// A field for COPY's text format: backslash, tab and line breaks escaped.
void AppendCopyField(std::string& out, std::string_view text);

}  // namespace vandrelux::line

#include "line/StationLink.h"

#include "line/Database.h"
#include "line/Store.h"

namespace vandrelux::line {

namespace {

using nlohmann::json;
using std::chrono::milliseconds;

constexpr milliseconds kPageTime{30000};
constexpr milliseconds kViewTime{5000};
// The station writes a comment every 15 s on its stream; twice that without a byte is a stream
// that broke without saying so.
constexpr milliseconds kStreamQuiet{40000};
// Slots are read again after their events at most this often.
constexpr milliseconds kSlotsEvery{250};
// A thread stopped by something unforeseen starts again after this.
constexpr std::chrono::seconds kRestart{5};

// What the station says is wrong: its {"error": ...}, else the start of its body.
std::string ErrorOf(const HttpAnswer& answer) {
    const json body = json::parse(answer.body, nullptr, false);
    std::string why;
    if (body.is_object() && body.contains("error") && body["error"].is_string()) {
        why = body["error"].get<std::string>();
    } else {
        why = answer.body.substr(0, 200);
    }
    return "HTTP " + std::to_string(answer.status) + (why.empty() ? "" : ": " + why);
}

std::optional<std::int64_t> FirstSeq(const UnitsPage& page) {
    for (const std::string& text : page.records) {
        if (const std::optional<UnitRow> row = ParseRecord(text)) {
            return row->seq;
        }
    }
    return std::nullopt;
}

}  // namespace

bool CWaits::Wait(milliseconds time) {
    std::unique_lock lock(m_lock);
    m_changed.wait_for(lock, time, [this] { return m_bStop || m_bNudged; });
    m_bNudged = false;
    return !m_bStop;
}

void CWaits::Nudge() {
    const std::lock_guard lock(m_lock);
    m_bNudged = true;
    m_changed.notify_all();
}

void CWaits::Stop() {
    const std::lock_guard lock(m_lock);
    m_bStop = true;
    m_changed.notify_all();
}

bool CWaits::Stopping() const {
    const std::lock_guard lock(m_lock);
    return m_bStop;
}

milliseconds CBackoff::Next() {
    const milliseconds now = m_next;
    m_next = std::min(m_next * 2, kLast);
    return now;
}

CStationLink::CStationLink(LinkSettings settings, std::size_t index, CLineModel& model,
                           web::CEventHub& hub, LogFunction log)
    : m_settings(std::move(settings)),
      m_index(index),
      m_model(model),
      m_hub(hub),
      m_log(std::move(log)),
      m_pullClient(m_settings.where, m_settings.token),
      m_watchClient(m_settings.where, m_settings.token),
      m_streamClient(m_settings.where, m_settings.token) {}

CStationLink::~CStationLink() {
    Stop();
}

void CStationLink::Start() {
    m_pull = std::thread([this] { Guarded(m_pullWaits, &CStationLink::Pull); });
    m_watch = std::thread([this] { Guarded(m_watchWaits, &CStationLink::Watch); });
}

// Nothing a station or the database sends may end the line server: whatever escapes a thread's
// own handling is said, and the thread starts again a little later.
void CStationLink::Guarded(CWaits& waits, void (CStationLink::*run)()) {
    while (!waits.Stopping()) {
        try {
            (this->*run)();
            return;
        } catch (const std::exception& error) {
            m_log("station " + m_settings.url + ": unexpected: " + error.what() +
                  "; starting again in " + std::to_string(kRestart.count()) + " s");
        }
        if (!waits.Wait(kRestart)) {
            return;
        }
    }
}

void CStationLink::RequestStop() {
    m_pullWaits.Stop();
    m_watchWaits.Stop();
    m_pullClient.Cancel();
    m_watchClient.Cancel();
    m_streamClient.Cancel();
}

void CStationLink::Stop() {
    RequestStop();
    if (m_pull.joinable()) {
        m_pull.join();
    }
    if (m_watch.joinable()) {
        m_watch.join();
    }
}

void CStationLink::Problem(std::optional<std::string>& last, const std::string& what) {
    if (last != what) {
        m_log("station " + m_settings.url + ": " + what);
        last = what;
    }
}

void CStationLink::Solved(std::optional<std::string>& last, const std::string& what) {
    if (last) {
        m_log("station " + m_settings.url + ": " + what);
        last.reset();
    }
}

void CStationLink::Pull() {
    std::unique_ptr<CDatabase> db;
    std::unique_ptr<CStore> store;
    std::optional<StationRow> row;               // as the database has it
    std::string cursor;                          // where the next page is read from
    bool resuming = true;                        // the next page is the first after a wait
    std::optional<std::int64_t> rereadAfter;     // the last seq stored when the log was read again
    std::optional<std::int64_t> previousBefore;  // the first seq after the gap the renamed log
                                                 // was read for
    std::optional<std::string> problem;
    CBackoff backoff;
    const auto fail = [&](const std::string& what) {
        Problem(problem, what);
        m_model.Change(m_index, [&](StationLive& s) {
            s.pulling = false;
            s.behind = true;  // nothing says the line has all of the station's units
            s.pullProblem = what;
            ++s.failures;
        });
        return m_pullWaits.Wait(backoff.Next());
    };
    const std::string limit = "/api/v1/units?limit=" + std::to_string(m_settings.pageSize);

    while (!m_pullWaits.Stopping()) {
        try {
            if (!db || !db->Ok()) {
                store.reset();
                db = std::make_unique<CDatabase>(m_settings.conninfo);
                store = std::make_unique<CStore>(*db);
                row.reset();
            }
            if (!row) {
                row = store->Station(m_settings.url);
                cursor = row->cursor;
                resuming = true;
            }
        } catch (const DatabaseError& error) {
            store.reset();
            db.reset();
            if (!fail("the database: " + error.message)) {
                break;
            }
            continue;
        }

        UnitsPage page;
        std::string target = limit;
        if (!cursor.empty()) {
            target += "&cursor=";
            target += cursor;
        }
        try {
            const HttpAnswer answer = m_pullClient.Get(target, kPageTime);
            if (answer.status == 400 && !cursor.empty()) {
                m_log("station " + m_settings.url +
                      ": its log has no record at the line's cursor " + cursor +
                      " (rotated or replaced?): reading it again from its start; what "
                      "the line has already is not stored twice");
                cursor.clear();
                continue;
            }
            if (answer.status != 200) {
                if (!fail("its units: " + ErrorOf(answer))) {
                    break;
                }
                continue;
            }
            std::optional<UnitsPage> parsed = ParseUnitsPage(answer.body);
            if (!parsed) {
                if (!fail("its units: the answer is no page of units")) {
                    break;
                }
                continue;
            }
            page = std::move(*parsed);
        } catch (const HttpError& error) {
            if (m_pullWaits.Stopping() || !fail(error.message)) {
                break;
            }
            continue;
        }

        // A log replaced while the line waited, its numbers begun again, can have a record
        // where the old cursor points: its first records would be missed.
        if (resuming && !cursor.empty() && row->lastSeq) {
            if (const std::optional<std::int64_t> first = FirstSeq(page);
                first && *first <= *row->lastSeq) {
                m_log("station " + m_settings.url + ": its log begins its numbers again (seq " +
                      std::to_string(*first) + " after " + std::to_string(*row->lastSeq) +
                      "): reading it again from its start");
                cursor.clear();
                resuming = false;
                continue;
            }
        }

        // Records between the last one stored and this page's first. A log replaced while the
        // line waited can have a record boundary just where the old cursor points, with the
        // missing records before it: the log is read again from its start, once for this gap.
        // What is still missing then is not in the log the station serves, such as records
        // written to it just before logrotate renamed it.
        if (row->lastSeq) {
            if (const std::optional<std::int64_t> first = FirstSeq(page);
                first && *first > *row->lastSeq + 1) {
                const std::string missing = "records seq " + std::to_string(*row->lastSeq + 1) +
                                            " to " + std::to_string(*first - 1);
                if (!cursor.empty() && rereadAfter != row->lastSeq) {
                    rereadAfter = row->lastSeq;
                    m_log("station " + m_settings.url + ": " + missing +
                          " are not where the line's cursor points: reading its log again from "
                          "its start");
                    cursor.clear();
                    continue;
                }
                if (previousBefore != first) {
                    // Written to the log just before a rotation renamed it, after the line
                    // last read it: the renamed log has them.
                    previousBefore = first;
                    m_log("station " + m_settings.url + ": " + missing +
                          " are not in its log: reading the log its last rotation renamed");
                    if (const std::optional<std::string> failed = PullPrevious(*store, *row)) {
                        previousBefore.reset();  // read again once it can be
                        row.reset();
                        if (!fail(*failed)) {
                            break;
                        }
                    }
                    continue;
                }
                m_log("station " + m_settings.url + ": " + missing +
                      " never reached the line; they are in none of the station's logs it serves "
                      "(rotated more than once since the line read it?)");
            }
        }
        try {
            const Stored stored = store->Put(row->id, row->cursor, page);
            row->cursor = page.next;
            cursor = page.next;
            if (stored.lastSeq) {
                row->lastSeq = stored.lastSeq;
            }
            if (stored.invalid > 0) {
                m_log("station " + m_settings.url + ": passed over " +
                      std::to_string(stored.invalid) + " record(s) that are no JSON object");
            }
            m_model.SetDatabase(true, "");
            m_model.Change(m_index, [&](StationLive& s) {
                s.pulling = true;
                s.pullProblem.clear();
                s.behind = page.more;
                s.stored += stored.units;
                s.known += stored.known;
                s.invalid += stored.invalid;
                s.lastStored = UtcNow();
                if (!stored.name.empty()) {
                    s.name = stored.name;
                }
            });
        } catch (const CursorMoved&) {
            row.reset();
            if (!fail("another line server stores this station's units into the same database")) {
                break;
            }
            continue;
        } catch (const DatabaseError& error) {
            m_model.SetDatabase(db->Ok(), error.message);
            if (error.connectionLost || !db->Ok()) {
                store.reset();
                db.reset();
            }
            // Whether the last commit took is read back, never guessed.
            row.reset();
            if (!fail("the database: " + error.message)) {
                break;
            }
            continue;
        }
        Solved(problem, "units are stored again");
        backoff.Reset();
        resuming = !page.more;
        if (!page.more && !m_pullWaits.Wait(m_settings.idle)) {
            break;
        }
    }
}

std::optional<std::string> CStationLink::PullPrevious(CStore& store, StationRow& row) {
    const std::string limit =
        "/api/v1/units?previous=1&limit=" + std::to_string(m_settings.pageSize) + "&cursor=";
    std::string at = "0";
    try {
        while (!m_pullWaits.Stopping()) {
            const HttpAnswer answer = m_pullClient.Get(limit + at, kPageTime);
            if (answer.status != 200) {
                return "its renamed log: " + ErrorOf(answer);
            }
            std::optional<UnitsPage> page = ParseUnitsPage(answer.body);
            if (!page) {
                return std::string("its renamed log: the answer is no page of units");
            }
            // Stored without moving the cursor, which is the station's current log's.
            at = page->next;
            page->next = row.cursor;
            const Stored stored = store.Put(row.id, row.cursor, *page);
            if (stored.lastSeq) {
                row.lastSeq = stored.lastSeq;
            }
            m_model.Change(m_index, [&](StationLive& s) {
                s.stored += stored.units;
                s.known += stored.known;
                s.invalid += stored.invalid;
            });
            if (!page->more) {
                return std::nullopt;
            }
        }
        return std::string("stopping");
    } catch (const HttpError& error) {
        return "its renamed log: " + error.message;
    } catch (const DatabaseError& error) {
        return "the database: " + error.message;
    } catch (const CursorMoved&) {
        return std::string(
            "another line server stores this station's units into the same database");
    }
}

void CStationLink::Watch() {
    std::optional<std::string> problem;
    CBackoff backoff;
    const auto view = [this](const std::string& target) {
        const HttpAnswer answer = m_watchClient.Get(target, kViewTime);
        if (answer.status != 200) {
            throw HttpError{target + ": " + ErrorOf(answer)};
        }
        json body = json::parse(answer.body, nullptr, false);
        if (body.is_discarded()) {
            throw HttpError{target + ": the answer is no JSON"};
        }
        return body;
    };
    while (!m_watchWaits.Stopping()) {
        try {
            json facts = view("/api/v1/station");
            json slots = view("/api/v1/slots");
            m_model.Change(m_index, [&](StationLive& s) {
                s.reachable = true;
                s.problem.clear();
                s.facts = std::move(facts);
                s.slots = slots.is_object() && slots.contains("slots") ? std::move(slots["slots"])
                                                                       : json::array();
            });
            Solved(problem, "reached again");
            backoff.Reset();
            std::string pending;
            auto refreshed = std::chrono::steady_clock::now();
            m_streamClient.Stream(
                "/api/v1/events", kStreamQuiet,
                [&](int status) {
                    if (status != 200) {
                        throw HttpError{"/api/v1/events: HTTP " + std::to_string(status)};
                    }
                    return true;
                },
                [&](std::string_view piece) {
                    pending += piece;
                    for (std::size_t end = pending.find("\n\n"); end != std::string::npos;
                         end = pending.find("\n\n")) {
                        const std::string block = pending.substr(0, end);
                        pending.erase(0, end + 2);
                        for (std::size_t at = 0; at < block.size();) {
                            const std::size_t eol = std::min(block.find('\n', at), block.size());
                            const std::string_view line(block.data() + at, eol - at);
                            if (line.substr(0, 5) == "data:") {
                                OnEvent(line.substr(line.size() > 5 && line[5] == ' ' ? 6 : 5),
                                        m_watchClient, refreshed);
                            }
                            at = eol + 1;
                        }
                        // A comment, the stream's heartbeat: the times on the page move on.
                        if (block.substr(0, 1) == ":") {
                            OnEvent("", m_watchClient, refreshed);
                        }
                    }
                    // An event is a few hundred bytes; a stream that never ends one is broken.
                    if (pending.size() > std::size_t{1024} * 1024) {
                        throw HttpError{"/api/v1/events: an event over 1 MiB"};
                    }
                    return !m_watchWaits.Stopping();
                });
        } catch (const HttpError& error) {
            if (m_watchWaits.Stopping()) {
                break;
            }
            Problem(problem, "cannot follow it: " + error.message);
            m_model.Change(m_index, [&](StationLive& s) {
                s.reachable = false;
                s.problem = error.message;
            });
            if (!m_watchWaits.Wait(backoff.Next())) {
                break;
            }
        }
    }
}

void CStationLink::OnEvent(std::string_view data, CHttpClient& slots,
                           std::chrono::steady_clock::time_point& refreshed) {
    bool changed = false;  // a slot's state or unit: read at once, not at the next event
    bool ended = false;
    if (!data.empty()) {
        const json event = json::parse(data, nullptr, false);
        if (event.is_discarded() || !event.is_object()) {
            return;
        }
        if (m_hub.Wanted()) {
            m_hub.Publish(json({{"station", m_settings.url}, {"event", event}})
                              .dump(-1, ' ', false, json::error_handler_t::replace));
        }
        const auto named = event.find("event");
        const std::string type =
            named != event.end() && named->is_string() ? named->get<std::string>() : "";
        ended = type == "unit_complete";
        changed = ended || type == "slot_state" || type == "unit_started";
        if (ended) {
            m_pullWaits.Nudge();  // its record is in the log now
        }
    }
    const auto now = std::chrono::steady_clock::now();
    if (!changed && now - refreshed < kSlotsEvery) {
        return;
    }
    refreshed = now;
    const auto read = [&slots](const std::string& target) {
        const HttpAnswer answer = slots.Get(target, kViewTime);
        json body = json::parse(answer.body, nullptr, false);
        return answer.status == 200 && body.is_object() ? body : json();
    };
    json view = read("/api/v1/slots");
    json facts = ended || data.empty() ? read("/api/v1/station") : json();
    m_model.Change(m_index, [&](StationLive& s) {
        if (view.contains("slots")) {
            s.slots = std::move(view["slots"]);
        }
        if (facts.is_object()) {
            s.facts = std::move(facts);
        }
    });
}

}  // namespace vandrelux::line

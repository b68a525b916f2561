// One station as the line server follows it, on two threads of its own: one pulls its units
// page by page into the database, the other reads its facts, slots and event stream for the
// live page. A station that does not answer, or a database that does not, costs this
// station's threads a wait with a bounded back-off and a line in the log; nothing else waits.
//
// Threading: Start and Stop from the main thread; Stop ends both threads within a few seconds.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "line/HttpClient.h"
#include "line/LineModel.h"
#include "line/Store.h"
#include "web/EventHub.h"

namespace vandrelux::line {

struct LinkSettings {
    std::string url;  // as given, the station's name in the database
    StationUrl where;
    std::string token;                     // for the station's API; empty: none
    std::string conninfo;                  // the database
    std::chrono::milliseconds idle{1000};  // between pulls once a station's log is all read
    std::size_t pageSize = 1000;
};

// Where a line of the log goes: standard error, one line at a time.
using LogFunction = std::function<void(const std::string&)>;

// Waits that end at once when the link stops or is nudged.
class CWaits {
public:
    // False when stopping.
    bool Wait(std::chrono::milliseconds time);
    void Nudge();
    void Stop();
    [[nodiscard]] bool Stopping() const;

private:
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_bStop = false;
    bool m_bNudged = false;
};

// 0.5 s, doubling up to 8 s; again from 0.5 s after a success.
class CBackoff {
public:
    std::chrono::milliseconds Next();
    void Reset() { m_next = kFirst; }

private:
    static constexpr std::chrono::milliseconds kFirst{500};
    static constexpr std::chrono::milliseconds kLast{8000};
    std::chrono::milliseconds m_next = kFirst;
};

class CStationLink {
public:
    CStationLink(LinkSettings settings, std::size_t index, CLineModel& model, web::CEventHub& hub,
                 LogFunction log);
    ~CStationLink();
    CStationLink(const CStationLink&) = delete;
    CStationLink& operator=(const CStationLink&) = delete;

    void Start();
    // Asks both threads to end, without waiting: a line server stops all its stations at once.
    void RequestStop();
    // Asks and waits.
    void Stop();

private:
    void Guarded(CWaits& waits, void (CStationLink::*run)());
    void Pull();
    // Every record of the log the station's last rotation renamed, into the database; what
    // went wrong, if anything.
    std::optional<std::string> PullPrevious(CStore& store, StationRow& row);
    void Watch();
    // A problem is logged when it is new, and its end once it is over.
    void Problem(std::optional<std::string>& last, const std::string& what);
    void Solved(std::optional<std::string>& last, const std::string& what);
    void OnEvent(std::string_view data, CHttpClient& slots,
                 std::chrono::steady_clock::time_point& refreshed);

    const LinkSettings m_settings;
    const std::size_t m_index;
    CLineModel& m_model;
    web::CEventHub& m_hub;
    LogFunction m_log;
    CWaits m_pullWaits;
    CWaits m_watchWaits;
    CHttpClient m_pullClient;
    CHttpClient m_watchClient;
    CHttpClient m_streamClient;
    std::thread m_pull;
    std::thread m_watch;
};

}  // namespace vandrelux::line

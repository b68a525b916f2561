// What the page, the API and the metrics show of the station: its facts, each slot's state,
// counts and unit under way, the totals and the latest units. The station's events keep it up to
// date; the web server reads copies of it.
//
// Threading: any thread. One lock guards it, held only to change it or to copy it, so the
// engine's thread never waits on the server for longer than a copy.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "station/Events.h"

namespace vandrelux::station::http {

using ModelClock = std::chrono::steady_clock;

struct StationFacts {
    std::string version;
    std::vector<std::pair<std::string, std::string>> files;  // kind and path, in sending order
    std::string unitsLog;                                    // empty: none
    std::chrono::system_clock::time_point start;
};

struct SlotView {
    std::string name;
    std::string state = "opening";  // as the slot_state event names it
    std::string text;               // the state in words
    int passed = 0;
    int failed = 0;
    int abandoned = 0;
    // The unit under way, or the last one.
    int unit = 0;
    ModelClock::time_point unitStart;
    std::string kind;  // of the image on its way
    std::string file;
    std::uint64_t done = 0;
    std::uint64_t total = 0;
    double bytesPerSecond = 0;
    int refused = 0;  // frames the box refused in this unit
    // The last unit that ended.
    std::string lastOutcome;
    std::string lastReason;
    std::string lastEnd;
    // Counts since the station started, for the metrics.
    std::map<std::string, std::uint64_t> outcomes;
    std::uint64_t images = 0;
    std::uint64_t imageBytes = 0;  // bytes the boxes acknowledged
    std::uint64_t refusedFrames = 0;
    std::uint64_t resentImages = 0;
};

// Upper bounds of the unit durations' histogram, in seconds.
inline constexpr std::array<double, 10> kDurationBounds = {1,  2,   5,   10,  30,
                                                           60, 120, 300, 600, 1800};

struct StationView {
    StationFacts facts;
    std::vector<SlotView> slots;
    ModelClock::time_point now;
    double uptimeSeconds = 0;
    std::size_t unitsLastHour = 0;
    std::uint64_t units = 0;
    std::uint64_t firstPass = 0;  // passed with no refused frame and no resent image
    std::array<std::uint64_t, kDurationBounds.size()> durationCounts{};  // per bound, not summed
    std::uint64_t durationsAbove = 0;  // longer than the last bound
    double durationSum = 0;
    std::string halt;  // "", "drain" or "abandon": what the station was last told
};

class CStationModel {
public:
    explicit CStationModel(StationFacts facts);

    // The slot's number for the calls below.
    std::size_t AddSlot(const std::string& name);
    void SetState(std::size_t slot, std::string state, std::string text);
    void UnitStarted(std::size_t slot, int unit);
    void FileStarted(std::size_t slot, std::string kind, const std::string& path);
    void Progress(std::size_t slot, const ProgressState& progress);
    void FrameRefused(std::size_t slot);
    // `unit` as the units log records it, and its line there.
    void UnitEnded(std::size_t slot, const nlohmann::json& unit, std::string record);
    void Halting(bool abandon);

    [[nodiscard]] bool HasSlot(std::string_view name) const;
    [[nodiscard]] StationView View() const;
    // The latest units' records, newest first.
    [[nodiscard]] std::vector<std::string> RecentUnits() const;

private:
    mutable std::mutex m_lock;  // guards what follows
    StationView m_view;
    std::deque<std::string> m_recent;
    std::deque<ModelClock::time_point> m_ended;  // of the units in the last hour
    ModelClock::time_point m_start = ModelClock::now();
};

}  // namespace vandrelux::station::http

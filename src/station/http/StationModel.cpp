#include "station/http/StationModel.h"

#include <algorithm>
#include <filesystem>

namespace vandrelux::station::http {

namespace {

constexpr std::size_t kRecentUnits = 50;
constexpr auto kHour = std::chrono::hours(1);

}  // namespace

CStationModel::CStationModel(StationFacts facts) {
    m_view.facts = std::move(facts);
}

std::size_t CStationModel::AddSlot(const std::string& name) {
    const std::lock_guard lock(m_lock);
    SlotView& slot = m_view.slots.emplace_back();
    slot.name = name;
    return m_view.slots.size() - 1;
}

void CStationModel::SetState(std::size_t slot, std::string state, std::string text) {
    const std::lock_guard lock(m_lock);
    SlotView& view = m_view.slots.at(slot);
    view.state = std::move(state);
    view.text = std::move(text);
}

void CStationModel::UnitStarted(std::size_t slot, int unit) {
    const std::lock_guard lock(m_lock);
    SlotView& view = m_view.slots.at(slot);
    view.unit = unit;
    view.unitStart = ModelClock::now();
    view.kind.clear();
    view.file.clear();
    view.done = 0;
    view.total = 0;
    view.bytesPerSecond = 0;
    view.refused = 0;
}

void CStationModel::FileStarted(std::size_t slot, std::string kind, const std::string& path) {
    const std::lock_guard lock(m_lock);
    SlotView& view = m_view.slots.at(slot);
    view.kind = std::move(kind);
    view.file = std::filesystem::path(path).filename().string();
}

void CStationModel::Progress(std::size_t slot, const ProgressState& progress) {
    const std::lock_guard lock(m_lock);
    SlotView& view = m_view.slots.at(slot);
    view.done = progress.done;
    view.total = progress.total;
    view.bytesPerSecond = progress.bytesPerSecond;
}

void CStationModel::FrameRefused(std::size_t slot) {
    const std::lock_guard lock(m_lock);
    ++m_view.slots.at(slot).refused;
}

void CStationModel::UnitEnded(std::size_t slot, const nlohmann::json& unit, std::string record) {
    const std::string outcome = unit.value("outcome", "");
    bool clean = outcome == "ok";
    std::uint64_t images = 0;
    std::uint64_t bytes = 0;
    std::uint64_t naks = 0;
    std::uint64_t resends = 0;
    for (const nlohmann::json& image : unit.value("images", nlohmann::json::array())) {
        ++images;
        bytes += image.value("done", std::uint64_t{0});
        naks += image.value("naks", std::uint64_t{0});
        resends += image.value("resends", std::uint64_t{0});
    }
    clean = clean && naks == 0 && resends == 0;
    const double seconds = unit.value("seconds", 0.0);
    const auto now = ModelClock::now();

    const std::lock_guard lock(m_lock);
    SlotView& view = m_view.slots.at(slot);
    if (outcome == "ok") {
        ++view.passed;
    } else if (outcome == "abandoned") {
        ++view.abandoned;
    } else {
        ++view.failed;
    }
    view.lastOutcome = outcome;
    view.lastReason = unit.value("reason", "");
    view.lastEnd = unit.value("end", "");
    ++view.outcomes[outcome];
    view.images += images;
    view.imageBytes += bytes;
    view.refusedFrames += naks;
    view.resentImages += resends;

    ++m_view.units;
    m_view.firstPass += clean ? 1 : 0;
    const auto bound = std::lower_bound(kDurationBounds.begin(), kDurationBounds.end(), seconds);
    if (bound == kDurationBounds.end()) {
        ++m_view.durationsAbove;
    } else {
        ++m_view.durationCounts.at(static_cast<std::size_t>(bound - kDurationBounds.begin()));
    }
    m_view.durationSum += seconds;

    m_ended.push_back(now);
    while (m_ended.front() < now - kHour) {
        m_ended.pop_front();
    }
    m_recent.push_front(std::move(record));
    if (m_recent.size() > kRecentUnits) {
        m_recent.pop_back();
    }
}

void CStationModel::Halting(bool abandon) {
    const std::lock_guard lock(m_lock);
    m_view.halt = abandon ? "abandon" : "drain";
}

bool CStationModel::HasSlot(std::string_view name) const {
    const std::lock_guard lock(m_lock);
    return std::any_of(m_view.slots.begin(), m_view.slots.end(),
                       [name](const SlotView& slot) { return slot.name == name; });
}

StationView CStationModel::View() const {
    const auto now = ModelClock::now();
    const std::lock_guard lock(m_lock);
    StationView view = m_view;
    view.now = now;
    view.uptimeSeconds = std::chrono::duration<double>(now - m_start).count();
    view.unitsLastHour = static_cast<std::size_t>(
        m_ended.end() - std::lower_bound(m_ended.begin(), m_ended.end(), now - kHour));
    return view;
}

std::vector<std::string> CStationModel::RecentUnits() const {
    const std::lock_guard lock(m_lock);
    return {m_recent.begin(), m_recent.end()};
}

}  // namespace vandrelux::station::http

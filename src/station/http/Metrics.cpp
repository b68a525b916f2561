#include "station/http/Metrics.h"

#include "os/Format.h"
#include "station/Results.h"
#include "web/Prometheus.h"

namespace vandrelux::station::http {

namespace {

constexpr std::array<Outcome, 6> kUnitOutcomes = {Outcome::Success,         Outcome::BoxFailure,
                                                  Outcome::FileNotOpenable, Outcome::TimedOut,
                                                  Outcome::LineLost,        Outcome::Abandoned};

void Family(std::string& text, const char* name, const char* type, const char* help) {
    text += platform::Format("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// One counter with a value per slot.
template <typename Value>
void PerSlot(std::string& text, const StationView& view, const char* name, const char* help,
             Value value) {
    Family(text, name, "counter", help);
    for (const SlotView& slot : view.slots) {
        text += platform::Format("%s{slot=\"%s\"} %llu\n", name,
                                 web::PrometheusLabel(slot.name).c_str(),
                                 static_cast<unsigned long long>(value(slot)));
    }
}

}  // namespace

std::string MetricsText(const StationView& view) {
    std::string text;
    Family(text, "vandrelux_build_info", "gauge", "The station's program version.");
    text += platform::Format("vandrelux_build_info{version=\"%s\"} 1\n",
                             web::PrometheusLabel(view.facts.version).c_str());
    Family(text, "vandrelux_start_time_seconds", "gauge",
           "When the station started, in seconds since the Unix epoch.");
    text += platform::Format(
        "vandrelux_start_time_seconds %.3f\n",
        std::chrono::duration<double>(view.facts.start.time_since_epoch()).count());

    Family(text, "vandrelux_units_total", "counter",
           "Units ended since the station started, by slot and outcome.");
    for (const SlotView& slot : view.slots) {
        for (const Outcome outcome : kUnitOutcomes) {
            const auto found = slot.outcomes.find(OutcomeName(outcome));
            text += platform::Format(
                "vandrelux_units_total{slot=\"%s\",outcome=\"%s\"} %llu\n",
                web::PrometheusLabel(slot.name).c_str(), OutcomeName(outcome),
                static_cast<unsigned long long>(found == slot.outcomes.end() ? 0 : found->second));
        }
    }
    PerSlot(text, view, "vandrelux_images_sent_total", "Images the units sent, by slot.",
            [](const SlotView& slot) { return slot.images; });
    PerSlot(text, view, "vandrelux_image_bytes_sent_total",
            "Image bytes the boxes acknowledged, by slot.",
            [](const SlotView& slot) { return slot.imageBytes; });
    PerSlot(text, view, "vandrelux_refused_frames_total", "Frames the boxes refused, by slot.",
            [](const SlotView& slot) { return slot.refusedFrames; });
    PerSlot(text, view, "vandrelux_resent_images_total",
            "Whole images sent again after a refused check, by slot.",
            [](const SlotView& slot) { return slot.resentImages; });

    Family(text, "vandrelux_unit_duration_seconds", "histogram",
           "How long the units took, from the box's ready to their end.");
    std::uint64_t count = 0;
    for (std::size_t i = 0; i < kDurationBounds.size(); ++i) {
        count += view.durationCounts.at(i);
        text += platform::Format("vandrelux_unit_duration_seconds_bucket{le=\"%g\"} %llu\n",
                                 kDurationBounds.at(i), static_cast<unsigned long long>(count));
    }
    count += view.durationsAbove;
    text += platform::Format("vandrelux_unit_duration_seconds_bucket{le=\"+Inf\"} %llu\n",
                             static_cast<unsigned long long>(count));
    text += platform::Format("vandrelux_unit_duration_seconds_sum %.6f\n", view.durationSum);
    text += platform::Format("vandrelux_unit_duration_seconds_count %llu\n",
                             static_cast<unsigned long long>(count));

    Family(text, "vandrelux_slot_state", "gauge", "1 for the state each slot is in, else 0.");
    for (const SlotView& slot : view.slots) {
        for (const char* state : kSlotStates) {
            text += platform::Format("vandrelux_slot_state{slot=\"%s\",state=\"%s\"} %d\n",
                                     web::PrometheusLabel(slot.name).c_str(), state,
                                     slot.state == state ? 1 : 0);
        }
    }
    return text;
}

}  // namespace vandrelux::station::http

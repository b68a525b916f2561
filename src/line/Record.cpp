#include "line/Record.h"

#include <charconv>
#include <chrono>
#include <nlohmann/json.hpp>
#include <span>

#include "store/Sha256.h"

namespace vandrelux::line {

namespace {

using nlohmann::json;

std::string StringOf(const json& object, const char* key) {
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

std::optional<std::int64_t> IntegerOf(const json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_number_integer()) {
        return std::nullopt;
    }
    if (found->is_number_unsigned() &&
        found->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
        return std::nullopt;
    }
    return found->get<std::int64_t>();
}

std::optional<double> RealOf(const json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_number()) {
        return std::nullopt;
    }
    return found->get<double>();
}

std::optional<bool> BoolOf(const json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_boolean()) {
        return std::nullopt;
    }
    return found->get<bool>();
}

// PostgreSQL's text and jsonb hold no NUL character: one becomes U+FFFD, as a byte that is no
// UTF-8 does when the record is written out again.
void ReplaceNul(json& value) {
    if (value.is_string()) {
        auto& text = value.get_ref<std::string&>();
        for (std::size_t at = text.find('\0'); at != std::string::npos; at = text.find('\0', at)) {
            text.replace(at, 1, "\xEF\xBF\xBD");
        }
    } else if (value.is_structured()) {
        if (value.is_object()) {
            json cleaned = json::object();
            for (auto& [key, item] : value.items()) {
                json name = key;
                ReplaceNul(name);
                ReplaceNul(item);
                cleaned[name.get<std::string>()] = std::move(item);
            }
            value = std::move(cleaned);
        } else {
            for (json& item : value) {
                ReplaceNul(item);
            }
        }
    }
}

int Digits(std::string_view text, std::size_t at, std::size_t count) {
    int value = 0;
    if (at + count > text.size()) {
        return -1;
    }
    const auto [end, error] = std::from_chars(text.data() + at, text.data() + at + count, value);
    return error == std::errc() && end == text.data() + at + count ? value : -1;
}

// Where the JSON value that begins at `at` ends; npos when it does not end in `text`. Enough of
// JSON to find a value's end: strings with their escapes, and nesting.
std::size_t ValueEnd(std::string_view text, std::size_t at) {
    int depth = 0;
    bool inString = false;
    for (std::size_t i = at; i < text.size(); ++i) {
        const char ch = text[i];
        if (inString) {
            if (ch == '\\') {
                ++i;
            } else if (ch == '"') {
                inString = false;
            }
        } else if (ch == '"') {
            inString = true;
        } else if (ch == '{' || ch == '[') {
            ++depth;
        } else if (ch == '}' || ch == ']') {
            if (--depth == 0) {
                return i + 1;
            }
            if (depth < 0) {
                return std::string_view::npos;
            }
        } else if (depth == 0 && (ch == ',' || ch == ' ')) {
            return i;  // a number, true, false or null
        }
    }
    return std::string_view::npos;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

std::optional<UnitsPage> ParseUnitsPage(std::string_view body) {
    // The station writes {"units":[RECORD,...],"next":"N","more":B}, its records as they are
    // in the log; the rest is read as JSON.
    constexpr std::string_view kStart = R"({"units":[)";
    if (body.substr(0, kStart.size()) != kStart) {
        return std::nullopt;
    }
    UnitsPage page;
    std::size_t at = kStart.size();
    while (at < body.size() && body[at] != ']') {
        std::size_t end = ValueEnd(body, at);
        // Blanks after a record (a log line ending in CR LF) are the log's, so its text too.
        while (end < body.size() && IsBlank(body[end])) {
            ++end;
        }
        if (end == std::string_view::npos || end >= body.size()) {
            return std::nullopt;
        }
        page.records.emplace_back(body.substr(at, end - at));
        at = end;
        if (body[at] == ',') {
            ++at;
        } else if (body[at] != ']') {
            return std::nullopt;
        }
    }
    if (at >= body.size() || body.substr(at, 2) != "],") {
        return std::nullopt;
    }
    const json rest = json::parse("{" + std::string(body.substr(at + 2)), nullptr, false);
    if (rest.is_discarded() || !rest.is_object() || !rest.contains("next") ||
        !rest["next"].is_string() || !rest.contains("more") || !rest["more"].is_boolean()) {
        return std::nullopt;
    }
    page.next = rest["next"].get<std::string>();
    page.more = rest["more"].get<bool>();
    // The cursor goes into the next request's target: a whole number, nothing else.
    if (page.next.empty() || page.next.size() > 20 ||
        page.next.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return page;
}

std::string TimestampOf(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SS[.fff]Z, as the station writes it; a value PostgreSQL would refuse
    // must not cost the page it is in.
    if (text.size() < 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text.back() != 'Z') {
        return {};
    }
    const int year = Digits(text, 0, 4);
    const int month = Digits(text, 5, 2);
    const int day = Digits(text, 8, 2);
    const int hour = Digits(text, 11, 2);
    const int minute = Digits(text, 14, 2);
    const int second = Digits(text, 17, 2);
    std::string_view fraction = text.substr(19, text.size() - 20);
    if (!fraction.empty()) {
        if (fraction.front() != '.' || fraction.size() < 2 || fraction.size() > 7 ||
            Digits(fraction, 1, fraction.size() - 1) < 0) {
            return {};
        }
    }
    const std::chrono::year_month_day date{std::chrono::year(year),
                                           std::chrono::month(static_cast<unsigned>(month)),
                                           std::chrono::day(static_cast<unsigned>(day))};
    if (year < 1 || month < 1 || day < 1 || !date.ok() || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 59) {
        return {};
    }
    std::string stamp(text.substr(0, 19));
    stamp[10] = ' ';
    stamp += fraction;
    stamp += "+00";
    return stamp;
}

std::optional<UnitRow> ParseRecord(std::string_view text) {
    json record = json::parse(text, nullptr, false);
    if (record.is_discarded() || !record.is_object()) {
        return std::nullopt;
    }
    UnitRow row;
    row.digest = store::Sha256Hex(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    const bool hasNul = text.find("\\u0000") != std::string_view::npos;
    if (hasNul) {
        ReplaceNul(record);
    }
    row.station = StringOf(record, "station");
    row.seq = IntegerOf(record, "seq");
    row.slot = StringOf(record, "slot");
    row.unit = IntegerOf(record, "unit");
    row.start = TimestampOf(StringOf(record, "start"));
    row.end = TimestampOf(StringOf(record, "end"));
    row.seconds = RealOf(record, "seconds");
    row.outcome = StringOf(record, "outcome");
    row.firstPass = BoolOf(record, "first_pass");
    row.boxId = StringOf(record, "box_id");
    if (const auto images = record.find("images"); images != record.end() && images->is_array()) {
        for (const json& image : *images) {
            if (!image.is_object()) {
                continue;
            }
            row.images.push_back({StringOf(image, "kind"), StringOf(image, "path"),
                                  IntegerOf(image, "size"), StringOf(image, "sha256"),
                                  StringOf(image, "checksum"), IntegerOf(image, "naks"),
                                  IntegerOf(image, "resends"), BoolOf(image, "accepted")});
        }
    }
    row.record =
        hasNul ? record.dump(-1, ' ', false, json::error_handler_t::replace) : std::string(text);
    return row;
}

}  // namespace vandrelux::line

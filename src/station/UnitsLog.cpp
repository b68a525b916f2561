#include "station/UnitsLog.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <system_error>

namespace vandrelux::station {

namespace {

// Records are a few kilobytes at most: this much of the end holds the last whole ones.
constexpr std::streamoff kTailBytes = std::streamoff{256} * 1024;

}  // namespace

std::uint64_t CUnitsLog::LastSeq(const std::string& path) {
    // A pipe or a device has nothing to read back, and opening it to read could wait for ever.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        return 0;
    }
    std::ifstream log(path, std::ios::binary | std::ios::ate);
    if (!log) {
        return 0;
    }
    const std::streamoff size = log.tellg();
    const std::streamoff start = std::max<std::streamoff>(0, size - kTailBytes);
    std::string tail(static_cast<std::size_t>(size - start), '\0');
    log.seekg(start);
    if (!log.read(tail.data(), static_cast<std::streamsize>(tail.size()))) {
        return 0;
    }
    // Torn lines and other writers' text do not parse; the highest number counts, whatever
    // the order the lines came in.
    std::uint64_t last = 0;
    std::size_t from = start == 0 ? 0 : tail.find('\n');
    while (from != std::string::npos && from < tail.size()) {
        const std::size_t end = tail.find('\n', from);
        const std::string line =
            tail.substr(from, end == std::string::npos ? std::string::npos : end - from);
        const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
        if (record.is_object() && record.contains("seq") && record["seq"].is_number_unsigned()) {
            last = std::max(last, record["seq"].get<std::uint64_t>());
        }
        from = end == std::string::npos ? end : end + 1;
    }
    return last;
}

CUnitsLog::~CUnitsLog() {
    Close();
}

std::optional<platform::SystemError> CUnitsLog::Append(std::string record) {
    record += '\n';
    m_waiting.push_back(std::move(record));
    return Flush();
}

std::optional<platform::SystemError> CUnitsLog::Flush() {
    if (m_waiting.empty()) {
        return std::nullopt;
    }
    if (m_fd < 0) {
        return platform::SystemError{EBADF, std::system_category().message(EBADF)};
    }
    return m_bFile ? WriteToFile() : WriteToStream();
}

}  // namespace vandrelux::station

#include "station/http/UnitsPage.h"

#include <fstream>
#include <nlohmann/json.hpp>

namespace vandrelux::station::http {

namespace {

constexpr std::size_t kChunk = std::size_t{1} << 16;

bool IsRecord(const std::string& line) {
    return !line.empty() && line.front() == '{' && nlohmann::json::accept(line);
}

}  // namespace

std::optional<UnitsPage> ReadUnits(const std::string& path, std::uint64_t cursor,
                                   std::size_t limit) {
    UnitsPage page;
    page.next = cursor;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        // No log yet: no unit has ended; a cursor can only be its start.
        return cursor == 0 ? std::optional<UnitsPage>(page) : std::nullopt;
    }
    in.seekg(0, std::ios::end);
    const auto size = static_cast<std::uint64_t>(in.tellg());
    if (cursor > size) {
        return std::nullopt;
    }
    if (cursor > 0) {
        char before = 0;
        in.seekg(static_cast<std::streamoff>(cursor - 1));
        if (!in.get(before) || before != '\n') {
            return std::nullopt;
        }
    }
    in.seekg(static_cast<std::streamoff>(cursor));
    std::string pending;  // the line being read, up to the chunk's end
    std::vector<char> chunk(kChunk);
    std::uint64_t offset = cursor;  // of the chunk's first byte
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
        const auto got = static_cast<std::size_t>(in.gcount());
        std::size_t start = 0;
        for (std::size_t i = 0; i < got; ++i) {
            if (chunk[i] != '\n') {
                continue;
            }
            pending.append(chunk.data() + start, i - start);
            start = i + 1;
            if (IsRecord(pending)) {
                if (page.records.size() == limit) {
                    page.more = true;
                    return page;
                }
                page.records.push_back(std::move(pending));
            }
            pending.clear();
            page.next = offset + start;
        }
        pending.append(chunk.data() + start, got - start);
        offset += got;
    }
    return page;
}

}  // namespace vandrelux::station::http

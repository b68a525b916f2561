// What the page tells of an update file: its name, size, SHA-256 and time stamp, so that a person
// at the line can check which file the boxes get.
//
// Threading: a CFileFacts belongs to one thread (the web server's).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace vandrelux::station::http {

struct FileFacts {
    std::string path;
    std::optional<std::uint64_t> size;  // none while the file cannot be read
    std::string sha256;
    std::string modified;  // UTC, as the units log writes times
    std::string problem;   // why it cannot be read
};

class CFileFacts {
public:
    // The facts of `path` as it is now; the file is read again only when its size or time
    // stamp changed since the last look.
    [[nodiscard]] FileFacts Of(const std::string& path);

private:
    struct Seen {
        std::uint64_t size = 0;
        std::filesystem::file_time_type written;
        FileFacts facts;
    };
    std::map<std::string, Seen> m_seen;
};

}  // namespace vandrelux::station::http

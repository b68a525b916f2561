#include "station/http/FileFacts.h"

#include <chrono>
#include <fstream>
#include <system_error>
#include <vector>

#include "station/Results.h"
#include "store/Sha256.h"

namespace vandrelux::station::http {

FileFacts CFileFacts::Of(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(path, ec);
    const fs::file_time_type written = ec ? fs::file_time_type{} : fs::last_write_time(path, ec);
    if (ec) {
        m_seen.erase(path);
        return {path, std::nullopt, {}, {}, ec.message()};
    }
    const auto seen = m_seen.find(path);
    if (seen != m_seen.end() && seen->second.size == size && seen->second.written == written) {
        return seen->second.facts;
    }
    std::ifstream in(path, std::ios::binary);
    store::CSha256 sha;
    std::vector<char> buffer(std::size_t{1} << 16);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
        sha.Update({reinterpret_cast<const std::uint8_t*>(buffer.data()),
                    static_cast<std::size_t>(in.gcount())});
    }
    if (!in.eof()) {
        m_seen.erase(path);
        return {path, std::nullopt, {}, {}, "cannot be read"};
    }
    FileFacts facts{path,
                    size,
                    store::HexDigits(sha.Finish()),
                    UtcText(std::chrono::time_point_cast<std::chrono::system_clock::duration>(
                        std::chrono::file_clock::to_sys(written))),
                    {}};
    m_seen[path] = {size, written, facts};
    return facts;
}

}  // namespace vandrelux::station::http

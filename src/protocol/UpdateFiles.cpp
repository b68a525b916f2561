#include "protocol/UpdateFiles.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>

#include "protocol/Frames.h"

namespace vandrelux::protocol {

namespace {

constexpr std::size_t kComparePiece = std::size_t{64} * 1024;

// The length of the regular file at `path`, if it may be an update file.
std::optional<std::uintmax_t> UpdateFileSize(const std::filesystem::path& file) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) {
        return std::nullopt;
    }
    const std::uintmax_t size = std::filesystem::file_size(file, ec);
    if (ec || !ImageLengthFits(size)) {
        return std::nullopt;
    }
    return size;
}

}  // namespace

UpdateImage ReadWholeUpdateFile(const std::string& path) {
    // Directories and files whose padded size does not fit the 32-bit length are refused as
    // unreadable rather than sent cut short.
    const std::optional<std::uintmax_t> size = UpdateFileSize(path);
    if (!size) {
        return nullptr;
    }
    const FilePtr stream(std::fopen(path.c_str(), "rb"));
    if (!stream) {
        return nullptr;
    }
    const auto length = static_cast<std::size_t>(*size);
    // Zeroed, so an odd-sized file's pad byte is in place.
    auto image = std::make_shared<std::vector<std::uint8_t>>(length + length % 2);
    // A file that grew after its length was taken would go out cut short: refused instead.
    if (std::fread(image->data(), 1, length, stream.get()) != length ||
        std::fgetc(stream.get()) != EOF) {
        return nullptr;
    }
    return image;
}

UpdateImage CSharedUpdateFiles::Read(const std::string& path) {
    const std::lock_guard lock(m_mutex);
    std::erase_if(m_held, [](const auto& held) { return held.second.expired(); });
    if (const auto held = m_held.find(path); held != m_held.end()) {
        if (UpdateImage image = held->second.lock(); image && Unchanged(path, *image)) {
            return image;
        }
    }
    UpdateImage image = ReadWholeUpdateFile(path);
    if (image) {
        m_held[path] = image;
    } else {
        m_held.erase(path);
    }
    return image;
}

bool CSharedUpdateFiles::Unchanged(const std::string& path,
                                   const std::vector<std::uint8_t>& image) {
    const std::optional<std::uintmax_t> size = UpdateFileSize(path);
    if (!size || *size + *size % 2 != image.size()) {
        return false;
    }
    const FilePtr stream(std::fopen(path.c_str(), "rb"));
    if (!stream) {
        return false;
    }
    const auto length = static_cast<std::size_t>(*size);
    m_piece.resize(std::min(kComparePiece, std::max(m_piece.size(), length)));
    for (std::size_t offset = 0; offset < length;) {
        const std::size_t n = std::min(m_piece.size(), length - offset);
        if (std::fread(m_piece.data(), 1, n, stream.get()) != n ||
            std::memcmp(m_piece.data(), image.data() + offset, n) != 0) {
            return false;
        }
        offset += n;
    }
    return std::fgetc(stream.get()) == EOF;
}

}  // namespace vandrelux::protocol

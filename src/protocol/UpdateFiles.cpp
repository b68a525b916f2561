#include "protocol/UpdateFiles.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>

#include "protocol/Frames.h"

namespace vandrelux::protocol {

namespace {

constexpr std::size_t kComparePiece = std::size_t{64} * 1024;

struct OpenedFile {
    FilePtr stream;
    std::size_t length = 0;
};

// The regular file at `path` opened for reading, with its length, if it may be an update file:
// directories and files whose padded size does not fit the 32-bit length are refused as
// unreadable rather than sent cut short.
std::optional<OpenedFile> OpenUpdateFile(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        return std::nullopt;
    }
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec || !ImageLengthFits(size)) {
        return std::nullopt;
    }
    FilePtr stream(std::fopen(path.c_str(), "rb"));
    if (!stream) {
        return std::nullopt;
    }
    return OpenedFile{std::move(stream), static_cast<std::size_t>(size)};
}

// Whether the stream, read up to the length taken when it was opened, is at its end: a file
// that grew meanwhile would otherwise go out cut short.
bool AtEnd(const OpenedFile& file) {
    return std::fgetc(file.stream.get()) == EOF;
}

}  // namespace

UpdateImage ReadWholeUpdateFile(const std::string& path) {
    const std::optional<OpenedFile> file = OpenUpdateFile(path);
    if (!file) {
        return nullptr;
    }
    // Zeroed, so an odd-sized file's pad byte is in place.
    auto image = std::make_shared<std::vector<std::uint8_t>>(file->length + file->length % 2);
    if (std::fread(image->data(), 1, file->length, file->stream.get()) != file->length ||
        !AtEnd(*file)) {
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
    const std::optional<OpenedFile> file = OpenUpdateFile(path);
    if (!file || file->length + file->length % 2 != image.size()) {
        return false;
    }
    m_piece.resize(std::min(kComparePiece, std::max(m_piece.size(), file->length)));
    for (std::size_t offset = 0; offset < file->length;) {
        const std::size_t n = std::min(m_piece.size(), file->length - offset);
        if (std::fread(m_piece.data(), 1, n, file->stream.get()) != n ||
            std::memcmp(m_piece.data(), image.data() + offset, n) != 0) {
            return false;
        }
        offset += n;
    }
    return AtEnd(*file);
}

}  // namespace vandrelux::protocol

#include "store/UpdateFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include "protocol/Frames.h"
#include "store/Sha256.h"

namespace vandrelux::store {

namespace {

constexpr std::size_t kComparePiece = std::size_t{64} * 1024;

struct OpenedFile {
    FilePtr stream;  // null when the file may not be sent
    std::size_t length = 0;
    std::string failure;  // why not, in the system's words where it has them
};

std::string SystemWords(int code) {
    return std::generic_category().message(code);
}

// The regular file at `path` opened for reading, with its length, if it may be an update file:
// directories and files whose padded size does not fit the 32-bit length are refused as
// unreadable rather than sent cut short.
OpenedFile OpenUpdateFile(const std::string& path) {
    namespace fs = std::filesystem;
    OpenedFile file;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec) {
        file.failure = ec.message();
        return file;
    }
    if (!fs::is_regular_file(status)) {
        file.failure = fs::is_directory(status) ? SystemWords(EISDIR) : "not a regular file";
        return file;
    }
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec) {
        file.failure = ec.message();
        return file;
    }
    if (!protocol::ImageLengthFits(size)) {
        file.failure = "too large for an image (2 GiB and more)";
        return file;
    }
    file.stream.reset(std::fopen(path.c_str(), "rb"));
    if (!file.stream) {
        file.failure = SystemWords(errno);
        return file;
    }
    file.length = static_cast<std::size_t>(size);
    return file;
}

// Whether the stream, read up to the length taken when it was opened, is at its end: a file
// that grew meanwhile would otherwise go out cut short.
bool AtEnd(const OpenedFile& file) {
    return std::fgetc(file.stream.get()) == EOF;
}

}  // namespace

UpdateFileRead ReadWholeUpdateFile(const std::string& path) {
    const OpenedFile file = OpenUpdateFile(path);
    if (!file.stream) {
        return {nullptr, file.failure};
    }
    // Zeroed, so an odd-sized file's pad byte is in place.
    auto image = std::make_shared<std::vector<std::uint8_t>>(file.length + file.length % 2);
    if (std::fread(image->data(), 1, file.length, file.stream.get()) != file.length) {
        return {nullptr, std::ferror(file.stream.get()) != 0 ? SystemWords(errno)
                                                             : "it got shorter while it was read"};
    }
    if (!AtEnd(file)) {
        return {nullptr, "it grew while it was read"};
    }
    return {image, {}, file.length};
}

UpdateFileRead CSharedUpdateFiles::Read(const std::string& path) {
    const std::lock_guard lock(m_mutex);
    std::erase_if(m_held, [](const auto& held) { return held.second.image.expired(); });
    std::erase_if(m_replaced, [](const Held& held) { return held.image.expired(); });
    if (const auto held = m_held.find(path); held != m_held.end()) {
        if (UpdateImage image = held->second.image.lock(); image && Unchanged(path, *image)) {
            return {image, {}, held->second.fileLength};
        }
    }
    UpdateFileRead read = ReadWholeUpdateFile(path);
    if (const auto held = m_held.find(path); held != m_held.end()) {
        m_replaced.push_back(std::move(held->second));
        m_held.erase(held);
    }
    if (read.image) {
        m_held[path] = {read.image, read.fileLength, {}};
    }
    return read;
}

std::string CSharedUpdateFiles::FileDigest(const UpdateImage& image) {
    const std::lock_guard lock(m_mutex);
    const auto same = [&](const Held& held) {
        return !held.image.owner_before(image) && !image.owner_before(held.image);
    };
    Held* found = nullptr;
    for (auto& [path, held] : m_held) {
        found = found != nullptr || !same(held) ? found : &held;
    }
    for (Held& held : m_replaced) {
        found = found != nullptr || !same(held) ? found : &held;
    }
    if (found == nullptr || !image) {
        return {};
    }
    if (found->digest.empty()) {
        found->digest = Sha256Hex({image->data(), found->fileLength});
    }
    return found->digest;
}

bool CSharedUpdateFiles::Unchanged(const std::string& path,
                                   const std::vector<std::uint8_t>& image) {
    const OpenedFile file = OpenUpdateFile(path);
    if (!file.stream || file.length + file.length % 2 != image.size()) {
        return false;
    }
    m_piece.resize(std::min(kComparePiece, std::max(m_piece.size(), file.length)));
    for (std::size_t offset = 0; offset < file.length;) {
        const std::size_t n = std::min(m_piece.size(), file.length - offset);
        if (std::fread(m_piece.data(), 1, n, file.stream.get()) != n ||
            std::memcmp(m_piece.data(), image.data() + offset, n) != 0) {
            return false;
        }
        offset += n;
    }
    return AtEnd(file);
}

}  // namespace vandrelux::store

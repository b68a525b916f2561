// Reading update files whole, alone or shared by transfers that run side by side.
//
// Threading: ReadWholeUpdateFile anywhere; one CSharedUpdateFiles may serve several threads.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/ImageStore.h"

namespace vandrelux::store {

using protocol::IImageStore;
using protocol::TargetResult;
using protocol::UpdateImage;

// A C stream, closed when it goes.
struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// An update file as read, or null with the system's words for why it could not be.
struct UpdateFileRead {
    UpdateImage image;
    std::string failure;
    std::size_t fileLength = 0;  // the file's own bytes: the image less its pad byte
};

// The whole update file at `path`, freshly read, as the image store gives it: an odd-sized file
// with its pad byte.
[[nodiscard]] UpdateFileRead ReadWholeUpdateFile(const std::string& path);

// Many boxes updated at once mostly get the same files. While some transfer still holds an image
// of a file, a new read of that file compares it byte for byte with the held image and, when
// nothing changed, hands out that image again: the boxes share one copy in memory, and the read
// only streams the file through one reused buffer instead of filling fresh memory (which is what
// a read mostly costs). A file changed in any byte or in length is read afresh; an image no
// transfer holds any more is not kept.
class CSharedUpdateFiles {
public:
    // As ReadWholeUpdateFile.
    [[nodiscard]] UpdateFileRead Read(const std::string& path);
    // The SHA-256 of the file an image this reader gave was read from, as sha256sum prints it;
    // worked out once however many transfers hold the image. Empty for an image it did not give.
    [[nodiscard]] std::string FileDigest(const UpdateImage& image);

private:
    struct Held {
        std::weak_ptr<const std::vector<std::uint8_t>> image;
        std::size_t fileLength = 0;
        std::string digest;  // empty until asked for
    };

    [[nodiscard]] bool Unchanged(const std::string& path, const std::vector<std::uint8_t>& image);

    std::mutex m_mutex;
    std::map<std::string, Held> m_held;  // by path
    // Images handed out whose file has changed since, while some transfer still holds them.
    std::vector<Held> m_replaced;
    std::vector<std::uint8_t> m_piece;
};

}  // namespace vandrelux::store

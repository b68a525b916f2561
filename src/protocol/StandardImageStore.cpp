#include "protocol/StandardImageStore.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <system_error>
#include <utility>

#include "protocol/Frames.h"

namespace vandrelux::protocol {

namespace {

// The copy reads the working copy in pieces of the staging buffer's size.
constexpr std::uint32_t kCopyPiece = 5000;

}  // namespace

void CStandardImageStore::FileCloser::operator()(std::FILE* f) const noexcept {
    std::fclose(f);
}

CStandardImageStore::CStandardImageStore(std::string workingCopy)
    : m_strTempPath(std::move(workingCopy)) {}

std::optional<std::vector<std::uint8_t>> CStandardImageStore::ReadUpdateFile(
    const std::string& path) {
    // Directories and files whose padded size does not fit the 32-bit length are refused as
    // unreadable rather than sent cut short.
    std::error_code ec;
    const std::filesystem::path file(path);
    if (!std::filesystem::is_regular_file(file, ec)) {
        return std::nullopt;
    }
    const std::uintmax_t size = std::filesystem::file_size(file, ec);
    if (ec || !ImageLengthFits(size)) {
        return std::nullopt;
    }
    const FilePtr stream(std::fopen(path.c_str(), "rb"));
    if (!stream) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> image;
    image.reserve(static_cast<std::size_t>(size + 1));  // room for the pad byte of an odd size
    image.resize(static_cast<std::size_t>(size));
    if (std::fread(image.data(), 1, image.size(), stream.get()) != image.size()) {
        return std::nullopt;
    }
    return image;
}

bool CStandardImageStore::BeginWorkingCopy() {
    m_pTempFile.reset(std::fopen(m_strTempPath.c_str(), "wb"));
    return m_pTempFile != nullptr;
}

bool CStandardImageStore::AppendToWorkingCopy(std::span<const std::uint8_t> bytes) {
    return m_pTempFile &&
           std::fwrite(bytes.data(), 1, bytes.size(), m_pTempFile.get()) == bytes.size();
}

TargetResult CStandardImageStore::FinishTarget(const std::string& target, std::uint32_t length) {
    using Status = TargetResult::Status;
    TargetResult result;
    if (!m_pTempFile || std::fclose(m_pTempFile.release()) != 0) {
        result.status = Status::WorkingCopyNotClosed;
        return result;
    }
    // A target that is the working copy itself would be emptied before it is read.
    std::error_code same;
    if (!std::filesystem::equivalent(target, m_strTempPath, same)) {
        m_pTargetFile.reset(std::fopen(target.c_str(), "w+b"));
    }
    if (!m_pTargetFile) {
        result.status = Status::TargetNotCreatable;
        return result;
    }
    m_pTempFile.reset(std::fopen(m_strTempPath.c_str(), "r+b"));
    if (!m_pTempFile) {
        m_pTargetFile.reset();
        result.status = Status::WorkingCopyNotReadable;
        return result;
    }

    std::array<std::uint8_t, kCopyPiece> piece{};
    std::uint32_t remaining = length;
    bool written = true;
    while (remaining > 0) {
        const std::uint32_t n = std::min(remaining, kCopyPiece);
        const std::size_t got = std::fread(piece.data(), 1, n, m_pTempFile.get());
        for (std::size_t i = 0; i + 1 < got; i += 2) {
            std::swap(piece[i], piece[i + 1]);
        }
        if (std::fwrite(piece.data(), 1, got, m_pTargetFile.get()) != got) {
            written = false;
            break;
        }
        result.copied += static_cast<std::uint32_t>(got);
        result.sum = ByteSum(std::span(piece.data(), got), result.sum);
        if (got != n) {
            break;  // the working copy ends here: a length beyond it never produces bytes
        }
        remaining -= n;
    }
    m_pTempFile.reset();
    written = std::fclose(m_pTargetFile.release()) == 0 && written;
    if (!written) {
        result.status = Status::TargetNotWritten;
    }
    return result;
}

void CStandardImageStore::Close() noexcept {
    m_pTempFile.reset();
    m_pTargetFile.reset();
}

}  // namespace vandrelux::protocol

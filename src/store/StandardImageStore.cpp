#include "store/StandardImageStore.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <system_error>
#include <utility>

#include "protocol/Frames.h"

namespace vandrelux::store {

namespace {

// The copy reads the working copy in pieces of the staging buffer's size.
constexpr std::uint32_t kCopyPiece = 5000;

}  // namespace

CStandardImageStore::CStandardImageStore(std::string workingCopy, CSharedUpdateFiles* shared)
    : m_strTempPath(std::move(workingCopy)), m_pShared(shared) {}

void CStandardImageStore::Failed(const std::string& file) {
    m_failure = {file, std::generic_category().message(errno)};
}

UpdateImage CStandardImageStore::ReadUpdateFile(const std::string& path) {
    UpdateFileRead read = m_pShared != nullptr ? m_pShared->Read(path) : ReadWholeUpdateFile(path);
    if (!read.image) {
        m_failure = {path, std::move(read.failure)};
    }
    return std::move(read.image);
}

bool CStandardImageStore::BeginWorkingCopy() {
    m_pTempFile.reset(std::fopen(m_strTempPath.c_str(), "wb"));
    if (!m_pTempFile) {
        Failed(m_strTempPath);
    }
    return m_pTempFile != nullptr;
}

bool CStandardImageStore::AppendToWorkingCopy(std::span<const std::uint8_t> bytes) {
    if (!m_pTempFile) {
        m_failure = {m_strTempPath, "it is not open"};
        return false;
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), m_pTempFile.get()) != bytes.size()) {
        Failed(m_strTempPath);
        return false;
    }
    return true;
}

TargetResult CStandardImageStore::FinishTarget(const std::string& target, std::uint32_t length) {
    using Status = TargetResult::Status;
    TargetResult result;
    if (!m_pTempFile) {
        m_failure = {m_strTempPath, "it is not open"};
        result.status = Status::WorkingCopyNotClosed;
        return result;
    }
    if (std::fclose(m_pTempFile.release()) != 0) {
        Failed(m_strTempPath);
        result.status = Status::WorkingCopyNotClosed;
        return result;
    }
    // A target that is the working copy itself would be emptied before it is read.
    std::error_code same;
    if (std::filesystem::equivalent(target, m_strTempPath, same)) {
        m_failure = {target, "it is the working copy the image was collected in"};
        result.status = Status::TargetNotCreatable;
        return result;
    }
    m_pTargetFile.reset(std::fopen(target.c_str(), "w+b"));
    if (!m_pTargetFile) {
        Failed(target);
        result.status = Status::TargetNotCreatable;
        return result;
    }
    m_pTempFile.reset(std::fopen(m_strTempPath.c_str(), "r+b"));
    if (!m_pTempFile) {
        Failed(m_strTempPath);
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
            Failed(target);
            written = false;
            break;
        }
        result.copied += static_cast<std::uint32_t>(got);
        result.sum = protocol::ByteSum(std::span(piece.data(), got), result.sum);
        if (got != n) {
            break;  // the working copy ends here: a length beyond it never produces bytes
        }
        remaining -= n;
    }
    m_pTempFile.reset();
    if (std::fclose(m_pTargetFile.release()) != 0 && written) {
        Failed(target);
        written = false;
    }
    if (!written) {
        result.status = Status::TargetNotWritten;
    }
    return result;
}

void CStandardImageStore::Close() noexcept {
    m_pTempFile.reset();
    m_pTargetFile.reset();
}

}  // namespace vandrelux::store

#include "station/UnitsLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace vandrelux::station {

namespace {

platform::SystemError Errno(int code) {
    return {code, std::system_category().message(code)};
}

// Writes all of `bytes` unless a call fails; how many went out, and the failure's errno (0 when
// none). A write that takes nothing is a full disk.
std::pair<std::size_t, int> WriteAll(int fd, const char* bytes, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return {done, n == 0 ? ENOSPC : errno};
        }
        done += static_cast<std::size_t>(n);
    }
    return {done, 0};
}

}  // namespace

std::optional<platform::SystemError> CUnitsLog::Open(const std::string& path) {
    Close();
    // A record begun in the file before goes whole into this one.
    m_sent = 0;
    m_bTorn = false;
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        return Errno(errno);
    }
    struct stat info {};
    m_bFile = ::fstat(static_cast<int>(m_fd), &info) == 0 && S_ISREG(info.st_mode);
    if (!m_bFile) {
        // A reader that stops reading must not stop the station with it.
        static_cast<void>(::fcntl(static_cast<int>(m_fd), F_SETFL,
                                  ::fcntl(static_cast<int>(m_fd), F_GETFL) | O_NONBLOCK));
        return std::nullopt;
    }
    if (info.st_size == 0) {
        return std::nullopt;
    }
    const int reader = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char last = '\n';
    const bool read = reader >= 0 && ::pread(reader, &last, 1, info.st_size - 1) == 1;
    const int readError = errno;
    if (reader >= 0) {
        ::close(reader);
    }
    if (!read) {
        Close();
        return Errno(readError);
    }
    if (last != '\n') {
        // A cut-short line alone on its line is one record a reader skips; glued to the next
        // record, it would take that one with it.
        if (const auto [done, error] = WriteAll(static_cast<int>(m_fd), "\n", 1); error != 0) {
            Close();
            return Errno(error);
        }
    }
    return std::nullopt;
}

std::optional<platform::SystemError> CUnitsLog::WriteToFile() {
    const off_t start = ::lseek(static_cast<int>(m_fd), 0, SEEK_END);
    if (start < 0) {
        return Errno(errno);
    }
    // A torn record that could not be cut back is ended first, so it stands alone.
    std::string text = m_bTorn ? "\n" : "";
    const std::size_t lead = text.size();
    for (const std::string& record : m_waiting) {
        text += record;
    }
    const auto [done, error] = WriteAll(static_cast<int>(m_fd), text.data(), text.size());
    if (done < lead) {
        return Errno(error);
    }
    m_bTorn = false;
    // The whole records stay; the torn one goes, to be written again.
    std::size_t kept = lead;
    while (!m_waiting.empty() && kept + m_waiting.front().size() <= done) {
        kept += m_waiting.front().size();
        m_waiting.pop_front();
    }
    if (kept < done && ::ftruncate(static_cast<int>(m_fd), start + static_cast<off_t>(kept)) != 0) {
        m_bTorn = true;
        return Errno(errno);
    }
    if (error != 0) {
        return Errno(error);
    }
    // On the disk before the next unit: a crash or a power cut loses no finished unit.
    if (::fdatasync(static_cast<int>(m_fd)) != 0) {
        return Errno(errno);
    }
    return std::nullopt;
}

std::optional<platform::SystemError> CUnitsLog::WriteToStream() {
    while (!m_waiting.empty()) {
        const std::string& record = m_waiting.front();
        const auto [done, error] =
            WriteAll(static_cast<int>(m_fd), record.data() + m_sent, record.size() - m_sent);
        m_sent += done;
        if (error != 0) {
            return Errno(error);
        }
        m_waiting.pop_front();
        m_sent = 0;
    }
    return std::nullopt;
}

void CUnitsLog::Close() {
    if (m_fd >= 0) {
        ::close(static_cast<int>(m_fd));
        m_fd = -1;
    }
}

}  // namespace vandrelux::station

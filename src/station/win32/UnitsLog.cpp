// The units log on a Windows file: appended to, cut back after a torn write, flushed to the disk
// after every record.
#include "station/UnitsLog.h"

#include <windows.h>

#include <algorithm>

namespace vandrelux::station {

namespace {

platform::SystemError Error(DWORD code) {
    ::SetLastError(code);
    return platform::LastSystemError();
}

HANDLE Handle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// Writes all of `bytes` unless a call fails; how many went out, and the failure's code (0 when
// none). A write that takes nothing is a full disk, or a pipe whose reader takes nothing more
// for now.
std::pair<std::size_t, DWORD> WriteAll(HANDLE file, const char* bytes, std::size_t size) {
    std::size_t done = 0;
    // Appended, wherever the file pointer was left.
    if (::GetFileType(file) == FILE_TYPE_DISK &&
        !::SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_END)) {
        return {0, ::GetLastError()};
    }
    while (done < size) {
        DWORD n = 0;
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size - done, 1U << 20));
        if (!::WriteFile(file, bytes + done, piece, &n, nullptr)) {
            return {done, ::GetLastError()};
        }
        if (n == 0) {
            return {done, ::GetFileType(file) == FILE_TYPE_PIPE ? ERROR_RETRY : ERROR_DISK_FULL};
        }
        done += n;
    }
    return {done, 0};
}

}  // namespace

std::optional<platform::SystemError> CUnitsLog::Open(const std::string& path) {
    Close();
    m_sent = 0;
    m_bTorn = false;
    const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return platform::LastSystemError();
    }
    m_fd = reinterpret_cast<std::intptr_t>(file);
    m_bFile = ::GetFileType(file) == FILE_TYPE_DISK;
    if (::GetFileType(file) == FILE_TYPE_PIPE) {
        // A reader that stops reading must not stop the station with it: a write takes what
        // fits and the rest waits.
        DWORD mode = PIPE_NOWAIT;
        static_cast<void>(::SetNamedPipeHandleState(file, &mode, nullptr, nullptr));
    }
    LARGE_INTEGER size{};
    if (!m_bFile || !::GetFileSizeEx(file, &size) || size.QuadPart == 0) {
        return std::nullopt;
    }
    // A cut-short line alone on its line is one record a reader skips; glued to the next
    // record, it would take that one with it.
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>((size.QuadPart - 1) & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
    char last = '\n';
    DWORD got = 0;
    if (!::ReadFile(file, &last, 1, &got, &at) || got != 1) {
        const platform::SystemError error = platform::LastSystemError();
        Close();
        return error;
    }
    if (last != '\n') {
        if (const auto [done, error] = WriteAll(file, "\n", 1); error != 0) {
            Close();
            return Error(error);
        }
    }
    return std::nullopt;
}

std::optional<platform::SystemError> CUnitsLog::WriteToFile() {
    const HANDLE file = Handle(m_fd);
    LARGE_INTEGER start{};
    if (!::GetFileSizeEx(file, &start)) {
        return platform::LastSystemError();
    }
    // A torn record that could not be cut back is ended first, so it stands alone.
    std::string text = m_bTorn ? "\n" : "";
    const std::size_t lead = text.size();
    for (const std::string& record : m_waiting) {
        text += record;
    }
    const auto [done, error] = WriteAll(file, text.data(), text.size());
    if (done < lead) {
        return Error(error);
    }
    m_bTorn = false;
    // The whole records stay; the torn one goes, to be written again.
    std::size_t kept = lead;
    while (!m_waiting.empty() && kept + m_waiting.front().size() <= done) {
        kept += m_waiting.front().size();
        m_waiting.pop_front();
    }
    if (kept < done) {
        LARGE_INTEGER end{};
        end.QuadPart = start.QuadPart + static_cast<LONGLONG>(kept);
        if (!::SetFilePointerEx(file, end, nullptr, FILE_BEGIN) || !::SetEndOfFile(file)) {
            m_bTorn = true;
            return platform::LastSystemError();
        }
    }
    if (error != 0) {
        return Error(error);
    }
    // On the disk before the next unit: a crash or a power cut loses no finished unit.
    if (!::FlushFileBuffers(file)) {
        return platform::LastSystemError();
    }
    return std::nullopt;
}

std::optional<platform::SystemError> CUnitsLog::WriteToStream() {
    while (!m_waiting.empty()) {
        const std::string& record = m_waiting.front();
        const auto [done, error] =
            WriteAll(Handle(m_fd), record.data() + m_sent, record.size() - m_sent);
        m_sent += done;
        if (error != 0) {
            return Error(error);
        }
        m_waiting.pop_front();
        m_sent = 0;
    }
    return std::nullopt;
}

void CUnitsLog::Close() {
    if (m_fd != -1) {
        ::CloseHandle(Handle(m_fd));
        m_fd = -1;
    }
}

}  // namespace vandrelux::station

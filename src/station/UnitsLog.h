// The station's record of its units: one JSON object per line, appended, and on the disk before
// the next unit starts being written. A record is one whole line or nothing: what cannot be
// written whole is taken back (a file is cut back to where it was) and waits to go out with the
// next record, so two records never share a line. On a pipe or a device, which cannot be cut
// back, a record begun goes on where it stopped, and a reader that does not keep up holds the
// records back instead of the station.
//
// Threading: one thread uses an instance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "device/SerialDevice.h"

namespace vandrelux::station {

class CUnitsLog {
public:
    CUnitsLog() = default;
    CUnitsLog(const CUnitsLog&) = delete;
    CUnitsLog& operator=(const CUnitsLog&) = delete;
    ~CUnitsLog();

    // Opens `path` for appending, creating it, in place of the file open so far (after a
    // rotation); a last line an earlier run left torn gets its line break first, so it stands
    // alone. Records waiting keep waiting.
    [[nodiscard]] std::optional<platform::SystemError> Open(const std::string& path);
    // Appends `record` (one line, without its line break) after the records still waiting; the
    // error that stopped them, when some could not be written, and they wait for the next call.
    [[nodiscard]] std::optional<platform::SystemError> Append(std::string record);
    // Writes the records still waiting; the error, when some still wait.
    [[nodiscard]] std::optional<platform::SystemError> Flush();
    // Records not written yet, each with its line break.
    [[nodiscard]] const std::deque<std::string>& Waiting() const noexcept { return m_waiting; }
    void Close();

    // The highest "seq" among the last records of the units log at `path`, so that a station
    // started again on the same log numbers on from there; 0 when it has none (or is no file).
    [[nodiscard]] static std::uint64_t LastSeq(const std::string& path);

private:
    [[nodiscard]] std::optional<platform::SystemError> WriteToFile();
    [[nodiscard]] std::optional<platform::SystemError> WriteToStream();

    std::intptr_t m_fd = -1;  // a descriptor on POSIX, a HANDLE on Windows
    bool m_bFile = false;     // a regular file: a torn write is cut back, and synced to the disk
    bool m_bTorn = false;     // the file ends in a torn record that could not be cut back
    std::deque<std::string> m_waiting;
    std::size_t m_sent = 0;  // bytes of the first waiting record a stream has taken already
};

}  // namespace vandrelux::station

// The box's end of the serial line: a new pseudo-terminal, or an existing device. Both are
// raw and non-blocking; the run loop polls Fd().
//
// Threading: not thread-safe; one caller owns an instance.
#pragma once

#include <chrono>
#include <string>

namespace vandrelux::boxsim {

class PtyLine {
public:
    // Throw std::system_error with the failing step in its text.
    [[nodiscard]] static PtyLine OpenPty();
    [[nodiscard]] static PtyLine OpenDevice(const std::string& path);

    PtyLine(PtyLine&& other) noexcept;
    PtyLine& operator=(PtyLine&& other) noexcept;
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;
    ~PtyLine();

    // -1 once hung up.
    [[nodiscard]] int Fd() const noexcept { return m_fd; }
    // The path the PC opens: the slave side of a pseudo-terminal, or the device given.
    [[nodiscard]] const std::string& Path() const noexcept { return m_path; }

    // Waits, at most `limit`, until the PC has read what the box wrote: closing the line
    // discards bytes still queued for it.
    void Drain(std::chrono::milliseconds limit) const;
    // Closes every descriptor we hold, so the PC's side sees the line vanish.
    void HangUp() noexcept;

private:
    PtyLine(int fd, int keptSlaveFd, std::string path) noexcept
        : m_fd(fd), m_keptSlaveFd(keptSlaveFd), m_path(std::move(path)) {}

    int m_fd = -1;
    // Held open all run: without it the master reports hang-ups whenever no PC has the slave open.
    int m_keptSlaveFd = -1;
    std::string m_path;
};

}  // namespace vandrelux::boxsim

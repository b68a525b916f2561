#include "cli/DeviceWatch.h"

#include <fnmatch.h>
#include <glob.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>

namespace vandrelux::cli {

namespace {

constexpr std::uint32_t kFolderEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

bool HasWildcards(const std::string& text) {
    return text.find_first_of("*?[") != std::string::npos;
}

}  // namespace

CDeviceWatch::CDeviceWatch(std::vector<std::string> globs)
    : m_globs(std::move(globs)), m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    m_bPoll = m_fd < 0;
    for (const std::string& glob : m_globs) {
        const std::filesystem::path folder = std::filesystem::path(glob).parent_path();
        const std::string name = folder.empty() ? std::string(".") : folder.string();
        if (m_fd < 0 || HasWildcards(name) ||
            ::inotify_add_watch(m_fd, name.c_str(), kFolderEvents) < 0) {
            m_bPoll = true;
        }
    }
}

CDeviceWatch::~CDeviceWatch() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

bool CDeviceWatch::TakeEvents() {
    alignas(inotify_event) std::array<char, 4096> buffer{};
    bool changed = false;
    for (;;) {
        const ssize_t n = ::read(m_fd, buffer.data(), buffer.size());
        if (n <= 0) {
            return changed;
        }
        changed = true;
    }
}

std::vector<std::string> CDeviceWatch::Scan() const {
    std::vector<std::string> found;
    for (const std::string& pattern : m_globs) {
        glob_t matches{};
        if (::glob(pattern.c_str(), 0, nullptr, &matches) == 0) {
            for (std::size_t i = 0; i < matches.gl_pathc; ++i) {
                const std::string path = matches.gl_pathv[i];
                if (IsDevice(path) && std::find(found.begin(), found.end(), path) == found.end()) {
                    found.push_back(path);
                }
            }
        }
        ::globfree(&matches);
    }
    return found;
}

bool CDeviceWatch::Matches(const std::string& device) const {
    return std::any_of(m_globs.begin(), m_globs.end(), [&](const std::string& pattern) {
        return ::fnmatch(pattern.c_str(), device.c_str(), FNM_PATHNAME) == 0;
    });
}

bool CDeviceWatch::IsDevice(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

}  // namespace vandrelux::cli

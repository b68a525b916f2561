#include "station/DeviceWatch.h"

#include <fnmatch.h>
#include <glob.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>

namespace vandrelux::station {

namespace {

constexpr std::uint32_t kFolderEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

bool HasWildcards(const std::string& text) {
    return text.find_first_of("*?[") != std::string::npos;
}

}  // namespace

CDeviceWatch::CDeviceWatch(std::vector<std::string> globs)
    : m_globs(std::move(globs)), m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    for (const std::string& glob : m_globs) {
        const std::filesystem::path folder = std::filesystem::path(glob).parent_path();
        const std::string name = folder.empty() ? std::string(".") : folder.string();
        if (std::none_of(m_folders.begin(), m_folders.end(),
                         [&](const Folder& known) { return known.path == name; })) {
            m_folders.push_back({name, -1});
        }
    }
    Rewatch();
}

void CDeviceWatch::Rewatch() {
    m_bPoll = false;
    for (Folder& folder : m_folders) {
        if (folder.watch < 0 && m_fd >= 0 && !HasWildcards(folder.path)) {
            folder.watch = ::inotify_add_watch(m_fd, folder.path.c_str(), kFolderEvents);
        }
        m_bPoll = m_bPoll || folder.watch < 0;
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
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            inotify_event event{};
            std::memcpy(&event, buffer.data() + at, sizeof event);
            at += static_cast<ssize_t>(sizeof event + event.len);
            // A folder removed or moved away (udev removes /dev/serial/by-path with the last
            // adapter) ends its watch: look for it again until it is back.
            if ((event.mask & IN_IGNORED) != 0) {
                for (Folder& folder : m_folders) {
                    if (folder.watch == event.wd) {
                        folder.watch = -1;
                        m_bPoll = true;
                    }
                }
            }
        }
    }
}

std::vector<std::string> CDeviceWatch::Scan() {
    std::vector<std::string> found;
    m_bDangling = false;
    for (const std::string& pattern : m_globs) {
        glob_t matches{};
        if (::glob(pattern.c_str(), 0, nullptr, &matches) == 0) {
            for (std::size_t i = 0; i < matches.gl_pathc; ++i) {
                const std::string path = matches.gl_pathv[i];
                if (!IsDevice(path)) {
                    m_bDangling = m_bDangling || IsLink(path);
                } else if (std::find(found.begin(), found.end(), path) == found.end()) {
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

bool CDeviceWatch::IsLink(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

bool CDeviceWatch::IsDevice(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

}  // namespace vandrelux::station

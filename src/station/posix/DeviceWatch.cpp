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

bool IsLink(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

}  // namespace

struct CDeviceWatch::Impl {
    struct Folder {
        std::string path;
        int watch = -1;  // inotify's number for it, -1 while it is not watched
    };

    std::vector<std::string> globs;
    std::vector<Folder> folders;
    int fd = -1;
    bool poll = false;
    bool dangling = false;  // the last Scan matched a link that leads to no device
};

CDeviceWatch::CDeviceWatch(std::vector<std::string> globs) : m_impl(std::make_unique<Impl>()) {
    Impl& m = *m_impl;
    m.globs = std::move(globs);
    m.fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    for (const std::string& glob : m.globs) {
        const std::filesystem::path folder = std::filesystem::path(glob).parent_path();
        const std::string name = folder.empty() ? std::string(".") : folder.string();
        if (std::none_of(m.folders.begin(), m.folders.end(),
                         [&](const Impl::Folder& known) { return known.path == name; })) {
            m.folders.push_back({name, -1});
        }
    }
    Rewatch();
}

void CDeviceWatch::Rewatch() {
    Impl& m = *m_impl;
    m.poll = false;
    for (Impl::Folder& folder : m.folders) {
        if (folder.watch < 0 && m.fd >= 0 && !HasWildcards(folder.path)) {
            folder.watch = ::inotify_add_watch(m.fd, folder.path.c_str(), kFolderEvents);
        }
        m.poll = m.poll || folder.watch < 0;
    }
}

CDeviceWatch::~CDeviceWatch() {
    if (m_impl->fd >= 0) {
        ::close(m_impl->fd);
    }
}

int CDeviceWatch::Descriptor() const noexcept {
    return m_impl->fd;
}

bool CDeviceWatch::NeedsPolling() const noexcept {
    return m_impl->poll || m_impl->dangling;
}

bool CDeviceWatch::TakeEvents() {
    Impl& m = *m_impl;
    alignas(inotify_event) std::array<char, 4096> buffer{};
    bool changed = false;
    for (;;) {
        const ssize_t n = ::read(m.fd, buffer.data(), buffer.size());
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
                for (Impl::Folder& folder : m.folders) {
                    if (folder.watch == event.wd) {
                        folder.watch = -1;
                        m.poll = true;
                    }
                }
            }
        }
    }
}

std::vector<std::string> CDeviceWatch::Scan() {
    Impl& m = *m_impl;
    std::vector<std::string> found;
    m.dangling = false;
    for (const std::string& pattern : m.globs) {
        glob_t matches{};
        if (::glob(pattern.c_str(), 0, nullptr, &matches) == 0) {
            for (std::size_t i = 0; i < matches.gl_pathc; ++i) {
                const std::string path = matches.gl_pathv[i];
                if (!IsDevice(path)) {
                    m.dangling = m.dangling || IsLink(path);
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
    const std::vector<std::string>& globs = m_impl->globs;
    return std::any_of(globs.begin(), globs.end(), [&](const std::string& pattern) {
        return ::fnmatch(pattern.c_str(), device.c_str(), FNM_PATHNAME) == 0;
    });
}

bool CDeviceWatch::IsDevice(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

}  // namespace vandrelux::station

// The devices that --watch globs name, and word when they may have changed: inotify on the
// folders of the globs, so a device that appears or goes is seen at once. A folder that cannot be
// watched (it does not exist yet, it was removed, or its name has wildcards) is left to the caller
// to look at again from time to time, with Rewatch and Scan.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vandrelux::station {

class CDeviceWatch {
public:
    explicit CDeviceWatch(std::vector<std::string> globs);
    ~CDeviceWatch();
    CDeviceWatch(const CDeviceWatch&) = delete;
    CDeviceWatch& operator=(const CDeviceWatch&) = delete;

    // What becomes readable when a watched folder changes; -1 without inotify.
    [[nodiscard]] int Descriptor() const noexcept { return m_fd; }
    // Reads what the descriptor has; true when a device may have come or gone.
    [[nodiscard]] bool TakeEvents();
    // Some folder is not watched, or a link matched that leads to no device (its device went, and
    // may come back without a change to the folder): Rewatch and Scan must be called now and then.
    [[nodiscard]] bool NeedsPolling() const noexcept { return m_bPoll || m_bDangling; }
    // Watches the folders that are not watched, where they exist again.
    void Rewatch();
    // The character devices the globs match now, each once, in order.
    [[nodiscard]] std::vector<std::string> Scan();
    // Whether `device` is a name one of the globs could give.
    [[nodiscard]] bool Matches(const std::string& device) const;
    // A character device, through any links, is at `path`.
    [[nodiscard]] static bool IsDevice(const std::string& path);

private:
    [[nodiscard]] static bool IsLink(const std::string& path);

    struct Folder {
        std::string path;
        int watch = -1;  // inotify's number for it, -1 while it is not watched
    };

    std::vector<std::string> m_globs;
    std::vector<Folder> m_folders;
    int m_fd = -1;
    bool m_bPoll = false;
    bool m_bDangling = false;  // the last Scan matched a link that leads to no device
};

}  // namespace vandrelux::station

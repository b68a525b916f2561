// The devices that --watch globs name, and word when they may have changed. On Linux: inotify on
// the folders of the globs, so a device that appears or goes is seen at once; a folder that
// cannot be watched (it does not exist yet, it was removed, or its name has wildcards) is left to
// the caller to look at again from time to time, with Rewatch and Scan. On Windows: the system's
// list of COM ports, by COM name, by the adapter's friendly name or by its USB location, looked
// at whenever the caller polls.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vandrelux::station {

class CDeviceWatch {
public:
    explicit CDeviceWatch(std::vector<std::string> globs);
    ~CDeviceWatch();
    CDeviceWatch(const CDeviceWatch&) = delete;
    CDeviceWatch& operator=(const CDeviceWatch&) = delete;

    // What becomes readable when a watched folder changes; -1 where the system tells nothing
    // (no inotify, or Windows, whose COM ports are looked up).
    [[nodiscard]] int Descriptor() const noexcept;
    // Reads what the descriptor has; true when a device may have come or gone.
    [[nodiscard]] bool TakeEvents();
    // Rewatch and Scan must be called now and then: a folder is not watched, a link matched that
    // leads to no device (its device went, and may come back without a change to the folder),
    // or the system's list of ports is only to be had by looking.
    [[nodiscard]] bool NeedsPolling() const noexcept;
    // Watches the folders that are not watched, where they exist again.
    void Rewatch();
    // The devices the globs match now, each once, in order.
    [[nodiscard]] std::vector<std::string> Scan();
    // Whether `device` is a name one of the globs could give.
    [[nodiscard]] bool Matches(const std::string& device) const;
    // A device, through any links, is at `path`.
    [[nodiscard]] static bool IsDevice(const std::string& path);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace vandrelux::station

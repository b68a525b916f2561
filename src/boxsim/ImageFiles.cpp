#include "boxsim/ImageFiles.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>

namespace vandrelux::boxsim {

ImageKind KindOf(std::uint32_t type) {
    struct Entry {
        std::uint32_t type;
        const char* kind;
    };
    // The RAM-debug software image differs only in its mode word, so it lands in software.bin.
    static constexpr std::array<Entry, 5> kKinds{{{0x10, "bootstrap"},
                                                  {0x100, "ucode"},
                                                  {0x100000, "logo"},
                                                  {0x1000000, "tvprogram"},
                                                  {0x1000, "software"}}};
    for (const Entry& e : kKinds) {
        if (e.type == type) {
            return ImageKind{e.kind, std::string(e.kind) + ".bin"};
        }
    }
    std::array<char, 32> name{};
    std::snprintf(name.data(), name.size(), "image-%08x.bin", static_cast<unsigned>(type));
    return ImageKind{"unknown", name.data()};
}

std::string WriteImage(const std::filesystem::path& dir, const StoredImage& image) {
    const std::filesystem::path target = dir / KindOf(image.header.type).file;
    std::filesystem::path temp = target;
    temp += ".part";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image.data.data()),
                  static_cast<std::streamsize>(image.data.size()));
        out.close();
        if (!out) {
            const std::string reason = std::strerror(errno);
            std::error_code ignored;
            std::filesystem::remove(temp, ignored);
            return "cannot write " + temp.string() + ": " + reason;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temp, target, ec);
    if (ec) {
        return "cannot rename " + temp.string() + " to " + target.string() + ": " + ec.message();
    }
    return {};
}

}  // namespace vandrelux::boxsim

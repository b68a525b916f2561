// What the fuzz targets share: a transfer with no window and no line, files in a scratch folder.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "protocol/Transfer.h"
#include "toolkit/fake/FakeToolkit.h"

namespace vandrelux::fuzz {

class NullPort final : public protocol::IPortWriter {
public:
    void EnsureSendBuffer(std::uint32_t) override {}
    void RequestWrite(const std::uint8_t*, std::uint32_t) override {}
};

class NullLog final : public protocol::ITransferLog {
public:
    void AppendText(std::string_view) override {}
    void AppendChar(char) override {}
};

// A folder of this process's own, made once.
inline const std::filesystem::path& ScratchDir() {
    static const std::filesystem::path dir = [] {
        auto d = std::filesystem::temp_directory_path() /
                 ("vandrelux-fuzz-" + std::to_string(::getpid()));
        std::filesystem::create_directories(d);
        return d;
    }();
    return dir;
}

}  // namespace vandrelux::fuzz

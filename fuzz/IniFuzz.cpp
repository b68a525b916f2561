// The settings file as anything at all: reading and writing must neither crash nor lose lines.
#include <fstream>

#include "FuzzSupport.h"
#include "os/IniFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vandrelux;
    const auto path = fuzz::ScratchDir() / "Vandrelux.ini";
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    platform::IniFile ini(path.string());
    static_cast<void>(ini.GetInt("Setting", "PortNum", 0));
    static_cast<void>(ini.GetString("Setting", "SoftwarePath", "", 256));
    static_cast<void>(ini.WriteString("Setting", "UpdateLogo", "1"));
    if (ini.GetString("Setting", "UpdateLogo", "", 256) != "1" &&
        ini.WriteString("Setting", "UpdateLogo", "1")) {
        __builtin_trap();  // a write that said it worked must read back
    }
    return 0;
}

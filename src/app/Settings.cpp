#include "app/Settings.h"

#include <array>
#include <cstdlib>
#include <fstream>
#include <system_error>

#include "os/Files.h"
#include "os/Process.h"
#include "protocol/ControlIds.h"
#include "protocol/UpdateKinds.h"

namespace vandrelux::app {
namespace {

namespace fs = std::filesystem;
using platform::ControlId;

enum class Holds { Tick, DownloadKind, Path, Port };

struct SettingKey {
    std::string_view name;
    ControlId id;
    Holds holds;
};

consteval SettingKey TickKey(protocol::UpdateKind kind) {
    return {protocol::KindInfo(kind).tickKey, protocol::KindInfo(kind).tickBox,
            Holds::DownloadKind};
}

consteval SettingKey PathKey(protocol::UpdateKind kind) {
    return {protocol::KindInfo(kind).pathKey, protocol::KindInfo(kind).pathField, Holds::Path};
}

// The one table of keys, in the order they are read and written.
constexpr std::array<SettingKey, 14> kSettingKeys{{
    {"DownloadFlashLoader", ids::kReceiveAll, Holds::Tick},
    {"FlashloaderPath", ids::kReceivePath, Holds::Path},
    TickKey(protocol::UpdateKind::Bootstrap),
    PathKey(protocol::UpdateKind::Bootstrap),
    TickKey(protocol::UpdateKind::Software),
    PathKey(protocol::UpdateKind::Software),
    {"DownloadToRAM", ids::kDownloadToRam, Holds::Tick},
    TickKey(protocol::UpdateKind::Ucode),
    PathKey(protocol::UpdateKind::Ucode),
    TickKey(protocol::UpdateKind::Logo),
    PathKey(protocol::UpdateKind::Logo),
    TickKey(protocol::UpdateKind::TvProgram),
    PathKey(protocol::UpdateKind::TvProgram),
    {"PortNum", 0, Holds::Port},
}};

constexpr int kCom2Index = 1;

std::optional<std::string> GetEnv(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

bool CreateFolder(const fs::path& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    return fs::is_directory(folder, ec);
}

}  // namespace

void LoadSettings(const platform::IIniStore& ini, platform::IToolkit& toolkit, int& portIndex) {
    bool receive = false;
    for (const SettingKey& k : kSettingKeys) {
        switch (k.holds) {
            case Holds::Tick:
                toolkit.SetChecked(k.id, ini.GetInt(kSettingsSection, k.name, 0) != 0);
                if (k.id == ids::kReceiveAll) {
                    receive = toolkit.IsChecked(ids::kReceiveAll);
                }
                break;
            case Holds::DownloadKind:
                // The receive choice excludes the download kinds, so their ticks are not read.
                toolkit.SetChecked(k.id, !receive && ini.GetInt(kSettingsSection, k.name, 0) != 0);
                break;
            case Holds::Path:
                toolkit.SetText(k.id, ini.GetString(kSettingsSection, k.name, "", kPathBufferSize));
                break;
            case Holds::Port:
                portIndex = ini.GetInt(kSettingsSection, k.name, 0) == 2 ? kCom2Index : 0;
                break;
        }
    }
}

void SaveSettings(platform::IIniStore& ini, const platform::IToolkit& toolkit, int portIndex) {
    for (const SettingKey& k : kSettingKeys) {
        std::string value;
        switch (k.holds) {
            case Holds::Tick:
            case Holds::DownloadKind:
                value = toolkit.IsChecked(k.id) ? "1" : "0";
                break;
            case Holds::Path: {
                const std::string text = toolkit.GetText(k.id);
                value = platform::CutToBuffer(text, kPathBufferSize);
                break;
            }
            case Holds::Port:
                value = portIndex == kCom2Index ? "2" : "1";
                break;
        }
        static_cast<void>(ini.WriteString(kSettingsSection, k.name, value));
    }
}

SettingsEnvironment SystemEnvironment() {
    return {platform::FolderIsWritable, GetEnv, CreateFolder};
}

std::string SettingsPath(const std::string& executablePath,
                         const SettingsEnvironment& environment) {
    const fs::path executable(executablePath);
    const fs::path folder = executable.parent_path();
    std::optional<fs::path> beside;
    if (!folder.empty() && executable.has_filename()) {
        beside = folder / kSettingsFileName;
        if (beside->lexically_normal() == executable.lexically_normal()) {
            beside.reset();
        }
    }
    if (beside && environment.isWritable(folder)) {
        return beside->string();
    }

    const fs::path ownFolder = platform::UserSettingsFolder(environment.getEnv);
    // A file shipped beside a read-only executable still beats a folder we cannot make.
    if (!ownFolder.empty() && (environment.createFolder(ownFolder) || !beside)) {
        return (ownFolder / kSettingsFileName).string();
    }
    return beside ? beside->string() : std::string(kSettingsFileName);
}

std::string SettingsPath(const std::string& executablePath) {
    return SettingsPath(executablePath, SystemEnvironment());
}

}  // namespace vandrelux::app

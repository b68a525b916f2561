// The settings store on Windows' own private-profile calls, so the file reads and writes
// exactly as other Windows programs expect it.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "os/IniFile.h"

namespace vandrelux::platform {
namespace {

// The profile calls cut anything longer; a value of the store is one line, far below this.
constexpr DWORD kLongestValue = 32767;

bool HasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

class PrivateProfile final : public IIniStore {
public:
    explicit PrivateProfile(const std::filesystem::path& path) : m_path(path.string()) {}

    [[nodiscard]] int GetInt(std::string_view section, std::string_view key,
                             int defaultValue) const override {
        const std::string value = GetString(section, key, "", kLongestValue + 1);
        return value.empty() ? defaultValue : LeadingNumber(value);
    }

    [[nodiscard]] std::string GetString(std::string_view section, std::string_view key,
                                        std::string_view defaultValue,
                                        std::size_t bufferSize) const override {
        if (bufferSize == 0) {
            return {};
        }
        // Read whole and cut here: the profile call cuts at a byte count, inside a character.
        std::vector<char> buffer(kLongestValue + 1);
        const DWORD length =
            ::GetPrivateProfileStringA(std::string(section).c_str(), std::string(key).c_str(),
                                       std::string(defaultValue).c_str(), buffer.data(),
                                       static_cast<DWORD>(buffer.size()), m_path.c_str());
        const std::string_view value(buffer.data(),
                                     std::min<std::size_t>(length, buffer.size() - 1));
        return std::string(CutToBuffer(value, bufferSize));
    }

    bool WriteString(std::string_view section, std::string_view key,
                     std::string_view value) override {
        // The profile call would write the line break into the file as it is.
        if (section.empty() || key.empty() || HasLineBreak(section) || HasLineBreak(key) ||
            HasLineBreak(value)) {
            return false;
        }
        return ::WritePrivateProfileStringA(std::string(section).c_str(), std::string(key).c_str(),
                                            std::string(value).c_str(), m_path.c_str()) != FALSE;
    }

private:
    std::string m_path;
};

}  // namespace

std::unique_ptr<IIniStore> OpenIniStore(const std::filesystem::path& path) {
    return std::make_unique<PrivateProfile>(path);
}

}  // namespace vandrelux::platform

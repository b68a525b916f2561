#include "station/Text.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace vandrelux::station {

std::string Dump(const nlohmann::json& value, int indent) {
    return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string Printable(std::string_view text) {
    std::string shown(text);
    for (char& ch : shown) {
        const auto byte = static_cast<unsigned char>(ch);
        if ((byte < 0x20 && ch != '\t' && ch != '\n') || byte == 0x7F) {
            ch = '?';
        }
    }
    return shown;
}

bool WriteJsonFile(const std::string& path, const nlohmann::json& value) {
    namespace fs = std::filesystem;
    const fs::path target = path;
    fs::path temporary = target;
    temporary += ".partial";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << Dump(value, 2) << '\n';
        out.flush();
        if (!out) {
            std::error_code ec;
            fs::remove(temporary, ec);
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temporary, target, ec);
    if (ec) {
        fs::remove(temporary, ec);
        return false;
    }
    return true;
}

}  // namespace vandrelux::station

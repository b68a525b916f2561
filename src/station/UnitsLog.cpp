#include "station/UnitsLog.h"

#include <cerrno>
#include <system_error>

namespace vandrelux::station {

CUnitsLog::~CUnitsLog() {
    Close();
}

std::optional<platform::SystemError> CUnitsLog::Append(std::string record) {
    record += '\n';
    m_waiting.push_back(std::move(record));
    return Flush();
}

std::optional<platform::SystemError> CUnitsLog::Flush() {
    if (m_waiting.empty()) {
        return std::nullopt;
    }
    if (m_fd < 0) {
        return platform::SystemError{EBADF, std::system_category().message(EBADF)};
    }
    return m_bFile ? WriteToFile() : WriteToStream();
}

}  // namespace vandrelux::station

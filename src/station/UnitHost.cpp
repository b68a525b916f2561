#include "station/UnitHost.h"

#include <algorithm>

namespace vandrelux::station {

CUnitHost::CUnitHost(const UnitSettings& settings, ITimerHost& timers,
                     std::function<void(std::string_view)> say)
    : m_settings(settings), m_timers(timers), m_say(std::move(say)) {}

const UpdateFile* CUnitHost::Find(protocol::UpdateKind kind) const {
    const auto found = std::find_if(m_settings.files.begin(), m_settings.files.end(),
                                    [kind](const UpdateFile& file) { return file.kind == kind; });
    return found == m_settings.files.end() ? nullptr : &*found;
}

bool CUnitHost::IsChosen(protocol::UpdateKind kind) const {
    return Find(kind) != nullptr;
}

std::string CUnitHost::FilePath(protocol::UpdateKind kind) const {
    const UpdateFile* file = Find(kind);
    return file == nullptr ? std::string() : file->path;
}

std::uint32_t CUnitHost::TickCount() const {
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - m_start)
                                          .count());
}

}  // namespace vandrelux::station

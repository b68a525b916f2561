#include "protocol/ControlsHost.h"

#include "protocol/ControlIds.h"

namespace vandrelux::protocol {

namespace {

platform::ControlId TextId(ProgressText text) {
    switch (text) {
        case ProgressText::Size:
            return ids::kSizeText;
        case ProgressText::Elapsed:
            return ids::kElapsed;
        case ProgressText::Remaining:
            return ids::kRemaining;
        case ProgressText::Throughput:
            return ids::kThroughput;
    }
    return ids::kSizeText;
}

}  // namespace

bool CControlsHost::IsChosen(UpdateKind kind) const {
    const UpdateKindInfo* info = FindKind(kind);
    return info != nullptr && m_toolkit.IsChecked(info->tickBox);
}

std::string CControlsHost::FilePath(UpdateKind kind) const {
    const UpdateKindInfo* info = FindKind(kind);
    return info == nullptr ? std::string() : m_toolkit.GetText(info->pathField);
}

void CControlsHost::SetFilePath(UpdateKind kind, const std::string& path) {
    if (const UpdateKindInfo* info = FindKind(kind)) {
        m_toolkit.SetText(info->pathField, path);
    }
}

bool CControlsHost::SoftwareToRam() const {
    return m_toolkit.IsChecked(ids::kDownloadToRam);
}

std::string CControlsHost::ReceiveTarget() const {
    return m_toolkit.GetText(ids::kReceivePath);
}

void CControlsHost::SetReceiveTarget(const std::string& path) {
    m_toolkit.SetText(ids::kReceivePath, path);
}

void CControlsHost::EnableRestartAndExit(bool enable) {
    m_toolkit.Enable(ids::kRestart, enable);
    m_toolkit.Enable(ids::kExit, enable);
}

void CControlsHost::SetProgressRange(std::uint16_t top) {
    m_toolkit.SetProgressRange(ids::kProgress, 0, top);
}

void CControlsHost::SetProgressPos(int pos) {
    m_toolkit.SetProgressPos(ids::kProgress, pos);
}

void CControlsHost::SetProgressText(ProgressText text, std::string_view value) {
    m_toolkit.SetText(TextId(text), value);
}

}  // namespace vandrelux::protocol

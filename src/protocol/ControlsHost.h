// The transfer's host on a window's controls: the tick boxes and path fields of the update
// files, the receive path, the RAM option, the Restart and Exit buttons, the progress bar and
// its texts, by their control ids.
//
// Threading: the window thread.
#pragma once

#include "protocol/TransferHost.h"
#include "toolkit/Toolkit.h"

namespace vandrelux::protocol {

class CControlsHost final : public ITransferHost {
public:
    explicit CControlsHost(platform::IToolkit& toolkit) : m_toolkit(toolkit) {}

    [[nodiscard]] bool IsChosen(UpdateKind kind) const override;
    [[nodiscard]] std::string FilePath(UpdateKind kind) const override;
    void SetFilePath(UpdateKind kind, const std::string& path) override;
    [[nodiscard]] bool SoftwareToRam() const override;
    [[nodiscard]] std::string ReceiveTarget() const override;
    void SetReceiveTarget(const std::string& path) override;
    [[nodiscard]] std::optional<std::string> ChooseFile() override {
        return m_toolkit.OpenFileDialog();
    }
    void EnableRestartAndExit(bool enable) override;
    void MessageBox(std::string_view text) override { m_toolkit.MessageBox(text); }
    void Trace(std::string_view text) override { m_toolkit.ConsoleOut(text); }
    [[nodiscard]] std::uint32_t TickCount() const override { return m_toolkit.TickCount(); }
    void Sleep(std::uint32_t ms) override { m_toolkit.Sleep(ms); }
    void SetProgressRange(std::uint16_t top) override;
    void SetProgressPos(int pos) override;
    void SetProgressText(ProgressText text, std::string_view value) override;

private:
    platform::IToolkit& m_toolkit;
};

}  // namespace vandrelux::protocol

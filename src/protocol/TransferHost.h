// What the transfer needs of whoever hosts it, and nothing more: which update files go and where
// they are, whether the software goes to RAM, where a received image goes, the file dialog for a
// path not named, the Restart and Exit buttons it holds while files go out, message boxes, the
// clock and its pauses, and the progress display. The window hosts it on its controls
// (CControlsHost); a unit without a window, on its settings.
//
// Threading: the transfer's thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/UpdateKinds.h"

namespace vandrelux::protocol {

// The texts beside the progress bar.
enum class ProgressText { Size, Elapsed, Remaining, Throughput };

class ITransferHost {
public:
    virtual ~ITransferHost() = default;

    // Whether `kind` is to be sent, and its path as named (empty when none is).
    [[nodiscard]] virtual bool IsChosen(UpdateKind kind) const = 0;
    [[nodiscard]] virtual std::string FilePath(UpdateKind kind) const = 0;
    // The path the operator chose for `kind` in the file dialog.
    virtual void SetFilePath(UpdateKind kind, const std::string& path) = 0;
    // The software goes to RAM for debugging; asked when its header is prepared.
    [[nodiscard]] virtual bool SoftwareToRam() const = 0;
    // Where a received image goes, as named (empty when nowhere is), and the path chosen for it.
    [[nodiscard]] virtual std::string ReceiveTarget() const = 0;
    virtual void SetReceiveTarget(const std::string& path) = 0;
    // The file dialog: the path chosen, nothing when it was cancelled.
    [[nodiscard]] virtual std::optional<std::string> ChooseFile() = 0;

    // Restart and Exit, held while files go out.
    virtual void EnableRestartAndExit(bool enable) = 0;
    virtual void MessageBox(std::string_view text) = 0;
    // The handshake's trace, where a console shows it.
    virtual void Trace(std::string_view text) = 0;
    [[nodiscard]] virtual std::uint32_t TickCount() const = 0;
    virtual void Sleep(std::uint32_t ms) = 0;

    // The progress bar's range (from 0) and position, and its texts.
    virtual void SetProgressRange(std::uint16_t top) = 0;
    virtual void SetProgressPos(int pos) = 0;
    virtual void SetProgressText(ProgressText text, std::string_view value) = 0;
};

}  // namespace vandrelux::protocol

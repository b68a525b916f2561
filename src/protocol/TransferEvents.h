// What a transfer tells the outside: how a run ended, and an observer that hears every step of
// it as it happens, so callers never need to read the machines' states.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "protocol/UpdateKinds.h"

namespace vandrelux::protocol {

// Directions the tick boxes arm.
enum class Mode : int { None = 0, Receive = 1, Download = 2 };

enum class TransferStatus {
    Idle,     // nothing under way: not armed, reset, or receive chosen but not started
    Running,  // waiting for the box or moving an image
    Succeeded,
    Failed,
};

// Why a run failed, in terms a caller can act on.
enum class FailReason {
    None,
    NoFileChosen,            // download: no ticked kind had a path when the box was ready
    FileNotReadable,         // download: the update file could not be read whole
    TooManyStrayBytes,       // the box sent 250 bytes that fit no step of the conversation
    NoTargetPath,            // receive: no target named as the box began; restart box and PC
    WorkingCopyNotWritable,  // receive: the working copy could not be made, written or read back
    TargetNotWritable,       // receive: the target file could not be created or written
    ImageCheckFailed,        // receive: the image arrived short, or its sum is not the header's
};

struct TransferOutcome {
    Mode direction = Mode::None;
    TransferStatus status = TransferStatus::Idle;
    FailReason reason = FailReason::None;
    // The file the reason names: the update file or the target; empty for other reasons. It
    // views the transfer's own text and is valid until the transfer handles its next event.
    std::string_view file;
};

// One image as it starts to move.
struct ImageInfo {
    Mode direction = Mode::None;
    UpdateKind kind = UpdateKind::EndOfSequence;  // download; the box's image has no kind
    std::string_view path;                        // the update file, or the receive target
    std::uint32_t length = 0;                     // bytes, as the header announces them
    std::uint32_t checksum = 0;                   // byte sum, as the header announces it
    std::uint32_t attempt = 1;  // the same image again after the box refused its verdict
    // Download: the image as it goes out, its pad byte included.
    std::shared_ptr<const std::vector<std::uint8_t>> image;
};

// Every call is made on the transfer's thread, from inside the entry point (a byte from the box)
// that caused it, once what it reports has happened. Frames are numbered per image: 0 is the
// header, 1 the first data frame. An observer must not call back into the transfer.
class ITransferObserver {
public:
    virtual ~ITransferObserver() = default;

    // Download: the box said it is ready and there is a file for it; the pause before the
    // file's announcement comes next.
    virtual void OnBoxReady() {}

    // Download: the update file is read, its header goes out next. Receive: the box's header
    // was accepted.
    virtual void OnImageStarted(const ImageInfo& /*image*/) {}

    // Download: a frame went out for the first time, or again because the box refused it.
    virtual void OnFrameSent(std::uint32_t /*frame*/) {}
    virtual void OnFrameResent(std::uint32_t /*frame*/) {}
    // Download: the box's answer to a frame; `done` image bytes are acknowledged so far.
    virtual void OnFrameAnswered(std::uint32_t /*frame*/, bool /*acknowledged*/,
                                 std::uint32_t /*done*/) {}
    // Download: the box's verdict on the whole image. A refused image starts again.
    virtual void OnImageVerdict(bool /*accepted*/) {}

    // Receive: the answer this side gave a frame of the box's; `received` payload bytes are
    // accepted so far. The final block's answer is the verdict on the whole image.
    virtual void OnBlockAnswered(std::uint32_t /*frame*/, bool /*accepted*/,
                                 std::uint32_t /*received*/) {}
    // Receive: the target holds the image; `sum` is the byte sum of what it holds.
    virtual void OnReceiveComplete(std::uint32_t /*received*/, std::uint32_t /*sum*/) {}

    // The run reached its end, for good or ill; the next byte from the box disarms it.
    virtual void OnTransferEnded(const TransferOutcome& /*outcome*/) {}
};

}  // namespace vandrelux::protocol

// Where the transfer's images live outside memory: the update files it reads whole, the working
// copy ("rv.bin") a receive collects the box's blocks in, and the target the received image
// ends in. The machines reach files only through this.
//
// Threading: the transfer's thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vandrelux::protocol {

// An update file's bytes, as read; immutable, so transfers sending the same file may share them.
using UpdateImage = std::shared_ptr<const std::vector<std::uint8_t>>;

struct TargetResult {
    enum class Status {
        Written,                 // copied and closed; see `copied` for how much
        WorkingCopyNotClosed,    // the working copy was not open, or did not close cleanly
        TargetNotCreatable,      // the target could not be created (or is the working copy)
        WorkingCopyNotReadable,  // the closed working copy could not be opened again
        TargetNotWritten,        // writing or closing the target failed part way
    };
    Status status = Status::Written;
    std::uint32_t copied = 0;  // bytes of the working copy that reached the target
    std::uint32_t sum = 0;     // their byte sum
};

// Why a call of the store failed: the file it was about, and the system's words for the reason.
struct StoreFailure {
    std::string file;
    std::string reason;
};

class IImageStore {
public:
    virtual ~IImageStore() = default;

    // The whole update file at `path`, and a zero byte after an odd-sized one: that pad byte
    // belongs to the image, it is sent and summed. Null when it is no regular readable file,
    // too large for a header's length once padded, or not read whole.
    [[nodiscard]] virtual UpdateImage ReadUpdateFile(const std::string& path) = 0;

    // Creates the working copy afresh and keeps it open for appending.
    [[nodiscard]] virtual bool BeginWorkingCopy() = 0;
    // False when the working copy is not open or took fewer bytes.
    [[nodiscard]] virtual bool AppendToWorkingCopy(std::span<const std::uint8_t> bytes) = 0;

    // Closes the working copy, creates `target` and writes the first `length` bytes of the
    // working copy into it with the two bytes of every 16-bit word swapped (an odd last byte
    // unchanged), then closes both. A working copy shorter than `length` stops the copy at
    // its end. Both files are closed whatever the result.
    [[nodiscard]] virtual TargetResult FinishTarget(const std::string& target,
                                                    std::uint32_t length) = 0;

    // Closes whatever is open; a run that ends or is abandoned leaves nothing open.
    virtual void Close() noexcept = 0;

    // Why the last of the calls above that failed did.
    [[nodiscard]] virtual const StoreFailure& LastFailure() const noexcept = 0;
};

}  // namespace vandrelux::protocol

// The receive machine fed whatever a box might send, byte by byte as the window hands it over,
// or (for inputs whose first byte is odd) with a block's payload taken in runs as the CLI does.
// After every step the staging buffer must keep its rules (positions inside it, free room
// matching what is written) and the bytes around it must be untouched; a run that has ended
// must leave no file open.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>

#include "FuzzSupport.h"
#include "TransferInternals.h"
#include "protocol/ControlIds.h"
#include "protocol/ControlsHost.h"
#include "store/StandardImageStore.h"

namespace {

constexpr std::size_t kGuard = 64;
constexpr std::uint8_t kGuardByte = 0xA5;

[[noreturn]] void Broken(const char* what, std::size_t at) {
    std::fprintf(stderr, "receive buffer: %s after byte %zu\n", what, at);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vandrelux;
    platform::FakeToolkit toolkit;
    protocol::CControlsHost host(toolkit);
    fuzz::NullPort port;
    fuzz::NullLog log;
    store::CStandardImageStore store((fuzz::ScratchDir() / "rv.bin").string());
    std::array<std::uint8_t, protocol::kRxBufSize + 2 * kGuard> storage{};
    storage.fill(kGuardByte);
    protocol::CTransfer transfer(host, port, log, store,
                                 std::span<std::uint8_t, protocol::kRxBufSize>(
                                     storage.data() + kGuard, protocol::kRxBufSize));
    toolkit.SetText(ids::kReceivePath, (fuzz::ScratchDir() / "target.bin").string());
    transfer.OnToReceive();
    const auto intact = [](std::uint8_t b) { return b == kGuardByte; };
    const bool inRuns = size > 0 && (data[0] & 1U) != 0;
    for (std::size_t i = 0; i < size; ++i) {
        // Runs of lengths the input picks, so that some begin inside a block's payload.
        const std::size_t offered = std::min(size - i, 1 + std::size_t{data[i]} * 17);
        const std::size_t run = inRuns ? transfer.TakePayloadRun(std::span(data + i, offered)) : 0;
        if (run > 0) {
            i += run - 1;
        } else {
            transfer.OnPortRxChar(data[i], 1);
        }
        if (!std::all_of(storage.begin(), storage.begin() + kGuard, intact) ||
            !std::all_of(storage.end() - kGuard, storage.end(), intact)) {
            Broken("a byte beyond the buffer was written", i);
        }
        if (const char* fault = test::Internals(transfer).RxBufferFault()) {
            Broken(fault, i);
        }
        if (!transfer.IsArmed()) {
            if (store.HoldsOpenFile()) {
                Broken("an ended run left a file open", i);
            }
            transfer.OnToReceive();  // a new run with the rest
        }
        transfer.OnTimer(1);
    }
    return 0;
}

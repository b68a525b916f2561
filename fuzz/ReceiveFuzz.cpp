// The receive machine fed whatever a box might send. After every byte the staging buffer must
// keep its rules (positions inside it, free room matching what is written) and the bytes
// around it must be untouched; a run that has ended must leave no file open.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>

#include "FuzzSupport.h"
#include "TransferInternals.h"
#include "protocol/ControlIds.h"
#include "protocol/StandardImageStore.h"

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
    fuzz::NullPort port;
    fuzz::NullLog log;
    protocol::CStandardImageStore store((fuzz::ScratchDir() / "rv.bin").string());
    std::array<std::uint8_t, protocol::kRxBufSize + 2 * kGuard> storage{};
    storage.fill(kGuardByte);
    protocol::CTransfer transfer(toolkit, port, log, store,
                                 std::span<std::uint8_t, protocol::kRxBufSize>(
                                     storage.data() + kGuard, protocol::kRxBufSize));
    toolkit.SetText(ids::kReceivePath, (fuzz::ScratchDir() / "target.bin").string());
    transfer.OnToReceive();
    const auto intact = [](std::uint8_t b) { return b == kGuardByte; };
    for (std::size_t i = 0; i < size; ++i) {
        transfer.OnPortRxChar(data[i], 1);
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

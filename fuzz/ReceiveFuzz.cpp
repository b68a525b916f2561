// The receive machine fed whatever a box might send.
#include "FuzzSupport.h"
#include "protocol/ControlIds.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vandrelux;
    platform::FakeToolkit toolkit;
    fuzz::NullPort port;
    fuzz::NullLog log;
    protocol::CTransfer transfer(toolkit, port, log, (fuzz::ScratchDir() / "rv.bin").string());
    toolkit.SetText(ids::kReceivePath, (fuzz::ScratchDir() / "target.bin").string());
    transfer.OnToReceive();
    for (std::size_t i = 0; i < size; ++i) {
        transfer.OnPortRxChar(data[i], 1);
        if (!transfer.IsArmed()) {
            transfer.OnToReceive();  // a new run with the rest
        }
        transfer.OnTimer(1);
    }
    return 0;
}

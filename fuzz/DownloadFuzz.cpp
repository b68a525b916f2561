// The download machine fed whatever answers a box might give.
#include <fstream>

#include "FuzzSupport.h"
#include "protocol/ControlIds.h"
#include "protocol/ControlsHost.h"
#include "store/StandardImageStore.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vandrelux;
    static const std::string files[] = {
        [] {
            const auto p = fuzz::ScratchDir() / "boot.bin";
            std::ofstream(p, std::ios::binary) << std::string(5, '\x42');
            return p.string();
        }(),
        [] {
            const auto p = fuzz::ScratchDir() / "sw.bin";
            std::ofstream(p, std::ios::binary) << std::string(9000, '\x17');
            return p.string();
        }(),
    };
    platform::FakeToolkit toolkit;
    protocol::CControlsHost host(toolkit);
    fuzz::NullPort port;
    fuzz::NullLog log;
    store::CStandardImageStore store((fuzz::ScratchDir() / "rv.bin").string());
    protocol::CTransfer transfer(host, port, log, store);
    toolkit.SetChecked(ids::kIncludeBootstrap, true);
    toolkit.SetText(ids::kBootstrapPath, files[0]);
    toolkit.SetChecked(ids::kIncludeSoftware, true);
    toolkit.SetText(ids::kSoftwarePath, files[1]);
    transfer.ChooseDirection(protocol::Mode::Download);
    transfer.ResetTransfer();
    transfer.ArmDownload();
    for (std::size_t i = 0; i < size; ++i) {
        transfer.OnPortRxChar(data[i], 1);
        if (!transfer.IsArmed()) {
            transfer.OnRestart();
        }
    }
    return 0;
}

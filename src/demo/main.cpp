// Runs a complete download of generated update files and a receive of a generated programme
// image through the transfer core against the simulated box, then prints the message log.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "boxsim/BoxModel.h"
#include "boxsim/Loopback.h"
#include "protocol/ControlIds.h"
#include "protocol/ControlsHost.h"
#include "protocol/Transfer.h"
#include "store/StandardImageStore.h"
#include "toolkit/fake/FakeToolkit.h"

namespace {

using namespace vandrelux;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

constexpr std::uint32_t kBaud = 115200;
constexpr std::uint32_t kLimitMs = 30 * 60 * 1000;
constexpr std::uint32_t kSettleMs = 20;

Bytes Sample(std::size_t size, std::uint32_t seed) {
    Bytes b(size);
    std::uint32_t x = seed;
    for (auto& byte : b) {
        x = x * 1103515245U + 12345U;
        byte = static_cast<std::uint8_t>(x >> 16);
    }
    return b;
}

void Save(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

Bytes Load(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void PrintPane(const char* title, const std::string& text) {
    std::printf("---- %s ----\n", title);
    for (const char ch : text) {
        if (ch != '\r') {
            std::putchar(ch);
        }
    }
    if (!text.empty() && text.back() != '\n') {
        std::putchar('\n');
    }
}

void PrintProgress(const platform::FakeToolkit& tk) {
    std::printf("progress: %s, elapsed %s, remaining %s, %s (simulated line at %u baud)\n",
                tk.GetText(ids::kSizeText).c_str(), tk.GetText(ids::kElapsed).c_str(),
                tk.GetText(ids::kRemaining).c_str(), tk.GetText(ids::kThroughput).c_str(), kBaud);
}

// Prints what the transfer reports as it happens, and keeps how the run ended.
class CEventLog final : public protocol::ITransferObserver {
public:
    void OnImageStarted(const protocol::ImageInfo& image) override {
        const protocol::UpdateKindInfo* kind = protocol::FindKind(image.kind);
        const std::string name = kind != nullptr ? std::string(kind->name) : "programme";
        std::printf("event: image %s (%s), %u bytes, sum %08X, attempt %u\n",
                    fs::path(std::string(image.path)).filename().string().c_str(), name.c_str(),
                    image.length, image.checksum, image.attempt);
    }
    void OnFrameAnswered(std::uint32_t /*frame*/, bool acknowledged,
                         std::uint32_t /*done*/) override {
        refused += acknowledged ? 0 : 1;
    }
    void OnImageVerdict(bool accepted) override {
        std::printf("event: the box %s the image (%u frames refused)\n",
                    accepted ? "accepted" : "refused", refused);
        refused = 0;
    }
    void OnReceiveComplete(std::uint32_t received, std::uint32_t sum) override {
        std::printf("event: received %u bytes, sum %08X\n", received, sum);
    }
    void OnTransferEnded(const protocol::TransferOutcome& outcome) override {
        succeeded = outcome.status == protocol::TransferStatus::Succeeded;
        std::printf("event: the run %s\n", succeeded ? "succeeded" : "failed");
    }

    unsigned refused = 0;
    bool succeeded = false;
};

struct DemoFile {
    const protocol::UpdateKindInfo& kind;
    const char* name;
    std::size_t size;
};

bool Download(const fs::path& dir) {
    const DemoFile files[] = {
        {protocol::KindInfo(protocol::UpdateKind::Software), "software.bin", 65537},
        {protocol::KindInfo(protocol::UpdateKind::Bootstrap), "bootstrap.bin", 6000},
        {protocol::KindInfo(protocol::UpdateKind::Logo), "logo.bin", 9001},
    };
    platform::FakeToolkit tk;
    boxsim::CStringLog log;
    boxsim::BoxConfig config;
    config.chatter = "STB loader ready\r\n";
    boxsim::BoxModel box(config);
    boxsim::CLoopback link(box, tk);
    link.SetBaud(kBaud);
    protocol::CControlsHost host(tk);
    store::CStandardImageStore store((dir / "rv.bin").string());
    protocol::CTransfer pc(host, link, log, store);
    CEventLog events;
    pc.SetObserver(&events);

    for (std::uint32_t i = 0; const DemoFile& f : files) {
        Save(dir / f.name, Sample(f.size, ++i));
        tk.SetChecked(f.kind.tickBox, true);
        tk.SetText(f.kind.pathField, (dir / f.name).string());
    }
    pc.ChooseDirection(protocol::Mode::Download);
    pc.ResetTransfer();
    pc.ArmDownload();

    std::printf("== Download: %zu update files to the simulated box\n", std::size(files));
    const bool ended = link.Run(
        pc, [&] { return !pc.IsArmed(); }, kLimitMs);
    link.Run(
        pc, [] { return false; }, kSettleMs);  // the box's last words reach the terminal
    PrintPane("message log", log.messages);
    PrintPane("terminal log", log.terminal);
    PrintProgress(tk);

    bool ok = ended && events.succeeded && box.Report().images.size() == std::size(files);
    for (const boxsim::StoredImage& image : box.Report().images) {
        const auto file = std::find_if(std::begin(files), std::end(files), [&](const DemoFile& f) {
            return f.kind.dwType == image.header.type;
        });
        if (file == std::end(files)) {
            std::printf("box stored an image of unknown type %08X\n", image.header.type);
            ok = false;
            continue;
        }
        Bytes expected = Load(dir / file->name);
        expected.resize(expected.size() + expected.size() % 2);
        const bool same = image.data == expected;
        std::printf("box stored %-14s type %08X, %u bytes: %s\n", file->name, image.header.type,
                    image.header.length, same ? "identical" : "DIFFERENT");
        ok = ok && same;
    }
    for (const std::string& v : box.Report().violations) {
        std::printf("box saw a fault: %s\n", v.c_str());
        ok = false;
    }
    return ok;
}

bool Receive(const fs::path& dir) {
    platform::FakeToolkit tk;
    boxsim::CStringLog log;
    boxsim::BoxConfig config;
    config.role = boxsim::BoxConfig::Role::Send;
    config.image = Sample(100001, 99);
    config.chatter = "STB dump\r\n";
    boxsim::BoxModel box(config);
    boxsim::CLoopback link(box, tk);
    link.SetBaud(kBaud);
    protocol::CControlsHost host(tk);
    store::CStandardImageStore store((dir / "rv.bin").string());
    protocol::CTransfer pc(host, link, log, store);
    CEventLog events;
    pc.SetObserver(&events);

    const fs::path target = dir / "programme.bin";
    tk.SetChecked(ids::kReceiveAll, true);
    tk.SetText(ids::kReceivePath, target.string());
    pc.ChooseDirection(protocol::Mode::Receive);
    pc.ResetTransfer();
    pc.ArmReceiveChoice();
    pc.OnToReceive();

    std::printf("\n== Receive: the box's programme code into %s\n", target.string().c_str());
    const bool ended = link.Run(
        pc, [&] { return !pc.IsArmed(); }, kLimitMs);
    link.Run(
        pc, [] { return false; }, kSettleMs);
    PrintPane("message log", log.messages);
    PrintPane("terminal log", log.terminal);
    PrintProgress(tk);

    Bytes swapped = config.image;
    for (std::size_t i = 0; i + 1 < swapped.size(); i += 2) {
        std::swap(swapped[i], swapped[i + 1]);
    }
    const bool same = Load(target) == swapped;
    std::printf("target file %s the box's image with every 16-bit word swapped\n",
                same ? "holds" : "DOES NOT hold");
    return ended && events.succeeded && same;
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path dir =
        argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "vandrelux-demo";
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        std::fprintf(stderr, "cannot create %s: %s\n", dir.string().c_str(), ec.message().c_str());
        return 2;
    }
    const bool down = Download(dir);
    const bool up = Receive(dir);
    std::printf("\ndownload %s, receive %s (files in %s)\n", down ? "succeeded" : "FAILED",
                up ? "succeeded" : "FAILED", dir.string().c_str());
    return down && up ? 0 : 1;
}

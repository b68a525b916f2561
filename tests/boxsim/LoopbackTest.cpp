// The PC-side core against the simulated box, end to end in one process.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "TransferInternals.h"
#include "boxsim/Loopback.h"
#include "protocol/ControlIds.h"
#include "protocol/ControlsHost.h"
#include "store/StandardImageStore.h"

namespace vandrelux::boxsim {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

Bytes Noise(std::size_t n, std::uint32_t seed) {
    Bytes b(n);
    for (auto& byte : b) {
        seed = seed * 1664525U + 1013904223U;
        byte = static_cast<std::uint8_t>(seed >> 24);
    }
    return b;
}

class LoopbackTest : public ::testing::Test {
protected:
    LoopbackTest()
        : dir(fs::temp_directory_path() /
              (std::string("vandrelux-loop-") +
               ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    ~LoopbackTest() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    std::string Save(const std::string& name, const Bytes& bytes) {
        const fs::path p = dir / name;
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return p.string();
    }

    static Bytes Load(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    fs::path dir;
    platform::FakeToolkit toolkit;
    protocol::CControlsHost host{toolkit};
    CStringLog log;
};

struct DownloadCase {
    BoxConfig box;
    std::vector<std::size_t> sizes;  // bootstrap, ucode, logo, TV programme, software
};

class DownloadEndToEnd : public LoopbackTest, public ::testing::WithParamInterface<DownloadCase> {};

TEST_P(DownloadEndToEnd, EveryTickedFileArrivesPaddedAndIntact) {
    const DownloadCase& c = GetParam();
    BoxModel box(c.box);
    CLoopback link(box, toolkit);
    store::CStandardImageStore files((dir / "rv.bin").string());
    protocol::CTransfer pc(host, link, log, files);

    std::vector<Bytes> sent;
    for (std::size_t i = 0; i < c.sizes.size(); ++i) {
        Bytes image = Noise(c.sizes[i], static_cast<std::uint32_t>(i + 1));
        toolkit.SetChecked(protocol::kUpdateKinds[i].tickBox, true);
        toolkit.SetText(protocol::kUpdateKinds[i].pathField,
                        Save("file" + std::to_string(i), image));
        image.resize(image.size() + image.size() % 2);
        sent.push_back(image);
    }
    pc.ChooseDirection(protocol::Mode::Download);
    pc.ResetTransfer();
    pc.ArmDownload();

    ASSERT_TRUE(link.Run(
        pc, [&] { return !pc.IsArmed(); }, 600000));
    EXPECT_EQ(test::Internals(pc).m_nDownState, protocol::DownloadState::Delivered);
    EXPECT_TRUE(box.Report().violations.empty()) << box.Report().violations.front();
    ASSERT_EQ(box.Report().images.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(box.Report().images[i].data, sent[i]) << "file " << i;
    }
    EXPECT_TRUE(toolkit.IsEnabled(ids::kRestart));
}

BoxConfig Faulty() {
    BoxConfig b;
    b.nakShare = 0.3;
    b.chatter = "boot rom 1.2\r\n";
    b.nakFirstVerdict = true;
    b.seed = 7;
    return b;
}

INSTANTIATE_TEST_SUITE_P(Sizes, DownloadEndToEnd,
                         ::testing::Values(DownloadCase{BoxConfig{}, {0, 1, 4095, 4096, 4097}},
                                           DownloadCase{BoxConfig{}, {2, 3 * 4096 + 1, 100001}},
                                           DownloadCase{Faulty(), {8191, 1, 0, 5000, 12289}}));

struct ReceiveCase {
    std::size_t size;
    std::uint32_t block;
    bool markPerBlock;
    double corrupt;
};

class ReceiveEndToEnd : public LoopbackTest, public ::testing::WithParamInterface<ReceiveCase> {};

TEST_P(ReceiveEndToEnd, TargetHoldsTheSwappedImage) {
    const ReceiveCase& c = GetParam();
    BoxConfig config;
    config.role = BoxConfig::Role::Send;
    config.image = Noise(c.size, 42);
    config.blockSize = c.block;
    config.markPerBlock = c.markPerBlock;
    config.corruptShare = c.corrupt;
    config.chatter = "dump\r\n";
    BoxModel box(config);
    CLoopback link(box, toolkit);
    store::CStandardImageStore files((dir / "rv.bin").string());
    protocol::CTransfer pc(host, link, log, files);
    toolkit.SetText(ids::kReceivePath, (dir / "target.bin").string());
    pc.OnToReceive();

    ASSERT_TRUE(link.Run(
        pc, [&] { return box.Done(); }, 600000));
    EXPECT_EQ(test::Internals(pc).m_nState, protocol::ReceiveState::Succeeded);
    Bytes swapped = config.image;
    for (std::size_t i = 0; i + 1 < swapped.size(); i += 2) {
        std::swap(swapped[i], swapped[i + 1]);
    }
    EXPECT_EQ(Load(dir / "target.bin"), swapped);
    EXPECT_EQ(Load(dir / "rv.bin"), config.image);
    EXPECT_EQ(log.messages, "Complete receiving SUCCESS!\r\n");
}

INSTANTIATE_TEST_SUITE_P(Blocks, ReceiveEndToEnd,
                         ::testing::Values(ReceiveCase{2, 4096, false, 0.0},
                                           ReceiveCase{4097, 4096, false, 0.0},
                                           ReceiveCase{30001, 1024, true, 0.0},
                                           ReceiveCase{20000, 4096, false, 0.4},
                                           ReceiveCase{9999, 777, true, 0.3}));

TEST_F(LoopbackTest, SilentBox_LeavesTheDownloadWaitingWithoutFailing) {
    BoxConfig config;
    config.silentAfterFrames = 2;
    BoxModel box(config);
    CLoopback link(box, toolkit);
    store::CStandardImageStore files((dir / "rv.bin").string());
    protocol::CTransfer pc(host, link, log, files);
    toolkit.SetChecked(ids::kIncludeSoftware, true);
    toolkit.SetText(ids::kSoftwarePath, Save("sw", Noise(20000, 3)));
    pc.ChooseDirection(protocol::Mode::Download);
    pc.ResetTransfer();
    pc.ArmDownload();

    EXPECT_FALSE(link.Run(
        pc, [&] { return !pc.IsArmed(); }, 2000));
    EXPECT_EQ(
        test::Internals(pc).m_nDownState,
        protocol::DownloadState::AwaitFrameAnswer);  // the second data frame waits for its answer
    EXPECT_FALSE(toolkit.IsEnabled(ids::kRestart));

    pc.OnRestart();  // Restart is the operator's way out, whatever the buttons say
    EXPECT_EQ(test::Internals(pc).m_nDownState, protocol::DownloadState::AwaitReady);
    EXPECT_TRUE(test::Internals(pc).m_bHandshake);
}

}  // namespace
}  // namespace vandrelux::boxsim

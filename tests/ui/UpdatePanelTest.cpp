#include <gtest/gtest.h>

#include <string>

#include "FakeImageStore.h"
#include "TransferInternals.h"
#include "protocol/ControlsHost.h"
#include "toolkit/fake/FakeToolkit.h"
#include "ui/UpdatePanel.h"

namespace vandrelux::ui {
namespace {

using protocol::Mode;

struct Silent final : protocol::IPortWriter, protocol::ITransferLog {
    void EnsureSendBuffer(std::uint32_t) override {}
    void RequestWrite(const std::uint8_t*, std::uint32_t) override {}
    void AppendText(std::string_view) override {}
    void AppendChar(char) override {}
};

class UpdatePanelTest : public ::testing::Test {
protected:
    void Click(platform::ControlId box) {
        toolkit.SetChecked(box, !toolkit.IsChecked(box));
        ASSERT_TRUE(panel.OnCommand(box));
    }
    // "to send", "to receive", the receive box.
    [[nodiscard]] std::vector<bool> Enabled() const {
        return {toolkit.IsEnabled(ids::kToSend), toolkit.IsEnabled(ids::kToReceive),
                toolkit.IsEnabled(ids::kReceiveAll)};
    }
    [[nodiscard]] bool DownloadArmed() {
        const test::TransferInternals in(transfer);
        return transfer.ChosenDirection() == Mode::Download && in.m_bDownloadMode &&
               in.m_bHandshake && in.m_nDownState == protocol::DownloadState::AwaitReady;
    }

    platform::FakeToolkit toolkit;
    Silent silent;
    std::vector<std::string> files;  // what the panel's arming made the store do: nothing
    test::FakeImageStore store{files};
    protocol::CControlsHost host{toolkit};
    protocol::CTransfer transfer{host, silent, silent, store};
    CUpdatePanel panel{toolkit, transfer};
};

TEST_F(UpdatePanelTest, TickingAnyKind_ArmsDownload_UntickingTheLastDisarms) {
    for (const platform::ControlId kind : kDownloadKindBoxes) {
        Click(kind);
        EXPECT_TRUE(DownloadArmed()) << kind;
        EXPECT_EQ(Enabled(), (std::vector<bool>{true, false, false})) << kind;
        Click(kind);
        EXPECT_FALSE(transfer.ChosenDirection() != Mode::None ||
                     test::Internals(transfer).m_bDownloadMode)
            << kind;
        EXPECT_EQ(Enabled(), (std::vector<bool>{false, false, true})) << kind;
    }
}

TEST_F(UpdatePanelTest, ReceiveTick_DisablesSixBoxesKeepingTheirTicks) {
    toolkit.SetChecked(ids::kDownloadToRam, true);
    Click(ids::kReceiveAll);
    EXPECT_TRUE(transfer.ChosenDirection() == Mode::Receive &&
                test::Internals(transfer).m_bReceiveMode);
    EXPECT_EQ(test::Internals(transfer).m_nState,
              protocol::ReceiveState::Idle);  // waits for "to receive"
    EXPECT_EQ(Enabled(), (std::vector<bool>{false, true, true}));
    for (const platform::ControlId box : kExcludedByReceive) {
        EXPECT_FALSE(toolkit.IsEnabled(box)) << box;
        EXPECT_EQ(toolkit.IsChecked(box), box == ids::kDownloadToRam) << box;
    }
    transfer.OnToReceive();
    test::Internals(transfer).m_nState = protocol::ReceiveState::AwaitDataMark;
    Click(ids::kReceiveAll);  // drops the receive under way
    EXPECT_FALSE(test::Internals(transfer).m_nState != protocol::ReceiveState::Idle ||
                 test::Internals(transfer).m_bReceiveMode);
    EXPECT_EQ(Enabled(), (std::vector<bool>{false, false, true}));
    EXPECT_TRUE(toolkit.IsEnabled(ids::kIncludeBootstrap));
}

TEST_F(UpdatePanelTest, RearmDuringDownload_RestartsIt_RamOptionIsNoKind) {
    Click(ids::kIncludeUcode);
    test::Internals(transfer).m_nDownState = protocol::DownloadState::AwaitVerdict;
    test::Internals(transfer).m_strFilePath = "/fw/ucode.bin";
    Click(ids::kIncludeLogo);
    EXPECT_TRUE(DownloadArmed());
    EXPECT_EQ(test::Internals(transfer).m_strFilePath, " ");

    EXPECT_FALSE(panel.OnCommand(ids::kDownloadToRam));
    panel.ArmDirection(ids::kDownloadToRam);
    EXPECT_FALSE(transfer.ChosenDirection() != Mode::None ||
                 test::Internals(transfer).m_bDownloadMode);
    toolkit.SetChecked(ids::kDownloadToRam, true);
    Click(ids::kIncludeUcode);
    Click(ids::kIncludeLogo);
    EXPECT_EQ(Enabled(), (std::vector<bool>{false, false, true}));
}

TEST_F(UpdatePanelTest, Browse_FillsOnlyItsRowAndCancelChangesNothing) {
    for (const BrowseRow& row : kBrowseRows) {
        const std::string chosen = "/new/" + std::to_string(row.button) + ".bin";
        toolkit.AnswerFileDialog(chosen);
        toolkit.AnswerFileDialog(std::nullopt);
        ASSERT_TRUE(panel.OnCommand(row.button));
        EXPECT_FALSE(panel.OnBrowse(row.button));
        EXPECT_EQ(toolkit.GetText(row.pathField), chosen);
    }
    EXPECT_EQ(toolkit.GetText(ids::kReceivePath), "/new/1014.bin");
    EXPECT_FALSE(panel.OnCommand(ids::kToSend));
    EXPECT_EQ(toolkit.fileDialogsShown, 12);
    EXPECT_EQ(transfer.ChosenDirection(), Mode::None);
}

}  // namespace
}  // namespace vandrelux::ui

#include <gtest/gtest.h>

#include "TransferFixture.h"

namespace vandrelux::protocol {
namespace {

using test::Bytes;

class DispatchTest : public test::TransferTest {
protected:
    void ArmDownload() {
        transfer.ChooseDirection(Mode::Download);
        transfer.ResetTransfer();
        transfer.ArmDownload();
    }
};

TEST_F(DispatchTest, NothingArmed_EchoesPrintablesAndLineControlsOnly) {
    Feed({0x20, 0x41, 0x0D, 0x00, 0x1F, 0x7F, 0x07, 0xFF});
    EXPECT_EQ(log.terminal, std::string("\x20\x41\x0D\x07"));
    EXPECT_TRUE(port.requests.empty());
}

TEST_F(DispatchTest, ReceiveChosenButNotStarted_DropsBytesAndTimerIsSilent) {
    toolkit.SetChecked(ids::kReceiveAll, true);
    transfer.ArmReceiveChoice();
    Feed({0x16, 0x41, 0x06});
    for (int i = 0; i < 5; ++i) {
        transfer.OnTimer(1);
    }
    EXPECT_TRUE(log.terminal.empty());
    EXPECT_TRUE(port.requests.empty());
    EXPECT_EQ(test::Internals(transfer).m_nState, protocol::ReceiveState::Idle);
}

// The TV programme list counts like the other four kinds: with it alone ticked, a box that waits
// for the beacon before it says it is ready would otherwise never start.
TEST_F(DispatchTest, DownloadBeacon_WhileAnyOfTheFiveKindsIsTicked_NotForTheRamOption) {
    toolkit.SetChecked(ids::kDownloadToRam, true);
    ArmDownload();
    transfer.OnTimer(1);
    EXPECT_TRUE(port.requests.empty());

    toolkit.SetChecked(ids::kIncludeTvProgram, true);
    transfer.OnTimer(1);
    transfer.OnTimer(2);
    EXPECT_EQ(port.Take(), Bytes{0x16});
    EXPECT_EQ(toolkit.console, "\r\n WriteCommBlock ");

    for (const platform::ControlId kind :
         {ids::kIncludeBootstrap, ids::kIncludeUcode, ids::kIncludeLogo, ids::kIncludeSoftware}) {
        toolkit.SetChecked(ids::kIncludeTvProgram, false);
        toolkit.SetChecked(kind, true);
        transfer.OnTimer(1);
        EXPECT_EQ(port.Take(), Bytes{0x16}) << kind;
        toolkit.SetChecked(kind, false);
    }
}

TEST_F(DispatchTest, ReceiveHandshakeBeacon_FollowsTheSubState) {
    transfer.OnToReceive();
    test::Internals(transfer).m_bHandshake = true;
    const std::uint8_t expected[] = {0x80, 0x81, 0x82};
    for (std::uint32_t sub = 1; sub <= 3; ++sub) {
        test::Internals(transfer).m_nSubState = sub;
        transfer.OnTimer(1);
        EXPECT_EQ(port.Take(), Bytes{expected[sub - 1]}) << "sub-state " << sub;
    }
    test::Internals(transfer).m_nSubState = 0;
    transfer.OnTimer(1);
    EXPECT_TRUE(port.requests.empty());
}

TEST_F(DispatchTest, ToReceive_StartsAFreshRunFromAnyState) {
    ArmDownload();
    test::Internals(transfer).m_nCount = 17;
    test::Internals(transfer).m_nFree = 12;
    test::Internals(transfer).m_nReceived = 99;
    transfer.OnToReceive();
    EXPECT_TRUE(test::Internals(transfer).m_bReceiveMode);
    EXPECT_FALSE(test::Internals(transfer).m_bDownloadMode);
    EXPECT_FALSE(test::Internals(transfer).m_bHandshake);
    EXPECT_EQ(test::Internals(transfer).m_nState, protocol::ReceiveState::Handshake);
    EXPECT_EQ(test::Internals(transfer).m_nSubState, 0U);
    EXPECT_EQ(test::Internals(transfer).m_nCount, 0);
    EXPECT_EQ(test::Internals(transfer).m_nFree, 5000);
    EXPECT_EQ(test::Internals(transfer).m_nReceived, 0U);
}

TEST_F(DispatchTest, ReceiveModeWins_EvenWithDownloadArmed) {
    ArmDownload();
    test::Internals(transfer).m_bReceiveMode =
        true;  // state 0: dropped, the download machine never sees it
    Feed({0x19, 0x41});
    EXPECT_EQ(test::Internals(transfer).m_nDownState, protocol::DownloadState::AwaitReady);
    EXPECT_TRUE(log.terminal.empty());
}

TEST_F(DispatchTest, Restart_ClearsDisplayAndRearmsTheChosenDirection) {
    toolkit.SetText(ids::kSizeText, "3K / 9K");
    toolkit.SetProgressPos(ids::kProgress, 4);
    transfer.ChooseDirection(Mode::Download);
    test::Internals(transfer).m_nDownState = protocol::DownloadState::AwaitVerdict;
    transfer.OnRestart();
    EXPECT_EQ(toolkit.sleeps, std::vector<std::uint32_t>{10});
    EXPECT_EQ(log.messages, "Restart! please power on platform to download files again\r\n");
    EXPECT_EQ(toolkit.GetText(ids::kSizeText), "");
    EXPECT_EQ(toolkit.At(ids::kProgress).progressPos, 0);
    EXPECT_TRUE(test::Internals(transfer).m_bDownloadMode);
    EXPECT_TRUE(test::Internals(transfer).m_bHandshake);
    EXPECT_EQ(test::Internals(transfer).m_nDownState, protocol::DownloadState::AwaitReady);

    transfer.ChooseDirection(Mode::Receive);
    transfer.OnRestart();
    EXPECT_TRUE(test::Internals(transfer).m_bReceiveMode);
    EXPECT_FALSE(test::Internals(transfer).m_bDownloadMode);
    EXPECT_FALSE(test::Internals(transfer).m_bHandshake);
    EXPECT_EQ(test::Internals(transfer).m_nState, protocol::ReceiveState::Idle);

    transfer.ChooseDirection(Mode::None);
    transfer.OnRestart();
    EXPECT_FALSE(test::Internals(transfer).m_bReceiveMode);
    EXPECT_FALSE(test::Internals(transfer).m_bDownloadMode);
}

}  // namespace
}  // namespace vandrelux::protocol

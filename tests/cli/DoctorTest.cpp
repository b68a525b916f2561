#include <gtest/gtest.h>
#include <sys/stat.h>

#include "TempTree.h"
#include "cli/Doctor.h"

namespace vandrelux::cli {
namespace {

using test::TempTree;

class Doctor : public ::testing::Test {
protected:
    Doctor() : device(tree.File("dev/ttyUSB0")) {
        roots = {tree.Path("sys"), tree.Path("dev"), tree.Path("proc")};
        struct stat info {};
        ::stat(device.c_str(), &info);
        group = info.st_gid;
        ::chmod(device.c_str(), 0660);
    }

    [[nodiscard]] std::vector<Finding> Problems(const platform::UserIdentity& user,
                                                int baud = 115200) {
        std::vector<Finding> problems;
        for (Finding& f : CheckSerialSetup(device, roots, user, baud, 1)) {
            if (!f.ok) {
                problems.push_back(std::move(f));
            }
        }
        return problems;
    }

    TempTree tree;
    std::string device;
    platform::SystemRoots roots;
    unsigned group = 0;
    platform::UserIdentity member{4321, "alice", {0}, {0}};
};

TEST_F(Doctor, EverythingInOrder_NoProblem) {
    member.sessionGroups = member.configuredGroups = {group};
    tree.File("sys/bus/usb-serial/devices/ttyUSB0/latency_timer", "1\n");
    const auto findings = CheckSerialSetup(device, roots, member, 115200, 1);
    ASSERT_EQ(findings.size(), 3U);
    for (const Finding& f : findings) {
        EXPECT_TRUE(f.ok) << f.what;
    }
}

TEST_F(Doctor, NotInTheDevicesGroup_ExactCommandToJoinIt) {
    const auto problems = Problems({4321, "alice", {group + 1}, {group + 1}});
    ASSERT_EQ(problems.size(), 1U);
    ASSERT_FALSE(problems[0].fix.empty());
    const platform::DeviceAccess access =
        platform::CheckDeviceAccess(device, {4321, "alice", {}, {}});
    EXPECT_EQ(problems[0].fix[0], "sudo usermod -aG " + access.group + " alice");
    EXPECT_NE(FormatFinding(problems[0]).find("problem: alice may not open"), std::string::npos);
}

TEST_F(Doctor, JoinedSinceThisLogin_SaysToLogInAgain) {
    const auto problems = Problems({4321, "alice", {group + 1}, {group + 1, group}});
    ASSERT_EQ(problems.size(), 1U);
    EXPECT_NE(problems[0].fix[0].find("log out and back in"), std::string::npos);
}

TEST_F(Doctor, HeldByAnotherProcess_NamesItAndHowToEndIt) {
    member.sessionGroups = {group};
    tree.Link("proc/812/fd/4", device);
    tree.File("proc/812/comm", "minicom\n");
    const auto problems = Problems(member);
    ASSERT_EQ(problems.size(), 1U);
    EXPECT_NE(problems[0].what.find("minicom process 812"), std::string::npos);
    EXPECT_EQ(problems[0].fix[0], "close that program, or end it: kill 812");
}

TEST_F(Doctor, HeldByOwnShellAndJob_OnlyStrangersToEnd) {
    member.sessionGroups = {group};
    // This program is process 1, started by bash 50 under sshd 40; tee 60 shares its job.
    tree.File("proc/1/stat", "1 (vandrelux-cli) S 50 1 50 0\n");
    tree.File("proc/50/stat", "50 (bash) S 40 50 50 0\n");
    tree.File("proc/40/stat", "40 (sshd) S 0 40 40 0\n");
    tree.File("proc/60/stat", "60 (tee) S 50 1 50 0\n");
    tree.File("proc/812/stat", "812 (minicom) S 50 812 50 0\n");
    for (const char* pid : {"50", "60", "812"}) {
        tree.Link(std::string("proc/") + pid + "/fd/0", device);
    }
    tree.File("proc/50/comm", "bash\n");
    tree.File("proc/60/comm", "tee\n");
    tree.File("proc/812/comm", "minicom\n");
    const auto problems = Problems(member);
    ASSERT_EQ(problems.size(), 1U);
    EXPECT_NE(problems[0].what.find("bash process 50 (a parent of this vandrelux-cli)"),
              std::string::npos)
        << problems[0].what;
    EXPECT_NE(problems[0].what.find("tee process 60 (in this vandrelux-cli's job)"),
              std::string::npos);
    ASSERT_EQ(problems[0].fix.size(), 2U);
    EXPECT_EQ(problems[0].fix[0], "close that program, or end it: kill 812");
    EXPECT_EQ(problems[0].fix[1],
              "close " + device + " in the shell or program that started vandrelux-cli");
}

TEST_F(Doctor, ProcessNameWithEscapes_ShownHarmlessInText) {
    member.sessionGroups = {group};
    tree.Link("proc/812/fd/4", device);
    tree.File("proc/812/comm", "x\x1b[2J\x07\n");
    const auto problems = Problems(member);
    ASSERT_EQ(problems.size(), 1U);
    const std::string text = FormatFinding(problems[0]);
    EXPECT_NE(text.find("x?[2J? process 812"), std::string::npos) << text;
}

TEST_F(Doctor, SlowLatencyTimer_CostPerFrameAndTheFix) {
    member.sessionGroups = {group};
    tree.File("sys/bus/usb-serial/devices/ttyUSB0/latency_timer", "16\n");
    const auto at115200 = Problems(member, 115200);
    ASSERT_EQ(at115200.size(), 1U);
    // A 4106-byte frame is 356.4 ms on the line at 115200 baud; 16 ms more is 4 %.
    EXPECT_NE(at115200[0].what.find(
                  "up to 16 ms on every 356.4 ms data frame at 115200 baud (4 % slower)"),
              std::string::npos)
        << at115200[0].what;
    EXPECT_NE(at115200[0].what.find("66 s more for a 16 MiB image"), std::string::npos);
    EXPECT_EQ(at115200[0].fix[0],
              "as root: echo 1 > " + tree.Path("sys/bus/usb-serial/devices/ttyUSB0/latency_timer"));
    EXPECT_NE(at115200[0].fix[2].find("ATTR{latency_timer}=\"1\""), std::string::npos);

    const auto at921600 = Problems(member, 921600);
    ASSERT_EQ(at921600.size(), 1U);
    EXPECT_NE(at921600[0].what.find("(36 % slower)"), std::string::npos) << at921600[0].what;
}

TEST_F(Doctor, NotASerialLine_SaidSoAndItsHoldersLeftAlone) {
    tree.Link("sys/dev/char/1:3/subsystem", "../../../class/mem");
    tree.Link("proc/812/fd/0", "/dev/null");
    const auto findings = CheckSerialSetup("/dev/null", roots, member, 115200, 1);
    ASSERT_EQ(findings.size(), 2U);
    EXPECT_EQ(findings[1].what, "/dev/null is not a serial line (a mem device)");
}

TEST_F(Doctor, PseudoTerminalsOtherEnd_NoRival) {
    member.sessionGroups = {group};
    device = tree.File("dev/pts/7");
    ::chmod(device.c_str(), 0660);
    tree.Link("proc/812/fd/3", "/dev/ptmx");
    tree.File("proc/812/fdinfo/3", "pos:\t0\nflags:\t0104002\ntty-index:\t7\n");
    tree.Link("proc/812/fd/4", device);
    tree.File("proc/812/comm", "vandrelux-boxsi\n");
    const auto findings = CheckSerialSetup(device, roots, member, 115200, 1);
    ASSERT_EQ(findings.size(), 2U);
    EXPECT_TRUE(findings[1].ok);
    EXPECT_NE(findings[1].what.find("its other end: vandrelux-boxsi process 812"),
              std::string::npos)
        << findings[1].what;
}

TEST_F(Doctor, MissingDevice_OnlyThatIsSaid) {
    const auto findings = CheckSerialSetup(tree.Path("dev/ttyUSB7"), roots, member, 115200, 1);
    ASSERT_EQ(findings.size(), 1U);
    EXPECT_FALSE(findings[0].ok);
    EXPECT_NE(findings[0].what.find("does not exist"), std::string::npos);
}

}  // namespace
}  // namespace vandrelux::cli

// Which names of a watched folder count as devices, and that a change in the folder is heard.
#include <gtest/gtest.h>

#include <filesystem>

#include "PseudoTerminal.h"
#include "TempTree.h"
#include "station/DeviceWatch.h"

namespace vandrelux::station {
namespace {

TEST(DeviceWatch, Scan_OnlyCharacterDevicesThroughTheirLinksEachOnce) {
    const test::TempTree tree;
    test::PseudoTerminal pty;
    tree.Link("slots/a", pty.SlavePath());
    tree.Link("slots/dangling", tree.Path("nothing-here"));
    tree.File("slots/plain", "not a device");
    tree.Folder("slots/folder");
    // Two globs naming the same device give it once.
    CDeviceWatch watch({tree.Path("slots/*"), tree.Path("slots/a")});
    EXPECT_EQ(watch.Scan(), (std::vector<std::string>{tree.Path("slots/a")}));
    EXPECT_TRUE(watch.Matches(tree.Path("slots/gone")));
    EXPECT_FALSE(watch.Matches(tree.Path("slots/deeper/a")));
    EXPECT_FALSE(watch.Matches(tree.Path("other/a")));
    // The link that leads nowhere may lead to a device later, with no change to the folder.
    EXPECT_TRUE(watch.NeedsPolling());
}

TEST(DeviceWatch, FolderChanges_AreHeardAndAMissingFolderIsPolled) {
    const test::TempTree tree;
    tree.Folder("slots");
    test::PseudoTerminal pty;
    CDeviceWatch watch({tree.Path("slots/*")});
    ASSERT_GE(watch.Descriptor(), 0);
    EXPECT_FALSE(watch.TakeEvents());
    tree.Link("slots/b", pty.SlavePath());
    EXPECT_TRUE(watch.TakeEvents());
    EXPECT_EQ(watch.Scan().size(), 1U);
    std::filesystem::remove(tree.Path("slots/b"));
    EXPECT_TRUE(watch.TakeEvents());
    EXPECT_TRUE(watch.Scan().empty());

    CDeviceWatch notYet({tree.Path("later/*"), tree.Path("any*/x")});
    EXPECT_TRUE(notYet.NeedsPolling());
}

TEST(DeviceWatch, FolderRemovedAndMadeAgain_IsPolledUntilWatchedAgain) {
    const test::TempTree tree;
    tree.Folder("slots");
    test::PseudoTerminal pty;
    CDeviceWatch watch({tree.Path("slots/*")});
    ASSERT_FALSE(watch.NeedsPolling());
    // As udev removes /dev/serial/by-path with the last adapter and makes it with the next.
    std::filesystem::remove_all(tree.Path("slots"));
    EXPECT_TRUE(watch.TakeEvents());
    EXPECT_TRUE(watch.NeedsPolling());
    watch.Rewatch();
    EXPECT_TRUE(watch.NeedsPolling());

    tree.Folder("slots");
    watch.Rewatch();
    EXPECT_FALSE(watch.NeedsPolling());
    tree.Link("slots/c", pty.SlavePath());
    EXPECT_TRUE(watch.TakeEvents());
    EXPECT_EQ(watch.Scan(), (std::vector<std::string>{tree.Path("slots/c")}));
}

TEST(DeviceWatch, LinkWhoseDeviceGoesAndComesBack_IsPolledUntilItLeadsToOneAgain) {
    const test::TempTree tree;
    test::PseudoTerminal pty;
    // A link in the watched folder to a device name that is made and removed elsewhere.
    tree.Link("device", pty.SlavePath());
    tree.Link("slots/y", tree.Path("device"));
    tree.File("slots/notes.txt", "a plain file is never polled for");
    CDeviceWatch watch({tree.Path("slots/*")});
    EXPECT_EQ(watch.Scan(), (std::vector<std::string>{tree.Path("slots/y")}));
    EXPECT_FALSE(watch.NeedsPolling());

    std::filesystem::remove(tree.Path("device"));
    EXPECT_FALSE(watch.TakeEvents());  // nothing in the watched folder changed
    EXPECT_TRUE(watch.Scan().empty());
    EXPECT_TRUE(watch.NeedsPolling());

    tree.Link("device", pty.SlavePath());
    EXPECT_EQ(watch.Scan(), (std::vector<std::string>{tree.Path("slots/y")}));
    EXPECT_FALSE(watch.NeedsPolling());
}

}  // namespace
}  // namespace vandrelux::station

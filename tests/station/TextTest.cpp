#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "TempTree.h"
#include "station/Text.h"

namespace vandrelux::station {
namespace {

TEST(Text, Dump_BytesThatAreNotUtf8_Replaced) {
    const nlohmann::json value = {{"path", "t\xe9.bin"}, {"comm", "\xff"}};
    const nlohmann::json back = nlohmann::json::parse(Dump(value));
    EXPECT_EQ(back["path"], "t\xEF\xBF\xBD.bin");
    EXPECT_EQ(back["comm"], "\xEF\xBF\xBD");
    EXPECT_EQ(Dump(value, 2).find('\n'), 1U);
}

TEST(Text, Printable_ControlCharactersBecomeQuestionMarks) {
    EXPECT_EQ(Printable("a\tb\nc\x1b[1m\r\x7f\xc3\xa9"), "a\tb\nc?[1m??\xc3\xa9");
}

TEST(Text, WriteJsonFile_WholeDocumentOrNothing) {
    test::TempTree tree;
    const std::string path = tree.File("run.json", "old");
    ASSERT_TRUE(WriteJsonFile(path, {{"port", "/dev/tty\xff"}}));
    std::ifstream in(path);
    EXPECT_EQ(nlohmann::json::parse(in)["port"], "/dev/tty\xEF\xBF\xBD");
    EXPECT_FALSE(std::filesystem::exists(path + ".partial"));
    EXPECT_FALSE(WriteJsonFile(tree.Path("no-such-folder/run.json"), nlohmann::json::object()));
}

}  // namespace
}  // namespace vandrelux::station

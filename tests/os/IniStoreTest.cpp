// The settings store this OS uses (the private-profile calls on Windows), held to the same
// contract as the portable INI file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "os/IniFile.h"

namespace vandrelux::platform {
namespace {

class IniStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder =
            std::filesystem::temp_directory_path() / (std::string("vandrelux-ini-") + info->name());
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        path = folder / "Vandrelux.ini";
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    void WriteFile(const std::string& text) const { std::ofstream(path, std::ios::binary) << text; }
    [[nodiscard]] std::string ReadFile() const {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::filesystem::path folder;
    std::filesystem::path path;
};

TEST_F(IniStoreTest, MissingFile_GivesDefaultsAndTheFirstWriteCreatesIt) {
    const auto store = OpenIniStore(path);
    EXPECT_EQ(store->GetInt("Setting", "PortNum", 7), 7);
    EXPECT_EQ(store->GetString("Setting", "SoftwarePath", "none", 256), "none");
    ASSERT_TRUE(store->WriteString("Setting", "PortNum", "2"));
    ASSERT_TRUE(store->WriteString("Setting", "SoftwarePath", "C:\\boxes\\app.bin"));
    EXPECT_EQ(store->GetInt("Setting", "PortNum", 0), 2);
    EXPECT_EQ(store->GetString("Setting", "SoftwarePath", "", 256), "C:\\boxes\\app.bin");
    EXPECT_NE(ReadFile().find("[Setting]"), std::string::npos);
}

TEST_F(IniStoreTest, Values_ReadAsTheContractSays) {
    WriteFile(
        "[Setting]\r\nA=  42abc\r\nB=-3\r\nC=\r\nD=x1\r\nE=\"quoted path\"\r\n"
        "F=99999999999999\r\n");
    const auto store = OpenIniStore(path);
    EXPECT_EQ(store->GetInt("Setting", "A", 0), 42);
    EXPECT_EQ(store->GetInt("Setting", "B", 0), -3);
    EXPECT_EQ(store->GetInt("Setting", "C", 5), 5) << "an empty value takes the default";
    EXPECT_EQ(store->GetInt("Setting", "D", 5), 0) << "a value that is no number counts as 0";
    EXPECT_EQ(store->GetString("Setting", "E", "", 256), "quoted path");
    EXPECT_EQ(store->GetInt("setting", "b", 0), -3) << "names ignore case";
    EXPECT_EQ(store->GetString("Other", "A", "dflt", 256), "dflt");
}

TEST_F(IniStoreTest, LongValue_IsCutToTheBuffer) {
    const auto store = OpenIniStore(path);
    const std::string longPath(300, 'p');
    ASSERT_TRUE(store->WriteString("Setting", "LogoPath", longPath));
    EXPECT_EQ(store->GetString("Setting", "LogoPath", "", 256), longPath.substr(0, 255));
    EXPECT_EQ(store->GetString("Setting", "LogoPath", "", 1), "");
}

// Values are UTF-8: the cut never splits a character, and bytes that are no UTF-8 are cut as
// bytes.
TEST_F(IniStoreTest, LongValueInAnotherScript_IsCutAtACharacterBoundary) {
    const auto store = OpenIniStore(path);
    std::string twoByte;
    std::string threeByte;
    for (int i = 0; i < 200; ++i) {
        twoByte += "\xC3\xA9";
        threeByte += "\xE4\xB8\xAD";
    }
    ASSERT_TRUE(store->WriteString("Setting", "LogoPath", twoByte));
    ASSERT_TRUE(store->WriteString("Setting", "UcodePath", threeByte));
    EXPECT_EQ(store->GetString("Setting", "LogoPath", "", 256), twoByte.substr(0, 254));
    EXPECT_EQ(store->GetString("Setting", "UcodePath", "", 256), threeByte.substr(0, 255));
    EXPECT_EQ(store->GetString("Setting", "UcodePath", "", 255), threeByte.substr(0, 252));
    EXPECT_EQ(store->GetString("Setting", "Missing", threeByte, 3), "");

    const std::string latin1 = std::string(254, 'p') + "\xE9" + "xyz";
    EXPECT_EQ(CutToBuffer(latin1, 256), latin1.substr(0, 255));
    const std::string stray = std::string(250, 'p') + "\x80\x80\x80\x80\x80\x80\x80";
    EXPECT_EQ(CutToBuffer(stray, 256), stray.substr(0, 255));
}

TEST_F(IniStoreTest, Write_ReplacesOneValueAndKeepsEveryOtherLine) {
    WriteFile(
        "; operator notes\r\n[Other]\r\nKeep=1\r\n[Setting]\r\nPortNum=1\r\nUcodePath=u.bin\r\n");
    const auto store = OpenIniStore(path);
    ASSERT_TRUE(store->WriteString("Setting", "PortNum", "2"));
    const std::string text = ReadFile();
    EXPECT_NE(text.find("; operator notes"), std::string::npos);
    EXPECT_NE(text.find("Keep=1"), std::string::npos);
    EXPECT_NE(text.find("UcodePath=u.bin"), std::string::npos);
    EXPECT_NE(text.find("PortNum=2"), std::string::npos);
    EXPECT_EQ(text.find("PortNum=1"), std::string::npos);
}

TEST_F(IniStoreTest, ValueWithALineBreak_IsRefusedAndAddsNoLines) {
    WriteFile("[Setting]\r\nPortNum=1\r\n");
    const auto store = OpenIniStore(path);
    EXPECT_FALSE(store->WriteString("Setting", "PortNum", "2\r\n[Evil]\r\nX=1"));
    EXPECT_EQ(store->GetInt("Setting", "PortNum", 0), 1);
    EXPECT_EQ(ReadFile().find("Evil"), std::string::npos);
}

}  // namespace
}  // namespace vandrelux::platform

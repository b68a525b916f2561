#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "app/Settings.h"
#include "protocol/ControlIds.h"
#include "toolkit/fake/FakeToolkit.h"

namespace vandrelux::app {
namespace {

namespace fs = std::filesystem;
using platform::IniFile;

class SettingsTest : public ::testing::Test {
protected:
    SettingsTest() { fs::create_directories(dir); }
    ~SettingsTest() override { fs::remove_all(dir); }

    IniFile Store(const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
        return IniFile(path);
    }
    [[nodiscard]] std::string Stored() const {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Loads `content` (none: no file), saves, and returns what the file then holds.
    std::string LoadThenSave(const std::optional<std::string>& content) {
        IniFile ini = content ? Store(*content) : IniFile(path);
        LoadSettings(ini, toolkit, portIndex);
        SaveSettings(ini, toolkit, portIndex);
        return Stored();
    }

    // Other build trees on this machine run the same cases at the same time: a folder of our own.
    fs::path dir =
        fs::temp_directory_path() /
        ("vandrelux-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) +
         "-" + std::to_string(std::random_device{}()));
    fs::path path = dir / "Vandrelux.ini";
    platform::FakeToolkit toolkit;
    int portIndex = -1;
};

TEST_F(SettingsTest, IniLookup_FollowsPrivateProfileRules) {
    const IniFile ini = Store(
        "Key=before any section\r\n[ setting ]\r\nno equals sign here\r\n"
        "  kEY  =  \"quoted value\"  \r\nKey=second, ignored\r\nHalf=\"open\r\nEmpty=\r\n"
        "[Setting]\r\nOther=in a later section of the same name\r\n");
    EXPECT_EQ(ini.GetString("SETTING", "key", "", 256), "quoted value");
    EXPECT_EQ(ini.GetString("Setting", "Key", "", 9), "quoted v");
    EXPECT_EQ(ini.GetString("Setting", "Half", "", 256), "\"open");
    EXPECT_EQ(ini.GetString("Setting", "Other", "default", 5), "defa");
    EXPECT_EQ(ini.GetInt("Setting", "Empty", 7), 7);
    const std::pair<const char*, int> numbers[] = {{" 42 ", 42},
                                                   {"12abc", 12},
                                                   {"-3", -3},
                                                   {"abc", 0},
                                                   {"0x10", 0},
                                                   {"\x01\xff", 0},
                                                   {"99999999999", INT_MAX},
                                                   {"-99999999999", INT_MIN}};
    for (const auto& [value, expected] : numbers) {
        EXPECT_EQ(Store(std::string("[S]\nKey=") + value).GetInt("S", "Key", -1), expected);
    }
}

TEST_F(SettingsTest, IniWrite_TouchesOnlyTheValueOrAddsALine) {
    const std::string head = "; notes\r\n[Setting]\r\n  Key = ";
    const std::string tail = "  \r\nBin=\x01\xfe\r\n[Last]\nX=1\n";
    ASSERT_TRUE(Store(head + "old" + tail).WriteString("setting", "KEY", "new"));
    EXPECT_EQ(Stored(), head + "new" + tail);

    IniFile lf = Store("[Setting]\nA=1\n; trailing comment\n\n[Other]\nB=2");
    ASSERT_TRUE(lf.WriteString("Setting", "New", "x") && lf.WriteString("Third", "C", "3"));
    EXPECT_EQ(Stored(),
              "[Setting]\nA=1\nNew=x\n; trailing comment\n\n[Other]\nB=2\n[Third]\nC=3\n");
}

TEST_F(SettingsTest, IniWrite_AfterALastLineEndingInABareCR_ReadsBack) {
    // A second CR would have made the section line read as "Setting\r".
    for (const std::string file : {"[Setting\r", "[Setting]\r", "[Setting]\r\nA=1\r"}) {
        IniFile ini = Store(file);
        ASSERT_TRUE(ini.WriteString("Setting", "UpdateLogo", "1")) << file;
        EXPECT_EQ(ini.GetString("Setting", "UpdateLogo", "", 256), "1") << file;
        EXPECT_EQ(Stored(), file + "\nUpdateLogo=1\r\n");
    }
}

TEST_F(SettingsTest, IniWrite_RefusedOrFailed_ReportsFalseAndKeepsTheFile) {
    EXPECT_FALSE(IniFile(dir / "missing" / "x.ini").WriteString("S", "A", "1"));
    EXPECT_FALSE(IniFile(dir).WriteString("S", "A", "1"));
    IniFile ini = Store("[S]\r\nPath=a\r\n");
    EXPECT_FALSE(ini.WriteString("S", "Path", "b\r\nPortNum=2"));  // would add a key
    EXPECT_FALSE(ini.WriteString("S]", "Path", "b"));
    fs::permissions(path, fs::perms::owner_read);
    if (!std::ofstream(path, std::ios::app)) {  // rights that honour a read-only file
        EXPECT_FALSE(ini.WriteString("S", "Path", "b"));
    }
    EXPECT_EQ(Stored(), "[S]\r\nPath=a\r\n");
}

TEST_F(SettingsTest, FirstRunWithoutFile_WritesAll14KeysWithDefaults) {
    EXPECT_EQ(LoadThenSave(std::nullopt),
              "[Setting]\r\nDownloadFlashLoader=0\r\nFlashloaderPath=\r\nUpdateBootStrap=0\r\n"
              "BootStrapPath=\r\nUpdateSoftware=0\r\nSoftwarePath=\r\nDownloadToRAM=0\r\n"
              "UpdateUcode=0\r\nUcodePath=\r\nUpdateLogo=0\r\nLogoPath=\r\n"
              "UpdateTvProgram=0\r\nTvProgramPath=\r\nPortNum=1\r\n");
    EXPECT_EQ(portIndex, 0);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 1);  // no temporary left
}

TEST_F(SettingsTest, ForeignLinesAndUnchangedValues_SurviveByteForByte) {
    const std::string file =
        "; kept by hand\n[Tools]\nPortNum=9\n\n[setting]\nportnum = 2\nUpdateSoftware=1\n"
        "UpdateSoftware=0\njunk line\nSoftwarePath=  \"/opt/fw/sw.bin\"  \n\x01\xff=\x7f\n";
    const std::string saved = LoadThenSave(file);
    EXPECT_EQ(portIndex, 1);
    EXPECT_TRUE(toolkit.IsChecked(ids::kIncludeSoftware));  // the first duplicate wins
    EXPECT_EQ(toolkit.GetText(ids::kSoftwarePath), "/opt/fw/sw.bin");
    EXPECT_EQ(saved, file +
                         "DownloadFlashLoader=0\nFlashloaderPath=\nUpdateBootStrap=0\n"
                         "BootStrapPath=\nDownloadToRAM=0\nUpdateUcode=0\nUcodePath=\n"
                         "UpdateLogo=0\nLogoPath=\nUpdateTvProgram=0\nTvProgramPath=\n");
}

TEST_F(SettingsTest, PortNumReceiveChoiceAndLongPath_LoadAndSaveAsStored) {
    for (const auto& [stored, index] : std::map<std::string, int>{{"2", 1}, {"0", 0}, {"3", 0}}) {
        const std::string saved = LoadThenSave("[Setting]\nPortNum=" + stored + "\n");
        EXPECT_EQ(portIndex, index) << stored;
        EXPECT_NE(saved.find(index == 1 ? "\nPortNum=2\n" : "\nPortNum=1\n"), std::string::npos);
    }
    // The receive choice keeps the kinds unticked; paths and the RAM option still load.
    const std::string saved = LoadThenSave(
        "[Setting]\nDownloadFlashLoader=1\nUpdateSoftware=1\nSoftwarePath=/sw.bin\n"
        "DownloadToRAM=1\n");
    EXPECT_TRUE(
        saved.starts_with("[Setting]\nDownloadFlashLoader=1\nUpdateSoftware=0\n"
                          "SoftwarePath=/sw.bin\nDownloadToRAM=1\n"));
    IniFile ini(path);
    toolkit.SetText(ids::kLogoPath, std::string(300, 'p'));
    SaveSettings(ini, toolkit, 0);
    EXPECT_EQ(ini.GetString("Setting", "LogoPath", "", 1000), std::string(255, 'p'));
}

std::string Times(int n, const std::string& character) {
    std::string text;
    for (int i = 0; i < n; ++i) {
        text += character;
    }
    return text;
}

// 255 bytes hold 127 two-byte or 85 three-byte characters; a cut inside one would come back as
// U+FFFD at the next start.
TEST_F(SettingsTest, PathInAnotherScript_SavedAndLoadedCutAtACharacterBoundary) {
    for (const auto& [character, kept] :
         std::map<std::string, int>{{"\xC3\xA9", 127}, {"\xE4\xB8\xAD", 85}}) {
        IniFile ini(path);
        toolkit.SetText(ids::kUcodePath, Times(200, character));
        SaveSettings(ini, toolkit, 0);
        EXPECT_EQ(ini.GetString("Setting", "UcodePath", "", 1000), Times(kept, character));

        // A file written by hand, or by an older version, is cut the same way on loading.
        LoadSettings(Store("[Setting]\nUcodePath=" + Times(200, character) + "\n"), toolkit,
                     portIndex);
        EXPECT_EQ(toolkit.GetText(ids::kUcodePath), Times(kept, character));
    }
}

TEST_F(SettingsTest, TenMegabyteFile_LoadsTheSettingsAndSavesEveryByteBack) {
    std::string big;
    while (big.size() < 10'000'000) {
        big += "[Noise]\nk=" + std::string(100, '\xAB') + "\nno equals\n";
    }
    const std::string saved = LoadThenSave(big + "[Setting]\nUpdateUcode=1\n");
    EXPECT_TRUE(toolkit.IsChecked(ids::kIncludeUcode));
    EXPECT_TRUE(saved.starts_with(big));
}

TEST_F(SettingsTest, SettingsPath_BesideTheExecutableElseTheConfigFolder) {
    struct Case {
        std::string exe;
        bool writable, canCreate;
        std::string xdg, expected;
    };
    const std::string longDir = "/" + std::string(300, 'd');
    const Case cases[] = {
        {longDir + "/vandrelux", true, true, "", longDir + "/Vandrelux.ini"},
        {"/usr/bin/vandrelux", false, true, "/cfg", "/cfg/vandrelux/Vandrelux.ini"},
        {"/usr/bin/vandrelux", false, true, "relative", "/h/.config/vandrelux/Vandrelux.ini"},
        {"/usr/bin/vandrelux", false, false, "", "/usr/bin/Vandrelux.ini"},
        {"vandrelux", true, true, "", "/h/.config/vandrelux/Vandrelux.ini"},
        {"/opt/Vandrelux.ini", true, true, "", "/h/.config/vandrelux/Vandrelux.ini"}};
    for (const Case& c : cases) {
        const SettingsEnvironment env{
            [&](const fs::path&) { return c.writable; },
            [&](const std::string_view name) -> std::optional<std::string> {
                return name == "HOME" ? "/h" : c.xdg.empty() ? std::nullopt : std::optional(c.xdg);
            },
            [&](const fs::path&) { return c.canCreate; }};
        EXPECT_EQ(SettingsPath(c.exe, env), c.expected) << c.exe;
    }
    EXPECT_EQ(SettingsPath((dir / "vandrelux").string()), path.string());
    EXPECT_TRUE(fs::is_empty(dir));  // the probe is gone
}

// A per-machine install under Program Files cannot be written by an operator: the settings
// go to the operator's own application data, never to a relative or missing folder.
TEST_F(SettingsTest, SettingsPath_OnWindows_BesideTheProgramElseApplicationData) {
    struct Case {
        bool writable, canCreate;
        std::optional<std::string> appData;
        std::string expected;
    };
    const std::string exe = R"(C:\Program Files\Vandrelux\vandrelux.exe)";
    const std::string beside = R"(C:\Program Files\Vandrelux\Vandrelux.ini)";
    const std::string roaming = R"(C:\Users\op\AppData\Roaming)";
    const Case cases[] = {{true, true, roaming, beside},
                          {false, true, roaming, roaming + R"(\Vandrelux\Vandrelux.ini)"},
                          {false, false, roaming, beside},
                          {false, true, "AppData", beside},
                          {false, true, std::nullopt, beside}};
    for (const Case& c : cases) {
        const SettingsEnvironment env{[&](const fs::path&) { return c.writable; },
                                      [&](const std::string_view name) {
                                          return name == "APPDATA" ? c.appData
                                                                   : std::optional<std::string>();
                                      },
                                      [&](const fs::path&) { return c.canCreate; }};
        EXPECT_EQ(SettingsPath(exe, env), c.expected) << c.appData.value_or("(none)");
    }
}

}  // namespace
}  // namespace vandrelux::app

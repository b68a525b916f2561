// Where the box stores the images it accepts: one file per kind, named by the type word.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "boxsim/ImageFiles.h"

namespace vandrelux::boxsim {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

TEST(KindOf, TypeWord_NamesTheFile) {
    const std::vector<std::pair<std::uint32_t, std::string>> table = {
        {0x10, "bootstrap.bin"},        {0x100, "ucode.bin"},
        {0x100000, "logo.bin"},         {0x1000000, "tvprogram.bin"},
        {0x1000, "software.bin"},       {0x0, "image-00000000.bin"},
        {0x20, "image-00000020.bin"},   {0xDEADBEEF, "image-deadbeef.bin"},
        {0x1010, "image-00001010.bin"},
    };
    for (const auto& [type, file] : table) {
        EXPECT_EQ(KindOf(type).file, file) << std::hex << type;
    }
    EXPECT_EQ(KindOf(0x10).kind, "bootstrap");
    EXPECT_EQ(KindOf(0x20).kind, "unknown");
}

class ImageFilesTest : public ::testing::Test {
protected:
    ImageFilesTest()
        : dir(fs::temp_directory_path() /
              (std::string("vandrelux-imgs-") +
               ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    ~ImageFilesTest() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    Bytes Load(const std::string& name) const {
        std::ifstream in(dir / name, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    fs::path dir;
};

TEST_F(ImageFilesTest, SameKindTwice_LaterImageReplacesEarlierOneWhole) {
    // RAM mode keeps the software kind.
    ASSERT_EQ(WriteImage(dir, StoredImage{{0x1000, 0, 4, 0, 0, 0x80010000, 0}, {1, 2, 3, 4}}), "");
    ASSERT_EQ(WriteImage(dir, StoredImage{{0x1000, 0, 2, 0, 0x10, 0x10003000, 0}, {9, 8}}), "");
    EXPECT_EQ(Load("software.bin"), (Bytes{9, 8}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace vandrelux::boxsim

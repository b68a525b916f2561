// What the main dialog's tests share: a scratch folder with the settings file, which is also the
// current folder (where a receive collects "rv.bin"), and a pseudo-terminal as COM1 (COM2 names a
// device that does not exist).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/UpdateDlg.h"

namespace vandrelux::test {

class DialogFixture : public ::testing::Test {
protected:
    DialogFixture()
        : dir(std::filesystem::temp_directory_path() /
              (std::string("vandrelux-dlg-") +
               ::testing::UnitTest::GetInstance()->current_test_suite()->name() + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        std::filesystem::current_path(dir);
        master = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_EQ(grantpt(master), 0);
        EXPECT_EQ(unlockpt(master), 0);
        options.comMap[1] = ptsname(master);
        options.comMap[2] = (dir / "absent").string();
        options.settingsPath = (dir / "Vandrelux.ini").string();
    }
    ~DialogFixture() override {
        ::close(master);
        std::error_code ec;
        std::filesystem::current_path(m_startFolder, ec);
        std::filesystem::remove_all(dir, ec);
    }

    void WriteIni(const std::string& text) const { std::ofstream(*options.settingsPath) << text; }
    [[nodiscard]] std::string ReadIni() const {
        std::ifstream in(*options.settingsPath);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::filesystem::path dir;
    int master = -1;
    app::AppOptions options;

private:
    std::filesystem::path m_startFolder = std::filesystem::current_path();
};

}  // namespace vandrelux::test

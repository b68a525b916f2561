#include <gtest/gtest.h>

#include <cstdlib>

#include "toolkit/qt/QtApplication.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Test discovery only lists names, and may run where no display is.
    if (GTEST_FLAG_GET(list_tests)) {
        return RUN_ALL_TESTS();
    }
    if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
    }
    return vandrelux::platform::RunQtApplication(argc, argv, [] { return RUN_ALL_TESTS(); });
}

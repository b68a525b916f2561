// The native toolkit's tests: they need the rich-edit control loaded, as the program does.
#include <gtest/gtest.h>

#include "toolkit/win32/Win32Application.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!vandrelux::platform::win32::PrepareToolkit()) {
        return 1;
    }
    return RUN_ALL_TESTS();
}

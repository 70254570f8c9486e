// The Windows tests' main. With "--try-open N" the program is instead the
// other program of the busy-port test: it opens COM N, keeps it for a moment
// and exits with the driver status of the open.

#include "serial/win32_backend.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--try-open") == 0) {
        flash3::Win32SerialBackend backend;
        const int32_t status = backend.open(std::atoi(argv[2]));
        return static_cast<int>(status);  // the destructor closes a port it got
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

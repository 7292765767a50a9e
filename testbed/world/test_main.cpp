// The main of every GoogleTest program of the test world.
// After the tests it ends the process at once: under Wine, a process that still
// holds Direct3D 12 (vkd3d) threads can hang in its orderly exit, and a hung
// exit would turn a passed run into a timeout.
#include <windows.h>

#include <cstdio>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::fflush(stdout);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(result));
    return result;
}

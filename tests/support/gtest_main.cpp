// Test entry point for the layers that build without Qt.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

int main(int argc, char** argv) {
    // A peer that hangs up must fail a test, not kill the whole test program.
    std::signal(SIGPIPE, SIG_IGN);
    setenv("BRIMWELL_BUILD_DIR", BRIMWELL_BUILD_DIR_DEFAULT, 0);
    setenv("BRIMWELL_SOURCE_DIR", BRIMWELL_SOURCE_DIR_DEFAULT, 0);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

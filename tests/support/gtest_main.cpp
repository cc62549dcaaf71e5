// Test entry point for the layers that build without Qt.
#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv) {
    // A peer that hangs up must fail a test, not kill the whole test program.
    std::signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

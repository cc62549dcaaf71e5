// Test entry point for Qt-based tests: a real application object, widgets offscreen unless a
// display platform is asked for explicitly.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#ifdef BRIMWELL_TEST_WIDGETS
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    setenv("BRIMWELL_BUILD_DIR", BRIMWELL_BUILD_DIR_DEFAULT, 0);
    setenv("BRIMWELL_SOURCE_DIR", BRIMWELL_SOURCE_DIR_DEFAULT, 0);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    TestApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

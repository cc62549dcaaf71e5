// The window tests' machine has no serial devices of its own: the program runs under
// umockdev-wrapper and an empty device tree stands in for /sys (and for /dev, whose paths the
// emulation passes through while the tree lacks them), so that no start-up search or COM Port menu of
// a test ever lists, probes or opens a real USB adapter or the console. Their ports are
// pseudo-terminals named through BRIMWELL_COMn. The tree is a bare directory rather than a testbed
// object: a testbed's threads would leave a test that forks (runAsNobody) a lock it could never take.
#include "support/temp_dir.h"
#include "support/testbed.h"

#include <filesystem>
#include <optional>

namespace {

struct EmptyMachine : ::testing::Environment {
    void SetUp() override {
        ASSERT_TRUE(brimwell::testing::underUmockdev()) << "run under umockdev-wrapper";
        tree.emplace();
        std::filesystem::create_directories(tree->file("sys/devices"));
        std::filesystem::create_directories(tree->file("sys/class/tty"));
        ::setenv("UMOCKDEV_DIR", tree->path().c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("UMOCKDEV_DIR");
        tree.reset();
    }
    std::optional<brimwell::testing::TempDir> tree;
};

[[maybe_unused]] const auto* const emptyMachine = ::testing::AddGlobalTestEnvironment(new EmptyMachine);

} // namespace

// The window tests' machine has no serial devices of its own: the program runs under
// umockdev-wrapper and an empty emulated device tree stands in for /sys and /dev, so that no start-up
// search or COM Port menu of a test ever lists, probes or opens a real USB adapter or the console.
// Their ports are pseudo-terminals named through BRIMWELL_COMn, which the emulation passes through.
#include "support/testbed.h"

#include <optional>

namespace {

struct EmptyMachine : ::testing::Environment {
    void SetUp() override {
        ASSERT_TRUE(brimwell::testing::underUmockdev()) << "run under umockdev-wrapper";
        bed.emplace();
    }
    void TearDown() override { bed.reset(); }
    std::optional<brimwell::testing::Testbed> bed;
};

[[maybe_unused]] const auto* const emptyMachine = ::testing::AddGlobalTestEnvironment(new EmptyMachine);

} // namespace

// The window tests' machine has no serial devices of its own: the program runs under
// umockdev-wrapper and an empty emulated device tree stands in for /sys and /dev, so that no start-up
// search or COM Port menu of a test ever lists, probes or opens a real USB adapter or the console.
// Their ports are pseudo-terminals named through BRIMWELL_COMn, which the emulation passes through.
#include "support/testbed.h"

#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

class EmptyMachine : public ::testing::Environment {
  public:
    void SetUp() override {
        const char* preload = std::getenv("LD_PRELOAD");
        ASSERT_TRUE(preload && std::strstr(preload, "umockdev")) << "run under umockdev-wrapper";
        bed_.emplace();
    }
    void TearDown() override { bed_.reset(); }

  private:
    std::optional<brimwell::testing::Testbed> bed_;
};

[[maybe_unused]] const auto* const emptyMachine = ::testing::AddGlobalTestEnvironment(new EmptyMachine);

} // namespace

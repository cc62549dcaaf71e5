// Included by the fuzz targets that run the script test support: its checks of the engine's boxes are
// gtest assertions, and a failed one breaks into the trap, which the fuzzer reports like any crash.
#pragma once

#include <gtest/gtest.h>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    GTEST_FLAG_SET(break_on_failure, true);
    return 0;
}

// Test main: runs a helper role when asked (--w32rt-helper=name), the tests
// otherwise.
#include <gtest/gtest.h>

namespace testing_support {
int run_helper_if_requested(int argc, char** argv, bool* ran);
}

int main(int argc, char** argv) {
    bool ran = false;
    int rc = testing_support::run_helper_if_requested(argc, argv, &ran);
    if (ran) return rc;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

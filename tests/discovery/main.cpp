#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    // Searches from these tests must never leave this machine.
    setenv("KESTREL_DISCOVERY_SCOPE", "loopback", 1);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

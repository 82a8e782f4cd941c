// The search library DLL, loaded through the panel's binding (LoadLibrary), run under Wine by
// scripts/test-windows.sh against the Linux simulator's discovery responder on loopback:
// KESTREL_DISCOVERY_PORT names the responder's port, KESTREL_TEST_MODULE_NAME and
// KESTREL_TEST_MODULE_PORT the module it describes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "search_library_binding.h"

namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// The port as the library hands it over: its bytes in network order.
int NetworkOrder(int port) {
    return ((port & 0xFF) << 8) | ((port >> 8) & 0xFF);
}

TEST(Win32SearchLibrary, ExportsTheNineFunctionsAndFindsTheSimulatorOnLoopback) {
    const std::string name = Environment("KESTREL_TEST_MODULE_NAME");
    if (name.empty() || Environment("KESTREL_DISCOVERY_SCOPE") != "loopback") {
        GTEST_SKIP() << "needs the simulator's responder and KESTREL_DISCOVERY_SCOPE=loopback";
    }
    const SearchLibrary library = LoadSearchLibraryByName("DAVazIvurirU2");
    ASSERT_TRUE(library.Complete());
    const int found = library.QBDM_StartSearchDev();
    ASSERT_EQ(found, 1);
    EXPECT_EQ(std::string(library.QBDM_GetDevName(0)), name);
    EXPECT_EQ(std::string(library.QBDM_GetIP(0)), "127.0.0.1");
    EXPECT_EQ(library.QBDM_GetPort(0),
              NetworkOrder(std::atoi(Environment("KESTREL_TEST_MODULE_PORT").c_str())));
    EXPECT_EQ(library.QBDM_GetAppProtocol(0), 1);  // Modbus TCP framing
    EXPECT_EQ(library.QBDM_GetWorkMode(0), 0);
    EXPECT_EQ(std::string(library.QBDM_GetDevName(found)), "");
    EXPECT_EQ(library.QBDM_GetPort(-1), 0);
}

TEST(Win32SearchLibrary, AMissingLibraryLeavesEveryFunctionUnbound) {
    const SearchLibrary library = LoadSearchLibraryByName("NoSuchSearchLibrary");
    EXPECT_EQ(library.handle, nullptr);
    EXPECT_FALSE(library.Complete());
}

}  // namespace

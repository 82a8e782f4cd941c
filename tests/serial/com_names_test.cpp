#include <gtest/gtest.h>

#include <cstdlib>

#include "pty_fixture.h"
#include "serial_port.h"

namespace {

struct MappingCase {
    int port;
    const char* path;
};

TEST(ComDevicePath, MapsNumbersToDeviceFamilies) {
    ::unsetenv("KESTREL_COM_DIR");
    const MappingCase cases[] = {
        {1, "/dev/ttyS0"},
        {32, "/dev/ttyS31"},
        {33, "/dev/ttyUSB0"},
        {64, "/dev/ttyUSB31"},
        {65, "/dev/ttyACM0"},
        {96, "/dev/ttyACM31"},
        {97, ""},
        {0, ""},
        {-3, ""},
    };
    for (const auto& row : cases) EXPECT_EQ(ComDevicePath(row.port), row.path) << "COM" << row.port;
}

using ComDirOverride = PtyFixture;

TEST_F(ComDirOverride, EntryWinsOverTheMappingOnlyWhereItExists) {
    LinkCom(200, "/dev/null/nowhere");
    EXPECT_EQ(ComDevicePath(kPort), ComDir() + "/COM7");
    EXPECT_EQ(ComDevicePath(8), "/dev/ttyS7");
    EXPECT_EQ(ComDevicePath(200), ComDir() + "/COM200");  // a broken link is not skipped
    EXPECT_EQ(ComDevicePath(0), "");
}

}  // namespace

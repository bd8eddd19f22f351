#include "links/PortName.h"

#include <gtest/gtest.h>

TEST(PortName, NameWithoutSlashIsTheDeviceAndAPathStaysAsItIs) {
    struct {
        const char* szName;
        const char* szPath;
    } const cases[] = {
        {"ttyUSB0", "/dev/ttyUSB0"},
        {"COM3", "/dev/COM3"},
        {"bench port", "/dev/bench port"},
        {"/dev/ttyS0", "/dev/ttyS0"},
        {"./ttyUSB0", "./ttyUSB0"},
        {"pts/3", "pts/3"},
        {"../x/ttyS1", "../x/ttyS1"},
        {"", ""},
        {"-x", "/dev/-x"},
        {"-x/ttyS1", "./-x/ttyS1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PortDevicePath(c.szName), c.szPath) << c.szName;
}

TEST(PortName, SamePortInEitherFormAndAnyLetterCase) {
    struct {
        const char* a;
        const char* b;
        bool bSame;
    } const cases[] = {
        {"ttyUSB0", "/dev/ttyUSB0", true},
        {"/dev/ttyusb0", "TTYUSB0", true},
        {"/dev/ttyS1", "/dev/ttyS1", true},
        {"ttyUSB0", "ttyUSB1", false},
        {"ttyUSB0", "./ttyUSB0", false}, // a path in the working directory is not the device
        {"ttyS1", "/dev/ttyS10", false},
        {"-x/ttyS1", "./-x/ttyS1", true},
        {"/dev/porta\xe9", "/dev/PORTA\xc9", false}, // only ASCII letters fold
        {"", "", false},
        {"", "/dev/", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsSamePort(c.a, c.b), c.bSame) << c.a << " / " << c.b;
        EXPECT_EQ(IsSamePort(c.b, c.a), c.bSame) << c.b << " / " << c.a;
    }
}

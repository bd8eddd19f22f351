#include "links/PortEnumeration.h"
#include "links/Uart.h"
#include "tests/support/Pty.h"
#include "tests/support/TempWorkDir.h"

#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> SortedByName(std::vector<std::string> names) {
    std::sort(names.begin(), names.end(), PortNameLess);
    return names;
}

} // namespace

TEST(PortNameOrder, DigitRunsCompareByValue) {
    const std::vector<std::string> expected = {"COM1",   "COM2",    "COM9",    "COM10",   "COM12",
                                               "COM255", "ttyACM0", "ttyACM1", "ttyS0",   "ttyS2",
                                               "ttyS10", "ttyS31",  "ttyUSB0", "ttyUSB9", "ttyUSB10"};
    std::vector<std::string> shuffled = expected;
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        std::shuffle(shuffled.begin(), shuffled.end(), rng);
        EXPECT_EQ(SortedByName(shuffled), expected);
    }
    EXPECT_TRUE(PortNameLess("/dev/ttyS2", "/dev/ttyS10"));
    EXPECT_FALSE(PortNameLess("/dev/ttyS10", "/dev/ttyS2"));
    // More digits than any integer type holds: no overflow, still by value.
    EXPECT_TRUE(PortNameLess("ttyS99999999999999999999999", "ttyS100000000000000000000000"));
    EXPECT_FALSE(PortNameLess("ttyS100000000000000000000000", "ttyS99999999999999999999999"));
}

// std::sort needs a strict weak order; a comparator that breaks it is undefined behaviour, not just a
// wrong order. Names that tie by value (leading zeros) and digits beside other bytes are the risky ones.
TEST(PortNameOrder, IsAStrictTotalOrder) {
    const std::vector<std::string> names = {"",       "0",    "00",    "1",      "a",      "a0",   "a00",
                                            "a1",     "a01",  "a001",  "a1b",    "a01b",   "a10",  "a/",
                                            "a:",     "ab",   "ttyS2", "ttyS02", "ttyS10", "ttyS", "ttyS2a",
                                            "ttyS2/", "\xe9", "a\xe9", "9z"};
    for (const auto& a : names) {
        EXPECT_FALSE(PortNameLess(a, a)) << a;
        for (const auto& b : names) {
            if (a == b)
                continue;
            // Total: exactly one direction holds between different names.
            EXPECT_NE(PortNameLess(a, b), PortNameLess(b, a)) << a << " / " << b;
            for (const auto& c : names) {
                if (PortNameLess(a, b) && PortNameLess(b, c)) {
                    EXPECT_TRUE(PortNameLess(a, c)) << a << " < " << b << " < " << c;
                }
            }
        }
    }
}

// A fake sysfs tty class and /dev in a temporary folder, laid out as the kernel does: the class entry is a
// link to the tty's folder under devices/, whose "device" link leads to the parent device and that one's
// "driver" link to the driver under bus/.
class FakeSysfs : public ::testing::Test {
protected:
    // One tty as the kernel shows it; the setters chain: STty("ttyS0", 4, 64).Driver("port").Type(4).
    struct STty {
        STty(std::string name, unsigned nDevMajor, unsigned nDevMinor)
            : strName(std::move(name)), nMajor(nDevMajor), nMinor(nDevMinor) {}
        STty& Driver(std::string driver) {
            strDriver = std::move(driver);
            return *this;
        }
        STty& Type(int type) {
            nType = type;
            return *this;
        }
        STty& Virtual() {
            bDevice = false;
            return *this;
        }
        STty& NoNode() {
            bNode = false;
            return *this;
        }
        STty& NodeLink(std::string target) {
            strNodeLink = std::move(target);
            return *this;
        }
        STty& NodeNumber(unsigned nodeMajor, unsigned nodeMinor) {
            nodeNumber = {nodeMajor, nodeMinor};
            return *this;
        }

        std::string strName;
        unsigned nMajor;
        unsigned nMinor;
        std::string strDriver;    // empty: the parent device has no driver bound
        std::optional<int> nType; // the serial_core "type" attribute, when shown
        bool bDevice = true;      // false: a virtual tty (console, pseudo-terminal)
        bool bNode = true;        // the character device in dev/
        std::optional<std::pair<unsigned, unsigned>> nodeNumber; // a node of other numbers than sysfs says
        std::string strNodeLink; // the node is a link to this device instead of a node of its own
    };

    void SetUp() override {
        ASSERT_TRUE(m_tmp.isValid());
        m_root = m_tmp.path().toStdString();
        fs::create_directories(ClassDir());
        fs::create_directories(DevDir());
    }

    std::string ClassDir() const { return m_root + "/sys/class/tty"; }
    std::string DevDir() const { return m_root + "/dev"; }

    static void WriteText(const fs::path& path, const std::string& text) {
        std::ofstream out(path, std::ios::binary);
        out << text;
    }

    void Add(const STty& tty) {
        fs::path ttyDir;
        if (tty.bDevice) {
            fs::path device = fs::path(m_root) / "sys/devices/platform" / (tty.strName + "-parent");
            ttyDir = device / "tty" / tty.strName;
            fs::create_directories(ttyDir);
            fs::create_directory_symlink("../..", ttyDir / "device");
            if (!tty.strDriver.empty()) {
                fs::path driver = fs::path(m_root) / "sys/bus/fake/drivers" / tty.strDriver;
                fs::create_directories(driver);
                fs::create_directory_symlink(driver, device / "driver");
            }
        } else {
            ttyDir = fs::path(m_root) / "sys/devices/virtual/tty" / tty.strName;
            fs::create_directories(ttyDir);
        }
        WriteText(ttyDir / "dev", std::to_string(tty.nMajor) + ":" + std::to_string(tty.nMinor) + "\n");
        if (tty.nType)
            WriteText(ttyDir / "type", std::to_string(*tty.nType) + "\n");
        fs::create_directory_symlink(ttyDir, fs::path(ClassDir()) / tty.strName);
        if (!tty.strNodeLink.empty()) {
            fs::create_symlink(tty.strNodeLink, Node(tty.strName));
        } else if (tty.bNode) {
            auto number = tty.nodeNumber.value_or(std::make_pair(tty.nMajor, tty.nMinor));
            std::string node = DevDir() + "/" + tty.strName;
            ASSERT_EQ(mknod(node.c_str(), S_IFCHR | 0600, makedev(number.first, number.second)), 0) << node;
        }
    }

    std::string Node(const std::string& name) const { return DevDir() + "/" + name; }

    std::vector<std::string> Enumerate() const {
        std::vector<std::string> names;
        EnumerateComPorts(names, ClassDir(), DevDir());
        return names;
    }

    QTemporaryDir m_tmp;
    std::string m_root;
};

TEST_F(FakeSysfs, ListsPortsWithADriverAndLeavesTheRestOut) {
    Add(STty("ttyS0", 4, 64).Driver("port").Type(4));
    // Legacy 8250 slots without a chip: bound to the driver, but of unknown type.
    Add(STty("ttyS1", 4, 65).Driver("port").Type(0));
    Add(STty("ttyS3", 4, 67).Driver("serial8250").Type(0));
    Add(STty("ttyUSB0", 188, 0).Driver("ftdi_sio"));
    Add(STty("ttyACM0", 166, 0).Driver("cdc_acm"));
    Add(STty("ttyAMA0", 204, 64).Driver("uart-pl011").Type(83));
    // A virtual console and the pseudo-terminal multiplexer: no device behind them.
    Add(STty("tty0", 4, 0).Virtual());
    Add(STty("ptmx", 5, 2).Virtual());
    // An adapter whose driver was unbound.
    Add(STty("ttyUSB1", 188, 1));

    EXPECT_EQ(Enumerate(),
              (std::vector<std::string>{Node("ttyACM0"), Node("ttyAMA0"), Node("ttyS0"), Node("ttyUSB0")}));
}

TEST_F(FakeSysfs, NeedsTheDeviceNodeOfTheSameNumber) {
    Add(STty("ttyUSB0", 188, 0).Driver("ftdi_sio"));
    // No node in dev/: nothing to open.
    Add(STty("ttyUSB1", 188, 1).Driver("ftdi_sio").NoNode());
    // A stale node left from another device under the same name.
    Add(STty("ttyACM0", 166, 0).Driver("cdc_acm").NodeNumber(166, 5));
    // A plain file where the node should be.
    Add(STty("ttyACM1", 166, 1).Driver("cdc_acm").NoNode());
    WriteText(Node("ttyACM1"), "not a device");

    EXPECT_EQ(Enumerate(), std::vector<std::string>{Node("ttyUSB0")});
}

TEST_F(FakeSysfs, OrdersNaturally) {
    for (unsigned n : {10u, 2u, 1u, 11u}) {
        Add(STty("ttyS" + std::to_string(n), 4, 64 + n).Driver("port").Type(4));
        Add(STty("ttyUSB" + std::to_string(n), 188, n).Driver("pl2303"));
    }
    EXPECT_EQ(Enumerate(), (std::vector<std::string>{Node("ttyS1"), Node("ttyS2"), Node("ttyS10"),
                                                     Node("ttyS11"), Node("ttyUSB1"), Node("ttyUSB2"),
                                                     Node("ttyUSB10"), Node("ttyUSB11")}));
}

TEST_F(FakeSysfs, AppendsToTheCallersListAndKeepsItOnErrors) {
    Add(STty("ttyUSB0", 188, 0).Driver("ftdi_sio"));
    std::vector<std::string> names = {"kept"};
    EnumerateComPorts(names, ClassDir(), DevDir());
    EXPECT_EQ(names, (std::vector<std::string>{"kept", Node("ttyUSB0")}));

    // No tty class at all (sysfs not mounted), or a file where the folder should be.
    EnumerateComPorts(names, m_root + "/missing", DevDir());
    WriteText(m_root + "/plain", "x");
    EnumerateComPorts(names, m_root + "/plain", DevDir());
    EXPECT_EQ(names, (std::vector<std::string>{"kept", Node("ttyUSB0")}));
}

TEST_F(FakeSysfs, BrokenEntriesDoNotStopTheRest) {
    Add(STty("ttyUSB0", 188, 0).Driver("ftdi_sio"));
    Add(STty("ttyUSB1", 188, 1).Driver("ftdi_sio"));
    // A class entry whose target vanished, and a device link that leads nowhere.
    fs::create_directory_symlink(m_root + "/sys/devices/gone", fs::path(ClassDir()) / "ttyUSB2");
    fs::path dangling = fs::path(m_root) / "sys/devices/dangling/tty/ttyACM0";
    fs::create_directories(dangling);
    fs::create_directory_symlink(m_root + "/nowhere", dangling / "device");
    fs::create_directory_symlink(dangling, fs::path(ClassDir()) / "ttyACM0");
    // A type attribute that cannot be read as one; the slot is then asked itself, and its node is the null
    // device, which is no UART.
    Add(STty("ttyS4", 1, 3).Driver("port"));
    fs::create_directory(m_root + "/sys/devices/platform/ttyS4-parent/tty/ttyS4/type");

    EXPECT_EQ(Enumerate(), (std::vector<std::string>{Node("ttyUSB0"), Node("ttyUSB1")}));
}

// Without a type in sysfs a ttyS slot is asked for its type; a device that is no UART at all (the null
// device here) does not answer, so the slot is left out. Other names need no such answer.
TEST_F(FakeSysfs, AsksTheDeviceWhenSysfsShowsNoType) {
    Add(STty("ttyS5", 1, 3).Driver("serial8250"));
    Add(STty("ttyUSB0", 1, 3).Driver("ftdi_sio"));
    EXPECT_EQ(Enumerate(), std::vector<std::string>{Node("ttyUSB0")});
}

// What the enumeration yields is what CUart opens: a fake adapter whose node leads to a pseudo-terminal
// carries bytes from the far end. (A pseudo-terminal opens only through its own devpts node, hence a link.)
TEST_F(FakeSysfs, YieldedNameOpensAsASerialPort) {
    CPtyPair pty;
    struct stat st {};
    ASSERT_EQ(stat(pty.SlavePath().c_str(), &st), 0);
    Add(STty("ttyUSB0", major(st.st_rdev), minor(st.st_rdev)).Driver("ftdi_sio").NodeLink(pty.SlavePath()));
    auto names = Enumerate();
    ASSERT_EQ(names, std::vector<std::string>{Node("ttyUSB0")});

    CUart uart(300);
    ASSERT_EQ(uart.Open(names[0], 57600), 1);
    pty.Send("Q");
    EXPECT_EQ(uart.ReadByte(), 'Q');
    EXPECT_EQ(uart.Write("ok", 2), 1);
    EXPECT_EQ(pty.Receive(2, 2s), "ok");
}

// A port is present when a serial driver or the pseudo-terminal driver serves its device numbers, whatever
// links lead to it; the multiplexer, consoles, masters and anything that is not a character device are not
// ports.
TEST_F(FakeSysfs, PresentPortIsFoundByTheDriverTable) {
    const std::string drivers = m_root + "/drivers";
    WriteText(drivers, "/dev/tty             /dev/tty        5       0 system:/dev/tty\n"
                       "/dev/ptmx            /dev/ptmx       5       2 system\n"
                       "usbserial            /dev/ttyUSB   188 0-511 serial\n"
                       "serial               /dev/ttyS       4      64 serial\n"
                       "pty_slave            /dev/pts      136 0-1048575 pty:slave\n"
                       "pty_master           /dev/ptm      128 0-1048575 pty:master\n"
                       "unknown              /dev/tty        4 1-63 console\n"
                       "short line 7\n"
                       "odd                  /dev/odd      200 5x serial\n");
    struct {
        const char* pszName;
        unsigned nMajor;
        unsigned nMinor;
        int nPresent;
    } const nodes[] = {
        {"ttyUSB0", 188, 0, 1}, {"ttyUSB511", 188, 511, 1}, {"ttyUSB512", 188, 512, 0}, {"ttyS0", 4, 64, 1},
        {"ttyS1", 4, 65, 0},    {"tty1", 4, 1, 0},          {"tty", 5, 0, 0},           {"ptmx", 5, 2, 0},
        {"pts3", 136, 3, 1},    {"ptm3", 128, 3, 0},        {"odd", 200, 5, 0},         {"null", 1, 3, 0},
    };
    for (const auto& n : nodes) {
        ASSERT_EQ(mknod(Node(n.pszName).c_str(), S_IFCHR | 0600, makedev(n.nMajor, n.nMinor)), 0);
        EXPECT_EQ(ComPortExists(Node(n.pszName), drivers), n.nPresent) << n.pszName;
    }
    fs::create_symlink("dev/ttyUSB0", m_root + "/by-id");
    fs::create_symlink(m_root + "/by-id", m_root + "/link-to-link");
    fs::create_symlink(m_root + "/gone", m_root + "/dangling");
    WriteText(m_root + "/plain", "x");
    for (auto [name, nPresent] : std::vector<std::pair<std::string, int>>{{m_root + "/by-id", 1},
                                                                          {m_root + "/link-to-link", 1},
                                                                          {m_root + "/dangling", 0},
                                                                          {m_root + "/plain", 0},
                                                                          {DevDir(), 0},
                                                                          {"", 0}})
        EXPECT_EQ(ComPortExists(name, drivers), nPresent) << name;
    // No table to read: nothing can be confirmed.
    EXPECT_EQ(ComPortExists(Node("ttyUSB0"), m_root + "/no-such-table"), 0);

    // The machine's own table: a pseudo-terminal, also through a relative link, is a port; the multiplexer is
    // not.
    CPtyPair pty;
    CTempWorkDir cwd;
    fs::create_symlink(pty.SlavePath(), "pty-link");
    EXPECT_EQ(ComPortExists(pty.SlavePath()), 1);
    EXPECT_EQ(ComPortExists("./pty-link"), 1);
    EXPECT_EQ(ComPortExists("pty-link"), 0) << "/dev/pty-link does not exist";
    EXPECT_EQ(ComPortExists("ptmx"), 0);
    EXPECT_EQ(ComPortExists("null"), 0);
}

// The remembered port is found by its name, or by the file a link to it leads to.
TEST_F(FakeSysfs, FindPortByNameOrByTheFileALinkNames) {
    for (const char* name : {"ttyUSB0", "ttyUSB1"})
        WriteText(Node(name), "");
    fs::create_directories(m_root + "/by-id");
    fs::create_symlink("../dev/ttyUSB0", m_root + "/by-id/usb-A");
    fs::create_symlink(m_root + "/by-id/usb-A", m_root + "/by-id/chain");
    fs::create_symlink(Node("ttyUSB1"), m_root + "/listed-link");
    fs::create_symlink(m_root + "/gone", m_root + "/by-id/dangling");
    const std::vector<std::string> names = {"/dev/ttyS1", "/dev/ttyUSB10", Node("ttyUSB0"),
                                            m_root + "/listed-link", Node("ttyUSB1")};
    CTempWorkDir cwd;
    fs::create_symlink(m_root + "/by-id/chain", "chain");
    struct {
        std::string strName;
        int nIndex;
    } const cases[] = {
        {"ttyusb10", 1},                  // a name, either form and letter case
        {"/dev/ttyS10", -1},              // a name only begins like a listed one
        {m_root + "/by-id/usb-A", 2},     // a link to a listed file
        {"./chain", 2},                   // relative to the working directory, through three links
        {m_root + "/listed-link", 3},     // a listed link by its own name
        {Node("ttyUSB1"), 4},             // the same file as the listed link, by its own name
        {m_root + "/by-id/dangling", -1}, // leads nowhere
        {"", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FindPort(names, c.strName), c.nIndex) << c.strName;
}

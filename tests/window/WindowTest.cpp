// The main window on the offscreen platform before a run: the ports it lists and preselects, its frame, the
// start command, and the set-up errors that refuse a start.

#include "tests/window/WindowFixture.h"

using namespace std::chrono_literals;

static std::vector<std::string> ListedPorts(const CQAN640BootLoaderCommands& window) {
    std::vector<std::string> items;
    for (int i = 0; i < window.m_cmbPort->count(); ++i)
        items.push_back(window.m_cmbPort->itemText(i).toStdString());
    return items;
}

// The list shows the ports alphabetically; without a remembered port that is present, the first in the
// enumeration's own order (the lowest-numbered) is preselected, which is another one when the two orders
// differ (ttyUSB2 before ttyUSB10).
TEST_F(WindowTest, PreselectsTheRememberedPort) {
    struct SCase {
        const char* pszFile; // nullptr: no settings file
        std::vector<std::string> ports;
        const char* pszSelected;
    };
    const std::vector<std::string> ports = {"/dev/ttyS1", "/dev/ttyS10", "/dev/ttyUSB0"};
    const std::vector<std::string> usb = {"/dev/ttyUSB2", "/dev/ttyUSB10"};
    std::vector<SCase> cases = {
        {"/dev/ttyUSB0", ports, "/dev/ttyUSB0"},
        {"/DEV/TTYusb0", ports, "/dev/ttyUSB0"},
        {"ttyUSB0", ports, "/dev/ttyUSB0"},
        {"/dev/ttyS1", ports, "/dev/ttyS1"},
        {nullptr, ports, "/dev/ttyS1"},
        {"/dev/ttyACM7", ports, "/dev/ttyS1"},
        {"/dev/ttyS1", {}, ""},
        {nullptr, usb, "/dev/ttyUSB2"},
        {"/dev/ttyUSB1", usb, "/dev/ttyUSB2"},
        {"ttyUSB10", usb, "/dev/ttyUSB10"},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszFile ? c.pszFile : "no file");
        unlink("QAN640BootLoader.conf");
        if (c.pszFile)
            WriteFile("./QAN640BootLoader.conf", c.pszFile);
        auto window = MakeWindow(c.ports);
        window->show();
        EXPECT_EQ(window->m_cmbPort->currentText().toStdString(), c.pszSelected);
        std::vector<std::string> sorted = c.ports;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(ListedPorts(*window), sorted);
    }
}

// The remembered port is checked without opening it (opening raises the modem lines of a real adapter): a
// pseudo-terminal that is not listed is added and preselected, a link to a listed port (as under
// /dev/serial/by-id) selects that entry and adds none, a link that leads nowhere is not taken.
TEST_F(WindowTest, RememberedPortIsCheckedWithoutOpeningIt) {
    CPtyPair pty;
    const std::string strLink = m_strDir + "/usb-Bench_Adapter-if00-port0";
    ASSERT_EQ(symlink(pty.SlavePath().c_str(), strLink.c_str()), 0);
    ASSERT_EQ(symlink("/dev/qan640-gone", (m_strDir + "/gone").c_str()), 0);
    int fdWatch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(fdWatch, 0);
    ASSERT_GE(inotify_add_watch(fdWatch, pty.SlavePath().c_str(), IN_OPEN), 0);
    auto opened = [fdWatch] {
        char buffer[4096];
        return read(fdWatch, buffer, sizeof buffer) > 0;
    };
    struct SCase {
        std::string strFile;
        std::vector<std::string> ports;
        std::string strSelected;
        std::vector<std::string> listed;
    } const cases[] = {
        {pty.SlavePath(), {"/dev/ttyS1"}, pty.SlavePath(), {pty.SlavePath(), "/dev/ttyS1"}},
        {strLink, {"/dev/ttyS1", pty.SlavePath()}, pty.SlavePath(), {pty.SlavePath(), "/dev/ttyS1"}},
        {m_strDir + "/gone", {"/dev/ttyS1"}, "/dev/ttyS1", {"/dev/ttyS1"}},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.strFile);
        WriteFile("./QAN640BootLoader.conf", c.strFile);
        auto window = MakeWindow(c.ports);
        window->show();
        EXPECT_EQ(window->m_cmbPort->currentText().toStdString(), c.strSelected);
        EXPECT_EQ(ListedPorts(*window), c.listed);
        EXPECT_FALSE(opened()) << "the start-up check opened the port";
    }
    // The watch does see an open.
    int fd = open(strLink.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_TRUE(opened());
    close(fdWatch);
}

// The frame asks the window manager for a caption and a close box at a fixed size: no minimise or maximise
// box (a window manager that honours the request shows none).
TEST_F(WindowTest, FrameAsksForACloseBoxOnly) {
    auto window = MakeWindow({});
    window->show();
    Qt::WindowFlags flags = window->windowFlags();
    // Without the customize hint the platform adds the boxes it thinks a window of this type should have.
    EXPECT_TRUE(flags.testFlag(Qt::CustomizeWindowHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
}

TEST_F(WindowTest, StartCommandWithoutPortAndWithTheKeyword) {
    WriteFile("./QAN640BootLoader.conf", "/dev/ttyS1");
    auto window = MakeWindow({});
    CRobot robot(*window);
    window->show();
    window->m_log.AppendLogText("earlier run\n", true);

    // Empty field: one error box, nothing else.
    window->m_cmbPort->setEditText("");
    QTest::mouseClick(window->m_btnStart, Qt::LeftButton);
    // The keyword (exact case): only the MAC dialog, then the address in a plain box.
    window->m_cmbPort->setEditText(CQAN640BootLoaderCommands::kTestKeyword);
    QTest::mouseClick(window->m_btnStart, Qt::LeftButton);
    QTest::qWait(300);

    // Escape and Enter, wherever the focus is, never end the window (only its close box does).
    for (QWidget* target :
         {static_cast<QWidget*>(window.get()), static_cast<QWidget*>(window->m_cmbPort),
          static_cast<QWidget*>(window->m_btnStart), static_cast<QWidget*>(window->m_edtLog)}) {
        QTest::keyClick(target, Qt::Key_Escape);
        QTest::keyClick(target, Qt::Key_Return);
        EXPECT_TRUE(window->isVisible()) << target->metaObject()->className();
    }
    EXPECT_EQ(window->m_nRunsStarted, 0) << "Enter on the button is not a start";

    ASSERT_EQ(robot.m_boxes.size(), 2u);
    EXPECT_EQ(robot.m_boxes[0].strText, CQAN640BootLoaderCommands::kMsgSelectPort);
    EXPECT_EQ(robot.m_boxes[0].eIcon, QMessageBox::Critical);
    EXPECT_EQ(robot.m_boxes[1].strText, "02:3A:7C:1a:2B:3c");
    EXPECT_EQ(robot.m_boxes[1].eIcon, QMessageBox::NoIcon);
    EXPECT_EQ(window->m_log.m_strLog, "earlier run\r\n");
    EXPECT_EQ(ReadFile("QAN640BootLoader.conf"), "/dev/ttyS1");
    EXPECT_EQ(window->m_nRunsStarted, 0);
}

// A line database that cannot be used refuses every start with its reason, before the port is touched, and
// never shows the password.
TEST_F(WindowTest, LineDatabaseSetUpErrorRefusesTheStart) {
    CPtyPair board;
    WriteFile("./QAN640BootLoader.conf", board.SlavePath());
    WriteFile("./QAN640db.conf", "# the line's\npassword=hunter2 host\n");
    auto window = MakeWindow({});
    CRobot robot(*window);
    window->show();
    QTest::mouseClick(window->m_btnStart, Qt::LeftButton);
    QTest::qWait(300);
    ASSERT_EQ(robot.m_boxes.size(), 1u);
    EXPECT_EQ(robot.m_boxes[0].eIcon, QMessageBox::Critical);
    EXPECT_EQ(robot.m_boxes[0].strText.rfind("Banco de dados da linha (QAN640db.conf): cadeia de conexão", 0),
              0u)
        << robot.m_boxes[0].strText;
    EXPECT_EQ(robot.m_boxes[0].strText.find("hunter2"), std::string::npos);
    EXPECT_EQ(window->m_log.m_strLog.find("hunter2"), std::string::npos);
    EXPECT_EQ(window->m_nRunsStarted, 0);
    EXPECT_EQ(board.Drain(100ms), "") << "nothing reached the port";
}

// A whole run through the window inside the test's own namespaces; two quick presses make one run.

// The main window on the offscreen platform: preselection, the start command, a whole run with an operator
// who closes the real boxes and types into the real MAC dialog, and closing the window at every stage.

#include "app/MainDialog.h"

#include "core/DebugOutput.h"
#include "links/PortLock.h"
#include "links/Uart.h"
#include "mac/ArpCheck.h"
#include "mac/DialogMacAddress.h"
#include "provisioning/Provisioning.h"
#include "records/RunRecord.h"
#include "tests/arp/NetnsLab.h"
#include "tests/dialogue/SimProcess.h"
#include "tests/loader/LoaderTestSupport.h"
#include "tests/loader/WholeRunScope.h"
#include "tests/support/Pty.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/inotify.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// An ARP service with no board behind it: every query comes back empty.
class CSilentArp : public IArpQuery {
public:
    uint32_t SendArp(uint32_t, void*, uint32_t*, const CStopToken& stop) override {
        stop.SleepFor(200);
        return ARP_ERROR_BAD_NET_NAME;
    }
};

struct SSeenBox {
    std::string strText;
    QMessageBox::Icon eIcon;
};

// The operator at the window: closes each box (noting it) and types the MAC digits into the MAC dialog. With
// fnCloseWhen set, closes the main window instead once that condition holds.
class CRobot {
public:
    explicit CRobot(CQAN640BootLoaderCommands& window) : m_window(window) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Step(); });
        m_timer.start(20);
    }

    std::vector<SSeenBox> m_boxes;
    std::string m_strDigits = "1a2B3c";
    std::function<bool()> m_fnCloseWhen;
    bool m_bHoldBoxes = false;
    bool m_bHoldDialog = false;
    qint64 m_nCloseMs = -1;

private:
    void Step() {
        if (m_fnCloseWhen && m_nCloseMs < 0 && m_fnCloseWhen()) {
            QElapsedTimer timer;
            timer.start();
            m_window.close();
            m_nCloseMs = timer.elapsed();
            return;
        }
        if (m_nCloseMs >= 0)
            return;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (!w->isVisible())
                continue;
            if (auto* box = qobject_cast<QMessageBox*>(w)) {
                if (m_bHoldBoxes)
                    continue; // left open for the close
                m_boxes.push_back({box->text().toStdString(), box->icon()});
                box->button(QMessageBox::Ok)->click();
                return;
            }
            if (auto* dialog = qobject_cast<CDialogMacAddress*>(w)) {
                if (m_bHoldDialog)
                    continue; // left open for the close
                QTest::keyClicks(dialog->m_suffixEdit, QString::fromStdString(m_strDigits));
                QTest::mouseClick(dialog->findChild<QPushButton*>("buttonOk"), Qt::LeftButton);
                return;
            }
        }
    }

    CQAN640BootLoaderCommands& m_window;
    QTimer m_timer;
};

// Calls fn whenever `target` receives an event of type eType, at once (a change event comes with the change
// already made).
class CEventWatch : public QObject {
public:
    CEventWatch(QObject* pTarget, QEvent::Type eType, std::function<void()> fn)
        : m_eType(eType), m_fn(std::move(fn)) {
        pTarget->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* pEvent) override {
        if (pEvent->type() == m_eType)
            m_fn();
        return false;
    }

private:
    QEvent::Type m_eType;
    std::function<void()> m_fn;
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pScope = std::make_unique<CWholeRunScope>();
        m_strDir = m_pScope->Dir();
    }
    void TearDown() override {
        m_pBoard.reset();
        m_pScope.reset();
    }

    // pArp: the runs' ARP service (null: the platform's, only inside the test's own namespaces).
    std::unique_ptr<CQAN640BootLoaderCommands> MakeWindow(std::vector<std::string> ports,
                                                          IArpQuery* pArp = nullptr) {
        auto window = std::make_unique<CQAN640BootLoaderCommands>();
        window->SetPortLister([ports](std::vector<std::string>& names) { names = ports; });
        window->SetRunOptions(WholeRunOptions(pArp));
        return window;
    }

    void StartBoard(std::vector<std::string> extra) {
        m_pBoard = std::make_unique<CSimProcess>(WholeRunBoardArgs(extra), m_strDir);
        ASSERT_FALSE(m_pBoard->Port().empty());
        WriteFile("./QAN640BootLoader.conf", m_pBoard->Port());
    }

    // The operator of a run until the MAC check begins, when the window is closed: Ok on each plain box,
    // fnOnQuestion answers a Yes/No box, fnOnDialog fills the MAC dialog (Ok is pressed then), fnAtCheck
    // notes what the window shows once the check has begun.
    static void PlayUntilTheMacCheck(CQAN640BootLoaderCommands& w, QTimer& timer,
                                     std::function<void(QMessageBox&)> fnOnQuestion,
                                     std::function<void(CDialogMacAddress&)> fnOnDialog,
                                     std::function<void()> fnAtCheck = {}) {
        QObject::connect(&timer, &QTimer::timeout, [&w, fnOnQuestion, fnOnDialog, fnAtCheck] {
            if (w.m_edtLog->toPlainText().contains("Lendo MAC address:")) {
                if (fnAtCheck)
                    fnAtCheck();
                w.close();
                return;
            }
            for (QWidget* top : QApplication::topLevelWidgets()) {
                if (!top->isVisible())
                    continue;
                if (auto* box = qobject_cast<QMessageBox*>(top)) {
                    if (box->button(QMessageBox::Yes))
                        fnOnQuestion(*box);
                    else
                        box->button(QMessageBox::Ok)->click();
                    return;
                }
                if (auto* dialog = qobject_cast<CDialogMacAddress*>(top)) {
                    fnOnDialog(*dialog);
                    QTest::mouseClick(dialog->findChild<QPushButton*>("buttonOk"), Qt::LeftButton);
                    return;
                }
            }
        });
        timer.start(100);
    }

    // Runs the window until it closes or `limit` passes; false on the time limit.
    static bool ExecWindow(CQAN640BootLoaderCommands& window, std::function<void()> fnStart, int limitMs) {
        QTimer::singleShot(0, &window, fnStart);
        QTimer::singleShot(limitMs, &window, [&window] { window.done(QDialog::Rejected); });
        QElapsedTimer timer;
        timer.start();
        window.exec();
        return timer.elapsed() < limitMs;
    }

    std::unique_ptr<CWholeRunScope> m_pScope;
    std::string m_strDir;
    std::unique_ptr<CSimProcess> m_pBoard;
};

} // namespace

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
TEST_F(WindowTest, WholeRunEndsWithTheSuccessBox) {
    CNetnsLab lab;
    REQUIRE_LAB(lab);
    ASSERT_TRUE(lab.PlugBoard("00:ff:ff:ff:ff:ff"));
    StartBoard({"--hook", MacHookFor(lab.BoardNs())});
    CInNamespace inHost(lab.HostNs());
    ASSERT_TRUE(inHost.In());

    auto window = MakeWindow({});
    CRobot robot(*window);
    bool bInTime = ExecWindow(
        *window,
        [&] {
            QTest::mouseClick(window->m_btnStart, Qt::LeftButton);
            QTest::mouseClick(window->m_btnStart, Qt::LeftButton);
            QTimer* poll = new QTimer(window.get());
            QObject::connect(poll, &QTimer::timeout, [&] {
                if (!robot.m_boxes.empty() &&
                    robot.m_boxes.back().strText == RunEndRow(ERunEnd::Verified).pszBox &&
                    !window->IsRunning() && window->m_btnStart->isEnabled()) {
                    if (const char* dir = getenv("QAN640_SCREENSHOTS"))
                        QGuiApplication::primaryScreen()->grabWindow(0).save(
                            QString("%1/window-end.png").arg(dir));
                    window->done(QDialog::Accepted);
                }
            });
            poll->start(50);
            // QAN640_SCREENSHOTS=DIR (under a real X server): the screen at start, mid-run and at the end.
            if (const char* dir = getenv("QAN640_SCREENSHOTS")) {
                QTimer* shots = new QTimer(window.get());
                QObject::connect(shots, &QTimer::timeout, [dir, &window, n = 0]() mutable {
                    QPixmap screen = QGuiApplication::primaryScreen()->grabWindow(0);
                    screen.save(QString("%1/window-%2.png").arg(dir).arg(n++, 2, 10, QChar('0')));
                    Q_UNUSED(window);
                });
                shots->start(700);
            }
        },
        60000);
    EXPECT_TRUE(bInTime) << window->m_log.m_strLog;
    EXPECT_EQ(window->m_nRunsStarted, 1);
    std::vector<std::string> texts;
    for (const SSeenBox& box : robot.m_boxes)
        texts.push_back(box.strText);
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "Comandos enviados com sucesso\n Desligue o QAN640, remova o jumper e "
                         "religue-o",
                         "02:3A:7C:1a:2B:3c", RunEndRow(ERunEnd::Verified).pszBox}));
    EXPECT_TRUE(window->m_btnStart->isEnabled());
    EXPECT_NE(window->m_edtLog->toPlainText().indexOf("MAC address lido:02:3a:7c:1a:2b:3c"), -1);
    EXPECT_TRUE(window->m_lblStage->text().startsWith(
        QString::fromUtf8("Concluído: MAC 02:3A:7C:1a:2B:3c verificado")))
        << window->m_lblStage->text().toStdString();
    // The run's row and its log are kept in the working directory.
    std::string record = ReadFile("QAN640runs.csv");
    EXPECT_NE(record.find(",ok,"), std::string::npos) << record;
    EXPECT_TRUE(FileExists("logs"));
}

// Another run holds the port, or QAN640net.conf names a card this PC lacks (judged inside the test's own
// namespaces): the run ends at once with a type-16 box saying why, and the board hears nothing.
TEST_F(WindowTest, RunRefusedBeforeAnythingIsSent) {
    CNetnsLab lab;
    REQUIRE_LAB(lab);
    CInNamespace inHost(lab.HostNs());
    ASSERT_TRUE(inHost.In());
    const std::pair<const char*, std::string> cases[] = {
        {"qh9",
         RunEndRow(ERunEnd::NoBoardCard).pszBox + std::string("\nA placa de rede qh9 não existe neste PC.")},
        {"",
         "A porta serial escolhida já está em uso por outra execução deste programa.\nAguarde o fim dela ou "
         "escolha outra porta"},
    };
    for (const auto& [pszNetCard, strBox] : cases) {
        StartBoard({"--transcript", "transcript"});
        WriteFile("./QAN640net.conf", pszNetCard);
        CPortLock other;
        ASSERT_TRUE(*pszNetCard || other.Acquire(m_pBoard->Port()) == CPortLock::EResult::Locked);
        auto window = MakeWindow({});
        CRobot robot(*window);
        EXPECT_TRUE(ExecWindow(
            *window,
            [&] {
                QTest::mouseClick(window->m_btnStart, Qt::LeftButton);
                QTimer* poll = new QTimer(window.get());
                QObject::connect(poll, &QTimer::timeout, [&] {
                    if (!robot.m_boxes.empty() && !window->IsRunning() && window->m_btnStart->isEnabled())
                        window->done(QDialog::Accepted);
                });
                poll->start(50);
            },
            20000));
        ASSERT_EQ(robot.m_boxes.size(), 1u);
        EXPECT_EQ(robot.m_boxes[0].strText, strBox);
        EXPECT_EQ(robot.m_boxes[0].eIcon, QMessageBox::Critical);
        EXPECT_TRUE(window->m_lblStage->text().startsWith(QString::fromUtf8("Falhou na etapa 1:")));
        EXPECT_EQ(ReadFile("transcript").find("first-stage image received"), std::string::npos)
            << "nothing sent";
        m_pBoard.reset();
    }
}

// The button comes back only once the run's thread has ended, so a press the moment it is enabled starts the
// next run (a press while the old thread was still ending used to be dropped, leaving the button enabled).
TEST_F(WindowTest, ButtonComesBackWhenTheRunHasEndedAndAPressThenStartsTheNextRun) {
    CEnvOverride mode("QAN640_LDR_MODE", "fail"); // each run ends at stage 2 with its box
    StartBoard({});
    auto window = MakeWindow({});
    CRobot robot(*window);
    CQAN640BootLoaderCommands& w = *window;
    std::vector<bool> runningWhenEnabled;
    CEventWatch watch(w.m_btnStart, QEvent::EnabledChange, [&] {
        if (!w.m_btnStart->isEnabled())
            return;
        runningWhenEnabled.push_back(w.IsRunning());
        if (runningWhenEnabled.size() == 1) // the next press as soon as the event loop takes one
            QTimer::singleShot(0, &w, [&w] { QTest::mouseClick(w.m_btnStart, Qt::LeftButton); });
    });
    bool bInTime = ExecWindow(
        w,
        [&] {
            QTest::mouseClick(w.m_btnStart, Qt::LeftButton);
            QTimer* poll = new QTimer(&w);
            QObject::connect(poll, &QTimer::timeout, [&] {
                if (runningWhenEnabled.size() >= 2)
                    w.done(QDialog::Accepted);
            });
            poll->start(20);
        },
        30000);
    EXPECT_TRUE(bInTime) << w.m_log.m_strLog;
    EXPECT_EQ(w.m_nRunsStarted, 2);
    EXPECT_EQ(runningWhenEnabled, (std::vector<bool>{false, false}));
    EXPECT_EQ(robot.m_boxes.size(), 2u);
}

// Closing the window at every stage of a run: it ends within 2 s, the loader is gone, the port is free and no
// box or dialog is left.
TEST_F(WindowTest, ClosingAtEveryStage) {
    struct SCase {
        const char* pszName;
        std::vector<std::string> board;
        const char* pszLoaderMode;
        std::function<bool(CQAN640BootLoaderCommands&)> fnWhen;
    };
    // The log pane, not the worker's own text, which the worker is still appending to.
    auto logHas = [](const char* text) {
        return [text](CQAN640BootLoaderCommands& w) { return w.m_edtLog->toPlainText().contains(text); };
    };
    auto visible = [](const char* className) {
        return [className](CQAN640BootLoaderCommands&) {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (w->isVisible() && w->inherits(className))
                    return true;
            }
            return false;
        };
    };
    std::vector<SCase> cases = {
        {"loader", {}, "hang", [](CQAN640BootLoaderCommands& w) { return w.m_run.m_hLoaderProcess.IsSet(); }},
        {"exchange", {"--tftp-ms", "60000"}, "", logHas("Loading:")},
        {"box", {}, "", visible("QMessageBox")},
        {"mac dialog", {}, "", visible("CDialogMacAddress")},
        {"arp loop", {}, "", logHas("Lendo MAC address:")},
    };
    CSilentArp arp;
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        CEnvOverride mode("QAN640_LDR_MODE", *c.pszLoaderMode ? c.pszLoaderMode : "ok");
        StartBoard(c.board);
        auto window = MakeWindow({}, &arp);
        CRobot robot(*window);
        CQAN640BootLoaderCommands& w = *window;
        robot.m_fnCloseWhen = [&w, fn = c.fnWhen] { return fn(w); };
        robot.m_bHoldBoxes = std::string(c.pszName) == "box";
        robot.m_bHoldDialog = std::string(c.pszName) == "mac dialog";
        bool bInTime = ExecWindow(
            w, [&w] { QTest::mouseClick(w.m_btnStart, Qt::LeftButton); }, 60000);
        EXPECT_TRUE(bInTime) << "never reached the stage: " << w.m_log.m_strLog;
        EXPECT_GE(robot.m_nCloseMs, 0);
        EXPECT_LT(robot.m_nCloseMs, 2000);
        EXPECT_FALSE(w.IsRunning());
        EXPECT_FALSE(w.m_run.m_hLoaderProcess.IsSet());
        QTest::qWait(50); // the rejected boxes' loops unwind
        for (QWidget* top : QApplication::topLevelWidgets()) {
            EXPECT_FALSE(top->isVisible() && top != &w) << top->metaObject()->className();
        }
        CUart uart(100);
        EXPECT_EQ(uart.Open(m_pBoard->Port(), 57600), 1) << "port not released";
        window.reset();
        m_pBoard.reset();
        EXPECT_TRUE(NoChildrenLeft());
    }
}

// The verdict is in the record as the closing box appears, however long the operator leaves it open; a record
// that cannot be written turns the progress line red and says so in the log.
TEST_F(WindowTest, VerdictRecordedBeforeTheClosingBox) {
    for (bool bRecordBlocked : {false, true}) {
        SCOPED_TRACE(bRecordBlocked ? "record blocked" : "record writable");
        unlink(kRunRecordFileName);
        rmdir(kRunRecordFileName);
        // A folder in the record's place cannot be written, also by root.
        if (bRecordBlocked) {
            ASSERT_EQ(mkdir(kRunRecordFileName, 0755), 0);
        }
        StartBoard({"--fault", "tftp-error"});
        auto window = MakeWindow({});
        CRobot robot(*window);
        robot.m_bHoldBoxes = true;
        std::string strRecordWhileOpen;
        QString labelWhileOpen, styleWhileOpen;
        robot.m_fnCloseWhen = [&] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (w->isVisible() && w->inherits("QMessageBox")) {
                    strRecordWhileOpen = bRecordBlocked ? "" : ReadFile(kRunRecordFileName);
                    labelWhileOpen = window->m_lblStage->text();
                    styleWhileOpen = window->m_lblStage->styleSheet();
                    return true;
                }
            }
            return false;
        };
        EXPECT_TRUE(ExecWindow(
            *window, [&] { QTest::mouseClick(window->m_btnStart, Qt::LeftButton); }, 30000));
        if (bRecordBlocked) {
            EXPECT_TRUE(
                labelWhileOpen.startsWith(QString::fromUtf8("REGISTRO NÃO SALVO: Registro da execução")))
                << labelWhileOpen.toStdString();
            EXPECT_TRUE(styleWhileOpen.contains("red"));
            EXPECT_NE(
                window->m_edtLog->toPlainText().indexOf(QString::fromUtf8("Registro da execução não salvo")),
                -1);
        } else {
            EXPECT_NE(strRecordWhileOpen.find(",failed,6,"), std::string::npos) << strRecordWhileOpen;
            EXPECT_FALSE(styleWhileOpen.contains("red"));
        }
        m_pBoard.reset();
    }
}

// The range's next free address waits in the MAC dialog's field; an address the record shows in a board
// brings the question, No by default: No goes back to the dialog, Yes goes on and the row says so.
TEST_F(WindowTest, RecordedAddressAskedAboutAndRangeOffered) {
    WriteFile(std::string("./") + kRunRecordFileName,
              "\xEF\xBB\xBFh\r\n2026-01-02T10:00:00-03:00,e,/dev/ttyOld,02:3A:7C:00:10:00,,ok,17,x,1,\r\n");
    WriteFile("./QAN640macrange.conf", "# lote\n02:3A:7C:00:10:00\n02:3A:7C:00:10:09\n");
    StartBoard({});
    CSilentArp arp;
    auto window = MakeWindow({}, &arp);
    CQAN640BootLoaderCommands& w = *window;
    std::vector<QString> offered;
    std::vector<std::string> questions;
    std::vector<bool> defaultNo;
    const char* pszShots = getenv("QAN640_SCREENSHOTS");
    auto shoot = [pszShots](const char* pszName) {
        if (pszShots)
            QGuiApplication::primaryScreen()->grabWindow(0).save(QString("%1/%2.png").arg(pszShots, pszName));
    };
    QTimer operatorTimer;
    PlayUntilTheMacCheck(
        w, operatorTimer,
        [&](QMessageBox& box) {
            questions.push_back(box.text().toStdString());
            defaultNo.push_back(box.defaultButton() == box.button(QMessageBox::No));
            shoot("mac-question");
            box.button(questions.size() == 1 ? QMessageBox::No : QMessageBox::Yes)->click();
        },
        [&](CDialogMacAddress& dialog) {
            offered.push_back(dialog.m_prefixCombo->currentText() + ":" + dialog.m_suffixEdit->text());
            shoot("mac-dialog-offered");
            dialog.m_suffixEdit->setText("00-10-00"); // the operator overtypes with a recorded one
        });
    EXPECT_TRUE(ExecWindow(
        w, [&w] { QTest::mouseClick(w.m_btnStart, Qt::LeftButton); }, 60000))
        << w.m_log.m_strLog;

    EXPECT_EQ(offered, (std::vector<QString>{"02:3A:7C:00:10:01", "02:3A:7C:00:10:01"}));
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(questions[0], "O endereço MAC 02:3A:7C:00:10:00 já foi gravado em uma placa (em "
                            "2026-01-02T10:00:00-03:00, na porta /dev/ttyOld).\nÉ a mesma placa sendo "
                            "provisionada novamente?");
    EXPECT_EQ(defaultNo, (std::vector<bool>{true, true}));
    std::string strRecord = ReadFile(kRunRecordFileName);
    EXPECT_NE(strRecord.find("02:3A:7C:00:10:00,,stopped,16, (MAC já gravado antes; o operador confirmou"),
              std::string::npos)
        << strRecord;
    EXPECT_TRUE(QDir(".QAN640macs.reserved").isEmpty()) << "the offered address is free again";
}

// The line's database down: the dialog offers nothing (no address from a local guess), the warning stays on
// the progress line, the typed address is checked against the record and the run goes on; its row waits.
TEST_F(WindowTest, LineDatabaseDownTheOperatorTypesTheAddress) {
    WriteFile("./QAN640macrange.conf", "02:3A:7C:00:10:00\n02:3A:7C:00:10:09\n");
    WriteFile("./QAN640db.conf", "host=" + m_strDir + "/no-server dbname=qan640\n");
    StartBoard({});
    CSilentArp arp;
    auto window = MakeWindow({}, &arp);
    CQAN640BootLoaderCommands& w = *window;
    std::vector<QString> offered;
    QString stageLine;
    QTimer operatorTimer;
    PlayUntilTheMacCheck(
        w, operatorTimer,
        [](QMessageBox& box) {
            ADD_FAILURE() << "asked: " << box.text().toStdString();
            box.button(QMessageBox::No)->click();
        },
        [&](CDialogMacAddress& dialog) {
            offered.push_back(dialog.m_suffixEdit->text());
            dialog.m_suffixEdit->setText("00-10-05");
        },
        [&] { stageLine = w.m_lblStage->text(); });
    EXPECT_TRUE(ExecWindow(
        w, [&w] { QTest::mouseClick(w.m_btnStart, Qt::LeftButton); }, 60000))
        << w.m_log.m_strLog;

    EXPECT_EQ(offered, (std::vector<QString>{""}));
    EXPECT_TRUE(stageLine.contains(QString::fromUtf8("Aviso: Banco de dados da linha indisponível")))
        << stageLine.toStdString();
    EXPECT_NE(ReadFile(kRunRecordFileName).find("02:3A:7C:00:10:05,,stopped,16,"), std::string::npos);
    EXPECT_EQ(QDir(".QAN640db.outbox").entryList(QDir::Files).size(), 1);
}

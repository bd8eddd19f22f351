// Complete runs back to back against the virtual board, first through the sequence alone, then through the
// window, to see whether anything piles up over a day at the bench: open descriptors, threads, memory. The
// window is the real one on the offscreen platform, kept open for all its runs as an operator keeps it; a
// robot answers its boxes and types each run's own MAC digits into the MAC dialog. The ARP service is a
// stand-in that answers at once, so nothing is sent on any network.
//
// The figures are taken after a few warm-up runs of each kind (first-use allocations, the window itself) and
// again at the end.
//
// Usage: bench_soak [SEQUENCE_RUNS [WINDOW_RUNS]]   (default 100 and 20)
// Last line: runs=N fd_growth=F thread_growth=T rss_growth_kib=K

#include "app/MainDialog.h"
#include "core/DebugOutput.h"
#include "core/HeapArenas.h"
#include "core/LogConsole.h"
#include "mac/ArpCheck.h"
#include "mac/DialogMacAddress.h"
#include "provisioning/Provisioning.h"
#include "tests/dialogue/SimProcess.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kWarmupRuns = 3;
constexpr int kRunLimitMs = 60000;
// Each run gives its board an address of its own, as the line does: the record would otherwise ask, from the
// second window run on, whether the address already stored in a board is to be used again. The operator
// stand-ins type it, and the ARP stand-in answers with it.
uint32_t g_nRunSuffix = 0x1a2b3c;

std::string RunSuffix() {
    char sz[8];
    snprintf(sz, sizeof sz, "%06X", g_nRunSuffix & 0xffffff);
    return sz;
}

class CInstantOperator : public IOperator {
public:
    void ShowMessageBox(const std::string&, int, const CStopToken&) override {}
    bool ExecMacDialog(std::string& strMac, const CStopToken&) override {
        std::string strSuffix = RunSuffix();
        strMac =
            "02:3A:7C:" + strSuffix.substr(0, 2) + ":" + strSuffix.substr(2, 2) + ":" + strSuffix.substr(4);
        return true;
    }
};

class CAnsweringArp : public IArpQuery {
public:
    uint32_t SendArp(uint32_t, void* pMac, uint32_t* pLen, const CStopToken&) override {
        const unsigned char mac[6] = {0x02,
                                      0x3a,
                                      0x7c,
                                      static_cast<unsigned char>(g_nRunSuffix >> 16),
                                      static_cast<unsigned char>(g_nRunSuffix >> 8),
                                      static_cast<unsigned char>(g_nRunSuffix)};
        std::copy(mac, mac + 6, static_cast<unsigned char*>(pMac));
        *pLen = 6;
        return ARP_NO_ERROR;
    }
};

// The operator at the window: answers each box (its Ok, else the answer it offers by default, else its
// first button, so that a question never stalls the soak) and types the run's digits into the MAC dialog.
class CRobot {
public:
    CRobot() {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Step(); });
        m_timer.start(20);
    }
    std::string m_strLastBox;
    std::vector<std::string> m_questions; // boxes without an Ok button, as they came

private:
    static QAbstractButton* Answer(QMessageBox& box) {
        if (QAbstractButton* ok = box.button(QMessageBox::Ok))
            return ok;
        if (QAbstractButton* byDefault = box.defaultButton())
            return byDefault;
        return box.buttons().isEmpty() ? nullptr : box.buttons().front();
    }
    void Step() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (!w->isVisible())
                continue;
            if (auto* box = qobject_cast<QMessageBox*>(w)) {
                m_strLastBox = box->text().toStdString();
                if (!box->button(QMessageBox::Ok))
                    m_questions.push_back(m_strLastBox);
                if (QAbstractButton* answer = Answer(*box))
                    answer->click();
                return;
            }
            if (auto* dialog = qobject_cast<CDialogMacAddress*>(w)) {
                QTest::keyClicks(dialog->m_suffixEdit, QString::fromStdString(RunSuffix()));
                QTest::mouseClick(dialog->findChild<QPushButton*>("buttonOk"), Qt::LeftButton);
                return;
            }
        }
    }
    QTimer m_timer;
};

struct SFigures {
    long nFds = 0;
    long nThreads = 0;
    long nRssKib = 0;
    long nHeapKib = 0; // what the program holds of the heap, free blocks aside
    long nAnonKib = 0; // of the resident size: memory of the program's own, and pages of files it maps
    long nFileKib = 0;
};

long StatusField(const char* pszName) {
    std::ifstream status("/proc/self/status");
    std::string strKey;
    long nValue = -1;
    while (status >> strKey) {
        if (strKey == pszName) {
            status >> nValue;
            break;
        }
        status.ignore(1 << 16, '\n');
    }
    return nValue;
}

SFigures Measure() {
    // Threads that just ended and queued deletions settle first.
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(40);
    }
    SFigures f;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(dir))
            f.nFds += e->d_name[0] != '.';
        closedir(dir);
    }
    f.nThreads = StatusField("Threads:");
    // The allocator keeps freed memory for reuse and hands back only what lies at a heap's top: the free
    // memory goes back first, so that the resident size counts what the program holds, not where its
    // last free blocks happened to lie.
    malloc_trim(0);
    f.nRssKib = StatusField("VmRSS:");
    f.nHeapKib = long(mallinfo2().uordblks / 1024);
    f.nAnonKib = StatusField("RssAnon:");
    f.nFileKib = StatusField("RssFile:");
    return f;
}

std::unique_ptr<CSimProcess> StartBoard(const std::string& strDir) {
    std::vector<std::string> args = FastBoardArgs();
    for (const char* a : {"--ldr", "U-Boot_Producao/u-boot_aut_rs232.ldr", "--tftp-dir", "tftp"})
        args.push_back(a);
    auto board = std::make_unique<CSimProcess>(args, strDir);
    if (board->Port().empty()) {
        fprintf(stderr, "the virtual board did not start\n");
        return nullptr;
    }
    return board;
}

bool SequenceRun(const std::string& strDir) {
    ++g_nRunSuffix;
    auto board = StartBoard(strDir);
    if (!board)
        return false;
    CRunState run;
    run.m_strPort = board->Port();
    CLogConsole log;
    CInstantOperator op;
    CAnsweringArp arp;
    SRunResult result;
    std::unique_ptr<QThread> thread(QThread::create([&] {
        CProvisioningRun provisioning(run, log, op, {}, WholeRunOptions(&arp));
        result = provisioning.RunProvisioning();
    }));
    thread->start();
    if (!thread->wait(QDeadlineTimer(kRunLimitMs))) {
        fprintf(stderr, "a sequence run did not end in time\n");
        exit(1); // the board's destructor cannot run safely under a live worker
    }
    if (result.Outcome() != ERunOutcome::Ok) {
        fprintf(stderr, "sequence run ended at stage %d: %s\n", result.nStage, result.Message().c_str());
        return false;
    }
    return true;
}

bool WindowRun(CQAN640BootLoaderCommands& window, CRobot& robot, const std::string& strDir) {
    ++g_nRunSuffix;
    auto board = StartBoard(strDir);
    if (!board)
        return false;
    robot.m_strLastBox.clear();
    robot.m_questions.clear();
    int nStarted = window.m_nRunsStarted;
    window.m_cmbPort->setEditText(QString::fromStdString(board->Port()));
    QTest::mouseClick(window.m_btnStart, Qt::LeftButton);
    QElapsedTimer timer;
    timer.start();
    // The worker returns only after its closing box was closed; the button comes back after that.
    while (window.m_nRunsStarted == nStarted || window.IsRunning() || !window.m_btnStart->isEnabled()) {
        if (timer.elapsed() > kRunLimitMs) {
            fprintf(stderr, "a window run did not end in time\n");
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    for (const std::string& strQuestion : robot.m_questions)
        fprintf(stderr, "window run asked: %s\n", strQuestion.c_str());
    if (robot.m_strLastBox != RunEndRow(ERunEnd::Verified).pszBox) {
        fprintf(stderr, "window run ended with: %s\n", robot.m_strLastBox.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    // As both programs start.
    LimitHeapArenas();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int nSequenceRuns = argc > 1 ? std::max(1, atoi(argv[1])) : 100;
    int nWindowRuns = argc > 2 ? std::max(1, atoi(argv[2])) : 20;
    SetDebugOutputSink([](const std::string&) {});

    QTemporaryDir dir;
    std::string strDir = dir.path().toStdString();
    UseWholeRunDir(strDir);

    CAnsweringArp arp;
    auto window = std::make_unique<CQAN640BootLoaderCommands>();
    window->SetPortLister([](std::vector<std::string>& names) { names.clear(); });
    window->SetRunOptions(WholeRunOptions(&arp));
    window->show();
    CRobot robot;

    auto runs = [&](int nSequence, int nWindow) {
        for (int i = 0; i < nSequence; ++i) {
            if (!SequenceRun(strDir))
                return false;
        }
        for (int i = 0; i < nWindow; ++i) {
            if (!WindowRun(*window, robot, strDir))
                return false;
        }
        return true;
    };
    QElapsedTimer timer;
    timer.start();
    if (!runs(kWarmupRuns, kWarmupRuns))
        return 1;
    SFigures before = Measure();
    printf("after warm-up: fds=%ld threads=%ld rss_kib=%ld heap_kib=%ld\n", before.nFds, before.nThreads,
           before.nRssKib, before.nHeapKib);
    fflush(stdout);
    if (!runs(nSequenceRuns, 0))
        return 1;
    SFigures mid = Measure();
    printf("after %d sequence runs: fds=%ld threads=%ld rss_kib=%ld heap_kib=%ld\n", nSequenceRuns, mid.nFds,
           mid.nThreads, mid.nRssKib, mid.nHeapKib);
    fflush(stdout);
    if (!runs(0, nWindowRuns))
        return 1;
    SFigures after = Measure();
    printf("after %d window runs: fds=%ld threads=%ld rss_kib=%ld heap_kib=%ld (%.0f s in all)\n",
           nWindowRuns, after.nFds, after.nThreads, after.nRssKib, after.nHeapKib, timer.elapsed() / 1000.0);
    printf("resident growth: anonymous %ld KiB, mapped files %ld KiB\n", after.nAnonKib - before.nAnonKib,
           after.nFileKib - before.nFileKib);
    printf("runs=%d fd_growth=%ld thread_growth=%ld rss_growth_kib=%ld\n", nSequenceRuns + nWindowRuns,
           after.nFds - before.nFds, after.nThreads - before.nThreads, after.nRssKib - before.nRssKib);
    return 0;
}

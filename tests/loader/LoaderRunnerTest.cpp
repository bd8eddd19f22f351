#include "links/LoaderRunner.h"

#include "core/DebugOutput.h"
#include "core/SystemError.h"
#include "tests/loader/LoaderTestSupport.h"

#include <QTemporaryDir>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>

using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

// Waits up to `limit` for `condition`; false when it never held.
bool WaitUntil(const std::function<bool()>& condition, milliseconds limit = 10s) {
    auto deadline = steady_clock::now() + limit;
    while (!condition()) {
        if (steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// Loose bound for "ended promptly": far below the waits that a missed wake-up would cost.
constexpr auto kPrompt = 5s;

} // namespace

// Every test also checks that the run left no child (running or unreaped) and no descriptor behind.
class LoaderRunnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_prevSink = SetDebugOutputSink([this](const std::string& text) {
            std::lock_guard lock(m_mutex);
            m_strDebug += text;
        });
        ASSERT_TRUE(m_tmp.isValid());
        m_strTmp = m_tmp.path().toStdString();
        m_fdsBefore = OpenDescriptors();
    }

    void TearDown() override {
        EXPECT_TRUE(NoChildrenLeft());
        EXPECT_EQ(OpenDescriptors(), m_fdsBefore);
        EXPECT_FALSE(m_run.m_hLoaderProcess.IsSet());
        SetDebugOutputSink(m_prevSink);
    }

    // Options for a runner on the scripted child, playing `scenario`, with pauses short enough for tests.
    SLoaderOptions Prepare(const std::string& scenario, uint32_t dwPassPauseMs = 1,
                           uint32_t dwFinalPauseMs = 0) {
        m_run.m_strPort = scenario;
        SLoaderOptions options;
        options.strProgram = QAN_FAKE_CHILD;
        options.dwPassPauseMs = dwPassPauseMs;
        options.dwFinalPauseMs = dwFinalPauseMs;
        return options;
    }

    int Play(const std::string& scenario) {
        CLoaderRunner runner(m_run, m_log, {}, Prepare(scenario));
        int result = RunGuarded(runner);
        m_strFailure = runner.FailureReason();
        return result;
    }

    // Runs the runner with a watchdog: a runner that does not end by itself within 20 s fails the test,
    // and its child is ended so that the test does not hang.
    int RunGuarded(CLoaderRunner& runner) {
        std::mutex mutex;
        std::condition_variable cv;
        bool bDone = false;
        bool bFired = false;
        std::thread watchdog([&] {
            std::unique_lock lock(mutex);
            while (!cv.wait_for(lock, 20s, [&] { return bDone; })) {
                bFired = true;
                m_run.m_hLoaderProcess.Terminate();
            }
        });
        int result = runner.RunBfinUcLinux();
        {
            std::lock_guard lock(mutex);
            bDone = true;
        }
        cv.notify_all();
        watchdog.join();
        EXPECT_FALSE(bFired) << "the runner did not end by itself";
        return result;
    }

    std::string Debug() {
        std::lock_guard lock(m_mutex);
        return m_strDebug;
    }

    CRunState m_run;
    CLogConsole m_log;
    QTemporaryDir m_tmp;
    std::string m_strTmp;
    std::string m_strFailure; // the last Play's reason

private:
    std::set<std::string> m_fdsBefore;
    DebugOutputSink m_prevSink;
    std::mutex m_mutex;
    std::string m_strDebug;
};

TEST_F(LoaderRunnerTest, MarkerSplitAcrossReadsIsNotFound) {
    EXPECT_EQ(Play("split-marker"), 1);
    // Had the marker been found, its line would not have been shown.
    EXPECT_EQ(m_log.m_strLog, "run minicom o\r\nr kermit\r\n");
}

TEST_F(LoaderRunnerTest, SeveralPressLinesInOneChunkGetOneLineFeed) {
    EXPECT_EQ(Play("press-x3"), 1);
    EXPECT_EQ(m_log.m_strLog, "answers=1\r\n");
}

TEST_F(LoaderRunnerTest, ExitCodeAloneDecides) {
    EXPECT_EQ(Play("failed-exit0"), 1);
    EXPECT_EQ(m_log.m_strLog, "Loading\r\nTransfer Failed\r\n");

    m_log.ClearLog();
    EXPECT_EQ(Play("minicom-exit3"), 0);
    EXPECT_EQ(m_log.m_strLog, "before\r\n");
    EXPECT_EQ(m_strFailure, std::string(QAN_FAKE_CHILD) + " terminou com o código 3");

    m_log.ClearLog();
    EXPECT_EQ(Play("exit-7"), 0);
    EXPECT_EQ(m_log.m_strLog, "ending with 7\r\n");
    EXPECT_EQ(m_strFailure, std::string(QAN_FAKE_CHILD) + " terminou com o código 7");
}

TEST_F(LoaderRunnerTest, ChildEndingWithoutMarkerDoesNotWaitOutThePasses) {
    CLoaderRunner runner(m_run, m_log, {}, Prepare("no-marker", 200));
    auto t0 = steady_clock::now();
    EXPECT_EQ(RunGuarded(runner), 1);
    EXPECT_LE(runner.Passes(), 2);
    EXPECT_LT(steady_clock::now() - t0, kPrompt);
    EXPECT_EQ(m_log.m_strLog, "some output\r\n");
}

TEST_F(LoaderRunnerTest, FullReadIsAChunkLikeAnyOther) {
    EXPECT_EQ(Play("full-chunk"), 1);
    EXPECT_EQ(m_log.m_strLog, std::string(999, 'a') + "\r\n" + std::string(201, 'a') + "\r\n");
}

TEST_F(LoaderRunnerTest, StandardErrorSharesThePipe) {
    EXPECT_EQ(Play("stderr"), 1);
    EXPECT_EQ(m_log.m_strLog, "on stdout\r\non stderr\r\n");
}

TEST_F(LoaderRunnerTest, DebugChannelGetsEachChunkAndSeparator) {
    EXPECT_EQ(Play("no-marker"), 1);
    EXPECT_NE(Debug().find("some output\n\n\n-----------\n"), std::string::npos) << Debug();
}

TEST_F(LoaderRunnerTest, ChildGetsTheCommandLineWorkingDirectoryAndNothingElse) {
    CWorkingDir cwd(m_strTmp);
    EXPECT_EQ(Play("COM3"), 1);
    const std::string& log = m_log.m_strLog;
    for (const char* line : {"argc=5\r\n", "arg1=-l\r\n", "arg2=./U-Boot_Producao/u-boot_aut_rs232.ldr\r\n",
                             "arg3=/dev/COM3\r\n", "arg4=--prompt\r\n", "fds=\r\n", "merged=1\r\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line << " missing in:\n" << log;
    EXPECT_NE(log.find("cwd=" + std::filesystem::canonical(m_strTmp).string() + "\r\n"), std::string::npos)
        << log;
}

TEST_F(LoaderRunnerTest, PortNameIsOneArgumentAndRunsNothing) {
    CWorkingDir cwd(m_strTmp);
    const std::string port =
        R"(COM 3 "q" 'x' ; touch inj1 $(touch inj2) `touch inj3` && touch inj4 | tee inj5 > inj6 \)";
    EXPECT_EQ(Play(port), 1);
    EXPECT_NE(m_log.m_strLog.find("argc=5\r\n"), std::string::npos) << m_log.m_strLog;
    EXPECT_NE(m_log.m_strLog.find("arg3=/dev/" + port + "\r\n"), std::string::npos) << m_log.m_strLog;
    for (const char* name : {"inj1", "inj2", "inj3", "inj4", "inj5", "inj6"})
        EXPECT_FALSE(FileExists(m_strTmp + "/" + name)) << name;
}

// Awkward names reach the loader as one argument, never as an option, or the loader is not started at all.
TEST_F(LoaderRunnerTest, AwkwardPortNamesArriveWholeOrAreRefusedBeforeAnythingRuns) {
    CWorkingDir cwd(m_strTmp);
    struct {
        std::string strPort;
        std::string strArg; // empty: refused, no child started
    } const cases[] = {
        {"bench port 2", "/dev/bench port 2"},
        {"-x", "/dev/-x"},
        {"--help", "/dev/--help"},
        {"-x/ttyS1", "./-x/ttyS1"},
        {"tty\xe9\x80\xff", "/dev/tty\xe9\x80\xff"},
        {";touch inj", "/dev/;touch inj"},
        {std::string(500, 'p'), "/dev/" + std::string(500, 'p')}, // the report stays one read
        {"", ""},
        {std::string(200000, 'p'), ""}, // over the kernel's limit for one argument
    };
    for (const auto& c : cases) {
        m_log.ClearLog();
        EXPECT_EQ(Play(c.strPort), c.strArg.empty() ? 0 : 1) << c.strPort.substr(0, 40);
        if (c.strArg.empty()) {
            EXPECT_EQ(m_log.m_strLog, "") << c.strPort.substr(0, 40);
            EXPECT_NE(m_strFailure, "") << c.strPort.substr(0, 40);
            continue;
        }
        EXPECT_NE(m_log.m_strLog.find("argc=5\r\n"), std::string::npos) << m_log.m_strLog.substr(0, 200);
        EXPECT_NE(m_log.m_strLog.find("arg3=" + c.strArg + "\r\n"), std::string::npos)
            << c.strArg.substr(0, 40);
    }
    EXPECT_FALSE(FileExists(m_strTmp + "/inj"));
}

TEST_F(LoaderRunnerTest, MissingProgramGivesZeroAtOnce) {
    SLoaderOptions options;
    options.strProgram = m_strTmp + "/no-such-loader";
    CLoaderRunner runner(m_run, m_log, {}, options);
    auto t0 = steady_clock::now();
    EXPECT_EQ(runner.RunBfinUcLinux(), 0);
    // No pause of the run was taken (they would add three seconds).
    EXPECT_LT(steady_clock::now() - t0, 1500ms);
    EXPECT_FALSE(m_run.m_hLoaderProcess.IsSet());
    EXPECT_EQ(m_log.m_strLog, "");
    EXPECT_EQ(runner.FailureReason().rfind("não foi possível iniciar " + options.strProgram + ": ", 0), 0u)
        << runner.FailureReason();

    // Looked up on PATH, the usual way.
    CEnvOverride path("PATH", m_strTmp);
    CLoaderRunner byName(m_run, m_log);
    EXPECT_EQ(byName.RunBfinUcLinux(), 0);

    // A file that is there but cannot be run.
    WriteFile(m_strTmp + "/bfin-uclinux-ldr", "not a program\n");
    EXPECT_EQ(byName.RunBfinUcLinux(), 0);
    EXPECT_FALSE(m_run.m_hLoaderProcess.IsSet());
}

TEST_F(LoaderRunnerTest, ChildFloodingPastThePassLimitStillEnds) {
    CLoaderRunner runner(m_run, m_log, {}, Prepare("flood"));
    EXPECT_EQ(RunGuarded(runner), 1);
    EXPECT_EQ(runner.Passes(), CLoaderRunner::kMaxPasses);
    // About a megabyte was printed; the loop read at most 40 chunks and the rest was read away unshown.
    EXPECT_LE(m_log.m_strLog.size(), size_t(CLoaderRunner::kMaxPasses) * 1100);
    EXPECT_GT(runner.DrainedBytes(), 900'000u);
}

TEST_F(LoaderRunnerTest, SilencedInputDoesNotEndTheProgram) {
    // The child closes its input and then asks for Enter: the answer meets a broken pipe, which ends the
    // reading; the exit code decides.
    EXPECT_EQ(Play("closed-stdin"), 1);
}

// The window ends the child from another thread, at each kind of wait of the runner.
TEST_F(LoaderRunnerTest, EndingTheChildFromAnotherThreadEndsTheRunWithZero) {
    struct SCase {
        const char* scenario;
        uint32_t passPauseMs;
        bool afterPassLimit;
    };
    for (SCase c : {SCase{"silent", 1, false},     // waiting for output
                    SCase{"chatty", 60000, false}, // in the pause between passes
                    SCase{"chatty", 1, true}}) {   // waiting for the child after the 40th pass
        SCOPED_TRACE(std::string(c.scenario) + " pause " + std::to_string(c.passPauseMs));
        m_log.ClearLog();
        CLoaderRunner runner(m_run, m_log, {}, Prepare(c.scenario, c.passPauseMs));

        bool bTerminated = false;
        bool bDrained = false;
        steady_clock::time_point tKill;
        std::thread closer([&] {
            if (!WaitUntil([&] { return m_run.m_hLoaderProcess.IsSet(); }))
                return;
            if (c.afterPassLimit)
                bDrained = WaitUntil([&] {
                    return runner.Passes() == CLoaderRunner::kMaxPasses && runner.DrainedBytes() > 0;
                });
            else
                std::this_thread::sleep_for(100ms);
            tKill = steady_clock::now();
            bTerminated = m_run.m_hLoaderProcess.Terminate();
        });
        int result = RunGuarded(runner);
        auto tEnd = steady_clock::now();
        closer.join();

        ASSERT_TRUE(bTerminated);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(runner.FailureReason(), std::string(QAN_FAKE_CHILD) + " foi encerrado pelo sinal 9");
        EXPECT_LT(tEnd - tKill, kPrompt);
        EXPECT_FALSE(m_run.m_hLoaderProcess.IsSet());
        // Once the runner let go of the child, there is nothing left to end.
        EXPECT_FALSE(m_run.m_hLoaderProcess.Terminate());
        // The child kept printing after the 40th pass and the runner kept reading it away.
        if (c.afterPassLimit) {
            EXPECT_TRUE(bDrained);
        }
        EXPECT_TRUE(NoChildrenLeft());
    }
}

TEST_F(LoaderRunnerTest, StopRequestEndsEveryWaitAndReapsTheChild) {
    struct SCase {
        const char* scenario;
        uint32_t passPauseMs;
        uint32_t finalPauseMs;
        enum { Running, AfterPassLimit, FinalPause } when;
    };
    for (SCase c :
         {SCase{"silent", 1, 0, SCase::Running}, SCase{"chatty", 60000, 0, SCase::Running},
          SCase{"chatty", 1, 0, SCase::AfterPassLimit}, SCase{"no-marker", 1, 60000, SCase::FinalPause}}) {
        SCOPED_TRACE(std::string(c.scenario) + " case " + std::to_string(int(c.when)));
        CStopSource stop;
        CLoaderRunner runner(m_run, m_log, stop.Token(), Prepare(c.scenario, c.passPauseMs, c.finalPauseMs));

        steady_clock::time_point tStop;
        std::thread closer([&] {
            if (c.when == SCase::FinalPause) {
                // Past the first pass, then the handle is cleared: the child is being reaped or gone.
                WaitUntil([&] { return runner.Passes() >= 1; });
                WaitUntil([&] { return !m_run.m_hLoaderProcess.IsSet(); });
            } else {
                WaitUntil([&] { return m_run.m_hLoaderProcess.IsSet(); });
                if (c.when == SCase::AfterPassLimit)
                    WaitUntil([&] { return runner.Passes() == CLoaderRunner::kMaxPasses; });
                else
                    std::this_thread::sleep_for(100ms);
            }
            tStop = steady_clock::now();
            stop.RequestStop();
        });
        int result = RunGuarded(runner);
        auto tEnd = steady_clock::now();
        closer.join();

        EXPECT_EQ(result, 0);
        EXPECT_LT(tEnd - tStop, kPrompt);
        EXPECT_FALSE(m_run.m_hLoaderProcess.IsSet());
        EXPECT_TRUE(NoChildrenLeft());
    }
}

TEST_F(LoaderRunnerTest, StopRequestedBeforehandStartsNothing) {
    CStopSource stop;
    stop.RequestStop();
    CLoaderRunner runner(m_run, m_log, stop.Token(), Prepare("COM3"));
    EXPECT_EQ(runner.RunBfinUcLinux(), 0);
    EXPECT_EQ(m_log.m_strLog, "");
}

// The set-up check tells a loader or image that is missing (or cannot be used) before anything runs, and
// names it; what a start would find passes.
TEST_F(LoaderRunnerTest, SetUpCheckNamesWhatIsMissing) {
    CWorkingDir cwd(m_strTmp);
    const std::string strImage = CLoaderRunner::kImagePath;
    const std::string strNoFile = SystemErrorText(ENOENT), strDenied = SystemErrorText(EACCES),
                      strIsDir = SystemErrorText(EISDIR);
    const std::string strBin = m_strTmp + "/bin";
    WriteFile(strBin + "/plain", "#!/bin/sh\n"); // there, but not executable
    std::filesystem::create_directories(strBin + "/bfin-dir");
    CEnvOverride path("PATH", strBin + ":" + m_strTmp + "/nowhere:" + TestPathDir());
    struct {
        std::string strProgram;
        std::string strImageContent; // "-": no image file; "/": a directory in its place; "|": a FIFO
        std::string strReason;       // "": passes
    } const cases[] = {
        {"bfin-uclinux-ldr", "image", ""},
        {QAN_FAKE_CHILD, "image", ""},
        {"no-such-ldr", "image", "no-such-ldr não encontrado no PATH"},
        {m_strTmp + "/no-such-ldr", "image", m_strTmp + "/no-such-ldr: No such file or directory"},
        {"plain", "image", strBin + "/plain: Permission denied"},
        {strBin + "/plain", "image", strBin + "/plain: Permission denied"},
        {strBin + "/bfin-dir", "image", strBin + "/bfin-dir: Is a directory"},
        {"bfin-uclinux-ldr", "-", "imagem " + strImage + ": " + strNoFile},
        {"bfin-uclinux-ldr", "", "imagem " + strImage + ": arquivo vazio"},
        {"bfin-uclinux-ldr", "/", "imagem " + strImage + ": " + strIsDir},
        {"bfin-uclinux-ldr", "|", "imagem " + strImage + ": não é um arquivo comum"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.strProgram + " " + c.strImageContent);
        std::filesystem::remove_all(strImage);
        if (c.strImageContent == "/")
            std::filesystem::create_directories(strImage);
        else if (c.strImageContent == "|")
            ASSERT_EQ(mkfifo(strImage.c_str(), 0600), 0);
        else if (c.strImageContent != "-")
            WriteFile(strImage, c.strImageContent);
        SLoaderOptions options;
        options.strProgram = c.strProgram;
        std::string strReason;
        EXPECT_EQ(CLoaderRunner(m_run, m_log, {}, options).CheckSetUp(strReason), c.strReason.empty());
        EXPECT_EQ(strReason, c.strReason);
    }
}

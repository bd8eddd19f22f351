#include "links/LoaderRunner.h"

#include "tests/loader/LoaderTestSupport.h"
#include "tests/support/Pty.h"

#include <QProcess>
#include <QTemporaryDir>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <thread>

using namespace std::chrono_literals;

namespace {

const char* const kImage = "U-Boot_Producao/u-boot_aut_rs232.ldr";

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes)
        c = char(gen() & 0xFF);
    return bytes;
}

// The stand-in started directly, as a shell user would.
class CStandin {
public:
    CStandin(const QStringList& args, const QString& workDir, const QMap<QString, QString>& env = {}) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (auto it = env.begin(); it != env.end(); ++it)
            environment.insert(it.key(), it.value());
        m_process.setProcessEnvironment(environment);
        m_process.setWorkingDirectory(workDir);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QAN_STANDIN_LOADER, args);
        m_process.waitForStarted(5000);
    }
    ~CStandin() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    // Reads output until it contains `text`; false after 5 s without it.
    bool WaitForOutput(const std::string& text) {
        auto deadline = std::chrono::steady_clock::now() + 5s;
        while (m_strOutput.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            m_process.waitForReadyRead(50);
            m_strOutput += m_process.readAll().toStdString();
        }
        return m_strOutput.find(text) != std::string::npos;
    }
    void Answer() {
        m_process.write("\n");
        m_process.waitForBytesWritten(1000);
    }
    // The exit code, or -1 when it did not end within 5 s or crashed.
    int Finish() {
        if (!m_process.waitForFinished(5000) || m_process.exitStatus() != QProcess::NormalExit)
            return -1;
        m_strOutput += m_process.readAll().toStdString();
        return m_process.exitCode();
    }
    // True when nothing at all came out within `ms`.
    bool QuietFor(int ms) { return !m_process.waitForReadyRead(ms) && m_process.bytesAvailable() == 0; }
    bool StillRunning() const { return m_process.state() == QProcess::Running; }
    const std::string& Output() const { return m_strOutput; }

private:
    QProcess m_process;
    std::string m_strOutput;
};

} // namespace

class StandinLoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_tmp.isValid());
        m_strTmp = m_tmp.path().toStdString();
        m_strImage = RandomBytes(3000, 7);
        WriteFile(m_strTmp + "/" + kImage, m_strImage);
    }

    QStringList Args(const std::string& port) const {
        return {"-l", QString("./") + kImage, QString::fromStdString(port), "--prompt"};
    }
    QString Dir() const { return m_tmp.path(); }

    QTemporaryDir m_tmp;
    std::string m_strTmp;
    std::string m_strImage;
};

TEST_F(StandinLoaderTest, SendsTheWholeImageOnlyAfterEnter) {
    CPtyPair pty;
    CStandin ldr(Args(pty.SlavePath()), Dir());
    ASSERT_TRUE(ldr.WaitForOutput("Press")) << ldr.Output();
    EXPECT_EQ(pty.Receive(1, 300ms), "");
    ldr.Answer();
    EXPECT_EQ(pty.Receive(m_strImage.size(), 5s), m_strImage);
    EXPECT_EQ(ldr.Finish(), 0);
    EXPECT_EQ(pty.Receive(1, 100ms), "");
    const std::string& out = ldr.Output();
    EXPECT_NE(out.find("[100%] 3000 of 3000 bytes\n"), std::string::npos) << out;
    size_t minicom = out.find("run minicom or kermit");
    ASSERT_NE(minicom, std::string::npos) << out;
    EXPECT_LT(out.find("[100%]"), minicom);
}

TEST_F(StandinLoaderTest, WithoutPromptSendsAtOnce) {
    CPtyPair pty;
    CStandin ldr({"-l", QString("./") + kImage, QString::fromStdString(pty.SlavePath())}, Dir());
    EXPECT_EQ(pty.Receive(m_strImage.size(), 5s), m_strImage);
    EXPECT_EQ(ldr.Finish(), 0);
    EXPECT_EQ(ldr.Output().find("Press"), std::string::npos);
}

TEST_F(StandinLoaderTest, WrongArgumentsAreRefusedWithUsage) {
    std::string img = "./" + std::string(kImage);
    const std::vector<QStringList> cases = {
        {},
        {"-l"},
        {"-l", QString::fromStdString(img)},
        {"/dev/null", "--prompt"},
        {"-l", QString::fromStdString(img), "/dev/null", "/dev/zero"},
        {"-l", QString::fromStdString(img), "/dev/null", "--speed"},
    };
    for (const QStringList& args : cases) {
        SCOPED_TRACE(args.join(' ').toStdString());
        CStandin ldr(args, Dir());
        EXPECT_EQ(ldr.Finish(), 2);
        EXPECT_NE(ldr.Output().find("usage: bfin-uclinux-ldr -l IMAGE PORT"), std::string::npos)
            << ldr.Output();
    }
    CStandin badMode(Args("/dev/null"), Dir(), {{"QAN640_LDR_MODE", "sideways"}});
    EXPECT_EQ(badMode.Finish(), 2);
    EXPECT_NE(badMode.Output().find("sideways"), std::string::npos);
}

TEST_F(StandinLoaderTest, MissingOrEmptyImageFails) {
    CPtyPair pty;
    CStandin missing({"-l", "./nowhere.ldr", QString::fromStdString(pty.SlavePath()), "--prompt"}, Dir());
    EXPECT_EQ(missing.Finish(), 1);
    EXPECT_NE(missing.Output().find("Failed to read image ./nowhere.ldr: No such file"), std::string::npos)
        << missing.Output();

    WriteFile(m_strTmp + "/empty.ldr", "");
    CStandin empty({"-l", "empty.ldr", QString::fromStdString(pty.SlavePath())}, Dir());
    EXPECT_EQ(empty.Finish(), 1);
    EXPECT_NE(empty.Output().find("empty"), std::string::npos);
    EXPECT_EQ(pty.Receive(1, 100ms), "");
}

TEST_F(StandinLoaderTest, PortThatIsNoSerialDeviceFails) {
    CStandin notTty(Args("/dev/null"), Dir());
    EXPECT_EQ(notTty.Finish(), 1);
    EXPECT_NE(notTty.Output().find("Failed"), std::string::npos);

    CStandin missing(Args(m_strTmp + "/ttyNONE"), Dir());
    EXPECT_EQ(missing.Finish(), 1);
    EXPECT_NE(missing.Output().find("Failed to open serial port"), std::string::npos);
}

TEST_F(StandinLoaderTest, HelpListsTheSwitches) {
    CStandin help({"--help"}, Dir());
    EXPECT_EQ(help.Finish(), 0);
    for (const char* word :
         {"QAN640_LDR_MODE", "fail", "failed-text", "hang", "flood", "no-answer", "QAN640_LDR_EXIT",
          "QAN640_LDR_ARGS_FILE", "QAN640_LDR_WRAPPER", "QAN640_LDR_PID_FILE"})
        EXPECT_NE(help.Output().find(word), std::string::npos) << word;
}

TEST_F(StandinLoaderTest, SwitchesMakeItMisbehave) {
    CPtyPair pty;
    {
        CStandin ldr(Args(pty.SlavePath()), Dir(), {{"QAN640_LDR_MODE", "fail"}});
        ASSERT_TRUE(ldr.WaitForOutput("Press"));
        ldr.Answer();
        EXPECT_EQ(ldr.Finish(), 1);
        EXPECT_EQ(ldr.Output().find("Failed"), std::string::npos);
        EXPECT_EQ(ldr.Output().find("minicom"), std::string::npos);
    }
    {
        CStandin ldr(Args(pty.SlavePath()), Dir(),
                     {{"QAN640_LDR_MODE", "failed-text"}, {"QAN640_LDR_EXIT", "0"}});
        ASSERT_TRUE(ldr.WaitForOutput("Press"));
        ldr.Answer();
        EXPECT_EQ(ldr.Finish(), 0);
        EXPECT_NE(ldr.Output().find("Failed"), std::string::npos);
    }
    {
        CStandin ldr(Args(pty.SlavePath()), Dir(), {{"QAN640_LDR_EXIT", "3"}});
        ASSERT_TRUE(ldr.WaitForOutput("Press"));
        ldr.Answer();
        EXPECT_EQ(ldr.Finish(), 3);
        EXPECT_NE(ldr.Output().find("run minicom or kermit"), std::string::npos);
    }
    EXPECT_EQ(pty.Drain(100ms), m_strImage);
    {
        CStandin ldr(Args(pty.SlavePath()), Dir(), {{"QAN640_LDR_MODE", "hang"}});
        EXPECT_TRUE(ldr.QuietFor(300));
        EXPECT_TRUE(ldr.StillRunning());
    }
    {
        CStandin ldr(Args(pty.SlavePath()), Dir(),
                     {{"QAN640_LDR_MODE", "no-answer"}, {"QAN640_LDR_INTERVAL_MS", "5"}});
        ASSERT_TRUE(ldr.WaitForOutput("Press"));
        ldr.Answer();
        EXPECT_TRUE(ldr.WaitForOutput("Still waiting for the board (5)"));
        EXPECT_TRUE(ldr.StillRunning());
    }
    {
        CStandin ldr(Args(pty.SlavePath()), Dir(),
                     {{"QAN640_LDR_MODE", "flood"}, {"QAN640_LDR_FLOOD_BYTES", "200000"}});
        ASSERT_TRUE(ldr.WaitForOutput("Press"));
        ldr.Answer();
        ASSERT_TRUE(ldr.WaitForOutput("run minicom or kermit"));
        EXPECT_EQ(ldr.Finish(), 0);
        EXPECT_GT(ldr.Output().size(), 200000u);
    }
    EXPECT_EQ(pty.Drain(100ms), m_strImage);
}

// The runner finds the stand-in on PATH under the loader's name and drives it to the end.
class StandinThroughRunnerTest : public StandinLoaderTest {
protected:
    void SetUp() override {
        StandinLoaderTest::SetUp();
        const char* path = getenv("PATH");
        m_pPath =
            std::make_unique<CEnvOverride>("PATH", TestPathDir() + ":" + (path ? path : "/usr/bin:/bin"));
        m_pCwd = std::make_unique<CWorkingDir>(m_strTmp);
    }
    void TearDown() override {
        m_pCwd.reset();
        m_pPath.reset();
        EXPECT_TRUE(NoChildrenLeft());
    }

    int Run(const std::string& port, CStopToken stop = {}) {
        m_run.m_strPort = port;
        SLoaderOptions options;
        options.dwPassPauseMs = 20;
        options.dwFinalPauseMs = 0;
        CLoaderRunner runner(m_run, m_log, std::move(stop), options);
        return runner.RunBfinUcLinux();
    }

    CRunState m_run;
    CLogConsole m_log;

private:
    std::unique_ptr<CEnvOverride> m_pPath;
    std::unique_ptr<CWorkingDir> m_pCwd;
};

TEST_F(StandinThroughRunnerTest, PushesTheImageAndSucceeds) {
    CPtyPair pty;
    int result = -1;
    std::thread worker([&] { result = Run(pty.SlavePath()); });
    std::string got = pty.Receive(m_strImage.size(), 10s);
    worker.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(got, m_strImage);
    EXPECT_NE(m_log.m_strLog.find("Image ./U-Boot_Producao/u-boot_aut_rs232.ldr: 3000 bytes\r\n"),
              std::string::npos)
        << m_log.m_strLog;
    EXPECT_NE(m_log.m_strLog.find("[ 12%] 375 of 3000 bytes[ 25%]"), std::string::npos) << m_log.m_strLog;
    EXPECT_EQ(m_log.m_strLog.find("Press"), std::string::npos);
    EXPECT_EQ(m_log.m_strLog.find("minicom"), std::string::npos);
}

TEST_F(StandinThroughRunnerTest, OddPortNameArrivesAsOneArgument) {
    const std::string port = R"(/dev/tty S0 "x" 'y'; touch inj1 $(touch inj2) `touch inj3` | tee inj4)";
    CEnvOverride argsFile("QAN640_LDR_ARGS_FILE", m_strTmp + "/args");
    EXPECT_EQ(Run(port), 0);
    using namespace std::string_literals;
    EXPECT_EQ(ReadFile(m_strTmp + "/args"),
              "-l\0./U-Boot_Producao/u-boot_aut_rs232.ldr\0"s + port + "\0--prompt\0"s);
    EXPECT_NE(m_log.m_strLog.find("Failed to open serial port " + port + ": No such file"), std::string::npos)
        << m_log.m_strLog;
    for (const char* name : {"inj1", "inj2", "inj3", "inj4"})
        EXPECT_FALSE(FileExists(m_strTmp + "/" + name)) << name;
}

TEST_F(StandinThroughRunnerTest, FailuresGiveZero) {
    CPtyPair pty;
    {
        CEnvOverride mode("QAN640_LDR_MODE", "failed-text");
        EXPECT_EQ(Run(pty.SlavePath()), 0);
        EXPECT_NE(m_log.m_strLog.find("Failed to start the transfer"), std::string::npos);
    }
    {
        CEnvOverride mode("QAN640_LDR_MODE", "fail");
        EXPECT_EQ(Run(pty.SlavePath()), 0);
    }
    {
        std::filesystem::remove(m_strTmp + "/" + kImage);
        EXPECT_EQ(Run(pty.SlavePath()), 0);
        EXPECT_NE(m_log.m_strLog.find("Failed to read image"), std::string::npos);
    }
    EXPECT_EQ(pty.Receive(1, 100ms), "");
}

// A site may install the loader as a wrapper that starts the real one. Whatever way the loader's run ends,
// what it started ends with it, so nothing is left holding the port.
TEST_F(StandinThroughRunnerTest, WhatTheLoaderStartedEndsWithIt) {
    enum class EEnd { Terminated, Stopped, ByItself };
    struct {
        const char* pszWrapper;
        EEnd eEnd;
    } const cases[] = {{"wait", EEnd::Terminated}, {"wait", EEnd::Stopped}, {"leave", EEnd::ByItself}};
    const std::string strPidFile = m_strTmp + "/copy.pid";
    auto copyPid = [&] {
        std::string text = ReadFile(strPidFile);
        return text.empty() || text.back() != '\n' ? 0 : std::stoi(text);
    };
    // Running, not merely waiting to be reaped by whoever inherited it.
    auto alive = [](int pid) {
        std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
        size_t paren = stat.rfind(')');
        return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.pszWrapper) + " " + std::to_string(int(c.eEnd)));
        std::filesystem::remove(strPidFile);
        CEnvOverride wrapper("QAN640_LDR_WRAPPER", c.pszWrapper);
        CEnvOverride mode("QAN640_LDR_MODE", "hang");
        CEnvOverride pidFile("QAN640_LDR_PID_FILE", strPidFile);
        CStopSource stop;
        int result = -1;
        std::thread worker([&] { result = Run("/dev/null", stop.Token()); });
        if (c.eEnd != EEnd::ByItself) {
            for (int i = 0; i < 5000 && copyPid() == 0; ++i)
                std::this_thread::sleep_for(2ms);
            // The loader's copy may be running before the runner holds the loader: until then there is
            // nothing to terminate.
            if (c.eEnd == EEnd::Terminated) {
                for (int i = 0; i < 5000 && !m_run.m_hLoaderProcess.Terminate(); ++i)
                    std::this_thread::sleep_for(2ms);
            } else {
                stop.RequestStop();
            }
        }
        worker.join();
        EXPECT_EQ(result, c.eEnd == EEnd::ByItself ? 1 : 0);
        int pid = copyPid();
        ASSERT_GT(pid, 0);
        for (int i = 0; i < 2500 && alive(pid); ++i)
            std::this_thread::sleep_for(2ms);
        EXPECT_FALSE(alive(pid)) << "the loader's own child " << pid << " is still running";
        if (alive(pid))
            kill(pid, SIGKILL);
    }
}

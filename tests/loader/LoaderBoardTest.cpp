// The runner with the stand-in loader against the virtual board: the loader pushes the first-stage image,
// the board boots into its monitor, and the program's own serial port then reaches the monitor's prompt.

#include "links/LoaderRunner.h"
#include "links/Uart.h"

#include "core/DebugOutput.h"
#include "tests/loader/LoaderTestSupport.h"

#include <QProcess>
#include <QTemporaryDir>
#include <chrono>
#include <gtest/gtest.h>
#include <random>

using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

const std::string kImage = "U-Boot_Producao/u-boot_aut_rs232.ldr";

// Sends CR now and then and reads until the monitor's prompt shows up or `limit` passes.
bool SeePrompt(CUart& uart, milliseconds limit) {
    std::string seen;
    auto deadline = steady_clock::now() + limit;
    while (steady_clock::now() < deadline) {
        if (uart.Write("\r", 1) != 1)
            return false;
        for (int ch; (ch = uart.ReadByte()) >= 0;) {
            seen += char(ch);
            if (seen.find("QAN640>") != std::string::npos)
                return true;
        }
    }
    return false;
}

} // namespace

class LoaderBoardTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_tmp.isValid());
        m_strTmp = m_tmp.path().toStdString();

        std::mt19937 gen(42);
        std::string image(4000, '\0');
        for (char& c : image)
            c = char(gen() & 0xFF);
        WriteFile(m_strTmp + "/" + kImage, image);

        m_sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_sim.start(QAN_SIM_PROGRAM, {"--ldr", QString::fromStdString(m_strTmp + "/" + kImage),
                                      "--transcript", QString::fromStdString(m_strTmp + "/transcript")});
        ASSERT_TRUE(m_sim.waitForStarted(5000));
        for (int i = 0; i < 100 && !m_sim.canReadLine(); ++i)
            m_sim.waitForReadyRead(50);
        m_strPort = m_sim.readLine().trimmed().toStdString();
        ASSERT_EQ(m_strPort.rfind("/dev/", 0), 0u) << m_strPort;

        const char* path = getenv("PATH");
        m_pPath =
            std::make_unique<CEnvOverride>("PATH", TestPathDir() + ":" + (path ? path : "/usr/bin:/bin"));
        m_pCwd = std::make_unique<CWorkingDir>(m_strTmp);
        m_prevSink = SetDebugOutputSink([](const std::string&) {});
    }

    void TearDown() override {
        if (m_pCwd)
            SetDebugOutputSink(m_prevSink);
        m_pCwd.reset();
        m_pPath.reset();
        if (m_sim.state() != QProcess::NotRunning) {
            m_sim.terminate();
            if (!m_sim.waitForFinished(5000))
                m_sim.kill();
            m_sim.waitForFinished(5000);
        }
    }

    bool BoardBooted() {
        return ReadFile(m_strTmp + "/transcript").find("first-stage image received") != std::string::npos;
    }

    QTemporaryDir m_tmp;
    std::string m_strTmp;
    std::string m_strPort;
    QProcess m_sim;
    CRunState m_run;
    CLogConsole m_log;

private:
    std::unique_ptr<CEnvOverride> m_pPath;
    std::unique_ptr<CWorkingDir> m_pCwd;
    DebugOutputSink m_prevSink;
};

TEST_F(LoaderBoardTest, BoardReachesItsMonitorAndThePortIsFreeAfterwards) {
    m_run.m_strPort = m_strPort;
    CLoaderRunner runner(m_run, m_log); // the real pauses
    ASSERT_EQ(runner.RunBfinUcLinux(), 1) << m_log.m_strLog;
    EXPECT_FALSE(m_run.m_hLoaderProcess.IsSet());
    EXPECT_NE(m_log.m_strLog.find("[100%] 4000 of 4000 bytes"), std::string::npos) << m_log.m_strLog;

    CUart uart(300);
    ASSERT_EQ(uart.Open(m_run.m_strPort, uint32_t(m_run.m_nBaudRate)), 1);
    EXPECT_TRUE(SeePrompt(uart, 10s));
    EXPECT_TRUE(BoardBooted());
}

TEST_F(LoaderBoardTest, FailedLoaderLeavesTheBoardSilentAndThePortFree) {
    CEnvOverride mode("QAN640_LDR_MODE", "fail");
    m_run.m_strPort = m_strPort;
    SLoaderOptions options;
    options.dwPassPauseMs = 50;
    options.dwFinalPauseMs = 0;
    CLoaderRunner runner(m_run, m_log, {}, options);
    EXPECT_EQ(runner.RunBfinUcLinux(), 0);
    EXPECT_FALSE(m_run.m_hLoaderProcess.IsSet());

    CUart uart(300);
    ASSERT_EQ(uart.Open(m_run.m_strPort, uint32_t(m_run.m_nBaudRate)), 1);
    EXPECT_FALSE(SeePrompt(uart, 1500ms));
    EXPECT_FALSE(BoardBooted());
}

#include "links/Uart.h"
#include "core/DebugOutput.h"
#include "tests/support/Pty.h"
#include "tests/support/TempWorkDir.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

long long MsSince(steady_clock::time_point t0) {
    return duration_cast<milliseconds>(steady_clock::now() - t0).count();
}

// Collects what goes to the developers' diagnostic channel during a test.
class CapturedDebugOutput {
public:
    CapturedDebugOutput() {
        m_previous = SetDebugOutputSink([this](const std::string& text) { m_strText += text; });
    }
    ~CapturedDebugOutput() { SetDebugOutputSink(m_previous); }
    const std::string& Text() const { return m_strText; }

private:
    std::string m_strText;
    DebugOutputSink m_previous;
};

termios LineSettings(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio{};
    tcgetattr(fd, &tio);
    close(fd);
    return tio;
}

} // namespace

TEST(Uart, ReadsEveryByteValueAndWritesExactBytes) {
    CPtyPair pty;
    CUart uart(300);
    ASSERT_EQ(uart.Open(pty.SlavePath(), 57600), 1);
    EXPECT_EQ(uart.IsOpen(), 1);

    pty.Send(std::string("\x00\xff\x7f\x80", 4));
    EXPECT_EQ(uart.ReadByte(), 0);
    EXPECT_EQ(uart.ReadByte(), 255);
    EXPECT_EQ(uart.ReadByte(), 127);
    EXPECT_EQ(uart.ReadByte(), 128);

    const std::string command = "tftp 0x1000000 u-boot_2_lote.ldr\r\n";
    EXPECT_EQ(uart.Write(command.data(), uint16_t(command.size())), 1);
    EXPECT_EQ(pty.Receive(command.size(), 2s), command);
    EXPECT_EQ(uart.Close(), 1);
    EXPECT_EQ(uart.IsOpen(), 0);
}

TEST(Uart, AppliesLineSettingsAndStopBits) {
    CPtyPair pty;
    CUart uart(300);
    ASSERT_EQ(uart.Open(pty.SlavePath(), 57600), 1);
    termios tio = LineSettings(pty.SlavePath());
    EXPECT_EQ(cfgetospeed(&tio), B57600);
    EXPECT_EQ(cfgetispeed(&tio), B57600);
    EXPECT_EQ(tio.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u) << "the line must be raw";

    uart.SetStopBits(2);
    EXPECT_NE(LineSettings(pty.SlavePath()).c_cflag & CSTOPB, 0u);
    uart.SetStopBits(1);
    EXPECT_EQ(LineSettings(pty.SlavePath()).c_cflag & CSTOPB, 0u);
    uart.SetStopBits(0);
    EXPECT_NE(LineSettings(pty.SlavePath()).c_cflag & CSTOPB, 0u);
}

TEST(Uart, IdleReadGivesUpAfterTheTimeout) {
    CPtyPair pty;
    CUart uart(300);
    ASSERT_EQ(uart.Open(pty.SlavePath(), 57600), 1);
    auto t0 = steady_clock::now();
    EXPECT_EQ(uart.ReadByte(), -2);
    long long ms = MsSince(t0);
    EXPECT_GE(ms, 250);
    EXPECT_LT(ms, 1500);

    // A byte that arrives during the wait ends it at once. The byte is sent only once the read is under
    // way (200 ms after it began), so it cannot already be waiting in the queue.
    CUart slow(5000);
    ASSERT_EQ(uart.Close(), 1);
    ASSERT_EQ(slow.Open(pty.SlavePath(), 57600), 1);
    std::atomic<bool> bReadStarted{false};
    std::thread sender([&] {
        while (!bReadStarted)
            std::this_thread::yield();
        std::this_thread::sleep_for(200ms);
        pty.Send("Q");
    });
    t0 = steady_clock::now();
    bReadStarted = true;
    int ch = slow.ReadByte();
    ms = MsSince(t0);
    sender.join();
    EXPECT_EQ(ch, 'Q');
    EXPECT_GE(ms, 150) << "the byte came before the wait";
    EXPECT_LT(ms, 2000) << "the byte did not end the 5 s wait";

    // A read with its own time-out waits that long, not the port's.
    pty.Send("R");
    EXPECT_EQ(slow.ReadByteWithin(20), 'R');
    t0 = steady_clock::now();
    EXPECT_EQ(slow.ReadByteWithin(20), -2);
    EXPECT_LT(MsSince(t0), 2000);
}

TEST(Uart, OpenIsExclusiveAndPausesFirst) {
    CPtyPair pty;
    CUart first(300), second(300);
    auto t0 = steady_clock::now();
    ASSERT_EQ(first.Open(pty.SlavePath(), 57600), 1);
    EXPECT_GE(MsSince(t0), 490) << "every open waits half a second first";

    CapturedDebugOutput debug;
    EXPECT_EQ(second.Open(pty.SlavePath(), 57600), 0);
    EXPECT_EQ(second.IsOpen(), 0);
    EXPECT_EQ(debug.Text().rfind("OpenUart error\n", 0), 0u) << debug.Text();

    // Once released, the port opens again; reopening a ready object releases its old device first.
    EXPECT_EQ(first.Close(), 1);
    EXPECT_EQ(second.Open(pty.SlavePath(), 57600), 1);
    EXPECT_EQ(second.Open(pty.SlavePath(), 57600), 1);
}

TEST(Uart, OpenFailsOnMissingPathOrNonSerialFile) {
    CapturedDebugOutput debug;
    CUart uart(300);
    EXPECT_EQ(uart.Open("/dev/qan640-no-such-port", 57600), 0);
    EXPECT_EQ(debug.Text().rfind("OpenUart error\n", 0), 0u);
    EXPECT_GT(debug.Text().size(), std::string("OpenUart error\n").size()) << "the system's reason follows";
    EXPECT_EQ(uart.IsOpen(), 0);
    EXPECT_EQ(uart.ReadByte(), -1);

    QTemporaryDir dir;
    QString plain = dir.filePath("not-a-port");
    QFile file(plain);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    EXPECT_EQ(uart.Open(plain.toStdString(), 57600), 0);
}

// A name with "/" is a path, relative to the working directory; the same name without it is a device.
TEST(Uart, NameWithSlashIsAPathAndBareNameIsADevice) {
    CPtyPair pty;
    CTempWorkDir dir;
    ASSERT_TRUE(QFile::link(QString::fromStdString(pty.SlavePath()), "bench port; $(x)"));
    CUart uart(300);
    EXPECT_EQ(uart.Open("./bench port; $(x)", 57600), 1);
    EXPECT_EQ(uart.Close(), 1);

    CapturedDebugOutput debug;
    EXPECT_EQ(uart.Open("bench port; $(x)", 57600), 0) << "/dev/bench port; $(x) does not exist";
}

TEST(Uart, NeverOpenedObjectRefusesQuietly) {
    CUart uart(300);
    auto t0 = steady_clock::now();
    EXPECT_EQ(uart.ReadByte(), -1);
    EXPECT_LT(MsSince(t0), 100) << "no wait when the port is not ready";
    EXPECT_EQ(uart.Write("x", 1), 0);
    EXPECT_EQ(uart.Write("", 0), 1) << "zero length succeeds whatever the state";
    EXPECT_EQ(uart.Close(), 1);
}

TEST(Uart, HangUpMakesReadsFailAtOnce) {
    CPtyPair pty;
    CUart uart(300);
    ASSERT_EQ(uart.Open(pty.SlavePath(), 57600), 1);
    pty.Send("ab");
    EXPECT_EQ(uart.ReadByte(), 'a');
    pty.HangUp();
    EXPECT_EQ(uart.ReadByte(), 'b') << "bytes received before the hang-up are still delivered";
    auto t0 = steady_clock::now();
    // Failed, not quiet: a vanished line never passes for a board that is idle.
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(uart.ReadByte(), -3);
    EXPECT_LT(MsSince(t0), 300) << "20 reads on a vanished line must not each wait out the time-out";
}

TEST(Uart, WriteThatIsNeverDrainedFailsWithinTheLimit) {
    CPtyPair pty;
    CUart uart(300);
    ASSERT_EQ(uart.Open(pty.SlavePath(), 57600), 1);
    std::string block(65535, 'x');
    long long failedAfterMs = -1;
    for (int i = 0; i < 64 && failedAfterMs < 0; ++i) {
        auto t0 = steady_clock::now();
        if (uart.Write(block.data(), uint16_t(block.size())) == 0)
            failedAfterMs = MsSince(t0);
    }
    ASSERT_GE(failedAfterMs, 0) << "the far end never reads; a write must fail";
    EXPECT_GE(failedAfterMs, 900);
    EXPECT_LT(failedAfterMs, 2500);
}

// Every wait of the serial port ends promptly when the window asks the run to stop.
TEST(Uart, StopRequestEndsEveryWait) {
    CPtyPair pty;
    CStopSource stop;
    CUart uart(60000, stop.Token());
    ASSERT_EQ(uart.Open(pty.SlavePath(), 57600), 1);

    std::thread stopper([&] {
        std::this_thread::sleep_for(200ms);
        stop.RequestStop();
    });
    auto t0 = steady_clock::now();
    EXPECT_EQ(uart.ReadByte(), -2);
    stopper.join();
    EXPECT_LT(MsSince(t0), 1500) << "a read with a 60 s time-out must end on the stop request";
    t0 = steady_clock::now();
    EXPECT_EQ(uart.ReadByteWithin(60000), -2);
    EXPECT_LT(MsSince(t0), 200);

    // Once stopped, neither the pause before an open nor a blocked write holds the worker up.
    t0 = steady_clock::now();
    EXPECT_EQ(uart.Open(pty.SlavePath(), 57600), 0);
    EXPECT_LT(MsSince(t0), 200);
}

TEST(Uart, StopRequestEndsABlockedWrite) {
    CPtyPair pty;
    CStopSource stop;
    CUart uart(300, stop.Token());
    ASSERT_EQ(uart.Open(pty.SlavePath(), 57600), 1);
    std::string block(65535, 'x');
    // Fill the line until a write fails; the far end never reads, so the next write waits.
    bool bFull = false;
    for (int i = 0; i < 64 && !bFull; ++i)
        bFull = uart.Write(block.data(), uint16_t(block.size())) == 0;
    ASSERT_TRUE(bFull) << "the line never filled up";

    std::thread stopper([&] {
        std::this_thread::sleep_for(100ms);
        stop.RequestStop();
    });
    auto t0 = steady_clock::now();
    EXPECT_EQ(uart.Write(block.data(), uint16_t(block.size())), 0);
    EXPECT_LT(MsSince(t0), 700) << "the 1000 ms write limit must not be waited out after a stop";
    stopper.join();
}

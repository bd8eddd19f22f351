// The exchanges over the real serial port against the virtual board: whole conversations, and each of the
// board's faults making the right exchange fail.
#include "links/Uart.h"
#include "provisioning/BootMonitorDialogue.h"
#include "tests/dialogue/SimProcess.h"

#include <QTemporaryDir>
#include <chrono>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <thread>

using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

constexpr const char* kImage = "u-boot_2_lote.ldr";
constexpr const char* kMac = "00:1A:2B:3c:4d:5e";
constexpr size_t kImageSize = 672;

// One board, one open port and one dialogue. The port's read time-out is the test's choice: failing
// exchanges spend their budgets in failed reads, so a short time-out keeps those tests short.
struct SBoardSession {
    QTemporaryDir dir;
    std::unique_ptr<CSimProcess> sim;
    std::unique_ptr<CUart> uart;
    CLogConsole log;
    std::unique_ptr<CBootMonitorDialogue> dlg;

    SBoardSession(std::vector<std::string> extra, uint32_t timeoutMs) {
        std::mt19937 rng(7);
        std::string image(kImageSize, '\0');
        for (auto& c : image)
            c = char(rng());
        std::ofstream(Path(kImage), std::ios::binary) << image;

        std::vector<std::string> args = FastBoardArgs();
        args.insert(args.end(),
                    {"--start-in-monitor", "--bootdelay", "1", "--tftp-dir", Path(""), "--transcript",
                     Transcript(), "--hook", "echo \"$QAN640_MAC\" >> '" + Path("hook.txt") + "'"});
        args.insert(args.end(), extra.begin(), extra.end());
        sim = std::make_unique<CSimProcess>(args);
        uart = std::make_unique<CUart>(timeoutMs);
        if (!sim->Port().empty() && uart->Open(sim->Port(), 57600))
            dlg = std::make_unique<CBootMonitorDialogue>(*uart, log, kImage);
    }

    std::string Path(const std::string& name) const { return dir.path().toStdString() + "/" + name; }
    std::string Transcript() const { return Path("transcript.txt"); }

    // The MAC addresses the hook was given, waiting a little for the last boot's hook to have run.
    std::vector<std::string> HookMacs(size_t atLeast) const {
        std::vector<std::string> macs;
        for (auto deadline = steady_clock::now() + 3s; steady_clock::now() < deadline;) {
            macs.clear();
            std::ifstream in(Path("hook.txt"));
            for (std::string line; std::getline(in, line);)
                macs.push_back(line);
            if (macs.size() >= atLeast)
                break;
            std::this_thread::sleep_for(20ms);
        }
        return macs;
    }

    // Runs the exchanges of a provisioning run in order, up to and including `last` (1-based), and
    // returns the number of the first exchange that failed, or 0; nothing after `last` runs. With
    // `shortTimeoutMs`, the last exchange reads with that time-out, so that a budget of failed reads is
    // spent in moments; the exchanges before it keep the session's time-out, so a busy machine cannot make
    // them fail. m_logAt receives the length of the log when each exchange returned.
    int RunUpTo(int last, std::string& size, uint32_t shortTimeoutMs = 0) {
        const std::function<bool()> exchanges[] = {
            [&] { return dlg->WaitPrompt(); },          [&] { return dlg->SendTftp(size) && !size.empty(); },
            [&] { return dlg->SendEepromWrite(size); }, [&] { return dlg->WaitWriteFinished(); },
            [&] { return dlg->SendReboot(); },          [&] { return dlg->WaitPrompt(); },
            [&] { return dlg->SendBootargs(kMac); },    [&] { return dlg->SendSaveenv(); },
            [&] { return dlg->SendReset(); },
        };
        struct SRestore {
            CUart& u;
            uint32_t ms;
            ~SRestore() { u.m_dwTimeout = ms; }
        } restore{*uart, uart->m_dwTimeout};
        m_logAt.clear();
        for (int step = 1; step <= last && step <= int(std::size(exchanges)); ++step) {
            if (shortTimeoutMs && step == last)
                uart->m_dwTimeout = shortTimeoutMs;
            bool bOk = exchanges[step - 1]();
            m_logAt.push_back(log.m_strLog.size());
            if (!bOk)
                return step;
        }
        return 0;
    }

    // What the log gained during exchange `step` of the last RunUpTo.
    std::string LogOf(int step) const {
        size_t from = step > 1 ? m_logAt[size_t(step) - 2] : 0;
        return log.m_strLog.substr(from, m_logAt[size_t(step) - 1] - from);
    }

    std::vector<size_t> m_logAt;
};

// Indices of RunUpTo's exchanges.
enum { kWaitPrompt = 1, kTftp, kEeprom, kWriteFinished, kReboot, kWaitPrompt2, kBootargs, kSaveenv, kReset };

} // namespace

TEST(DialogueOnBoard, WholeConversationProgramsTheImageAndTheMac) {
    SBoardSession s({}, 300);
    ASSERT_TRUE(s.dlg);
    std::string size;
    EXPECT_EQ(s.RunUpTo(kReset, size), 0) << s.log.m_strLog;
    EXPECT_EQ(size, "0x2a0");

    auto cmds = TranscriptCommands(s.Transcript());
    std::vector<std::string> expected = {
        "tftp 0x1000000 u-boot_2_lote.ldr",
        "eeprom write 0x1000000 0x0 0x2a0",
        "reboot",
        std::string("setenv bootargs root=/dev/mtdblock1 rw rootfstype=jffs2 earlyprintk=serial,uart0,57600 "
                    "ethaddr=") +
            kMac,
        "saveenv",
        "reset",
    };
    // Empty lines come between (the LF of each CR LF, WaitPrompt's LFs); the commands come in this order.
    std::vector<std::string> nonEmpty;
    for (const auto& c : cmds)
        if (!c.empty())
            nonEmpty.push_back(c);
    EXPECT_EQ(nonEmpty, expected);

    // The board booted Linux twice: after the power cycle without a MAC, after the reset with the saved one.
    auto macs = s.HookMacs(2);
    ASSERT_EQ(macs.size(), 2u);
    EXPECT_EQ(macs[0], "");
    EXPECT_EQ(macs[1], kMac);

    // The LF of the write's CR LF repeated it; the repetition was read to its end before the power cycle.
    EXPECT_NE(s.LogOf(kWriteFinished).find("write: addr 01000000  off 0000  count 672 ... done\r\r\nQAN640>"),
              std::string::npos)
        << s.LogOf(kWriteFinished);

    // Everything the board said is in the log, line ends stored as CR LF.
    EXPECT_NE(s.log.m_strLog.find("Bytes transferred = 672 (2a0 hex)\r\r\n"), std::string::npos);
    EXPECT_NE(s.log.m_strLog.find("root:/>"), std::string::npos);
}

TEST(DialogueOnBoard, LinePacedBoardAndBareLineEnds) {
    // At 57600 baud, with the plainest console: no echo, no blank after the prompt, CR LF as one line end.
    SBoardSession s({"--pace", "line", "--simple"}, 300);
    ASSERT_TRUE(s.dlg);
    std::string size;
    EXPECT_EQ(s.RunUpTo(kEeprom, size), 0) << s.log.m_strLog;
    EXPECT_EQ(size, "0x2a0");
}

// A board still starting keeps WaitPrompt's line ends and, once up, answers each with a prompt after the
// one WaitPrompt takes. Every command must still be answered by the board's reply to that command: the
// answer each exchange took comes after the board's echo of its command.
struct SSlowCase {
    const char* name;
    std::vector<std::string> args;
};
// CTest lists a case by what this prints: its name, the same in every build.
void PrintTo(const SSlowCase& c, std::ostream* pOut) {
    *pOut << c.name;
}

class SlowBoardTest : public ::testing::TestWithParam<SSlowCase> {};

TEST_P(SlowBoardTest, StaleAnswersAreNotTakenForTheNextCommand) {
    // Longer than several of WaitPrompt's failed reads (300 ms each), counted from the port's opening.
    SBoardSession s(GetParam().args, 300);
    ASSERT_TRUE(s.dlg);
    std::string size;
    ASSERT_EQ(s.RunUpTo(kReset, size), 0) << s.log.m_strLog;
    EXPECT_EQ(size, "0x2a0");
    const std::pair<int, std::string> echoes[] = {
        {kTftp, "tftp 0x1000000 u-boot_2_lote.ldr\r"},
        {kEeprom, "eeprom write 0x1000000 0x0 0x2a0\r"},
        {kBootargs, std::string("ethaddr=") + kMac + "\r"},
        {kSaveenv, "saveenv\r"},
    };
    for (const auto& [step, echo] : echoes)
        EXPECT_NE(s.LogOf(step).find(echo), std::string::npos) << "exchange " << step << ":\n"
                                                               << s.LogOf(step);
    auto macs = s.HookMacs(2);
    ASSERT_EQ(macs.size(), 2u);
    EXPECT_EQ(macs[1], kMac);
}

INSTANTIATE_TEST_SUITE_P(SlowStart, SlowBoardTest,
                         ::testing::Values(SSlowCase{"FirstStage", {"--slow-start-ms", "2000"}},
                                           SSlowCase{"MonitorAfterReboot", {"--slow-restart-ms", "1500"}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DialogueOnBoard, MissingImageFailsTheTransfer) {
    SBoardSession s({}, 300);
    ASSERT_TRUE(s.dlg);
    CBootMonitorDialogue other(*s.uart, s.log, "nao_existe.ldr");
    ASSERT_TRUE(other.WaitPrompt());
    std::string size;
    EXPECT_FALSE(other.SendTftp(size));
    EXPECT_EQ(size, "");
    EXPECT_NE(s.log.m_strLog.find("TFTP error: 'File not found' (1)"), std::string::npos);
}

// ---- Faults: the exchange of that stage fails, the ones before it pass ----

struct SFaultCase {
    const char* name;
    std::vector<std::string> args;
    int nFailingStep;
};
// CTest lists a case by what this prints: its name, the same in every build.
void PrintTo(const SFaultCase& c, std::ostream* pOut) {
    *pOut << c.name;
}

class BoardFaultTest : public ::testing::TestWithParam<SFaultCase> {};

TEST_P(BoardFaultTest, TheExchangeOfThatStageFails) {
    const SFaultCase& c = GetParam();
    // The failing exchange reads with a 5 ms time-out, which turns its budget into a second or so.
    SBoardSession s(c.args, 300);
    ASSERT_TRUE(s.dlg);
    std::string size;
    EXPECT_EQ(s.RunUpTo(c.nFailingStep, size, 5), c.nFailingStep) << s.log.m_strLog.substr(0, 4000);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BoardFaultTest,
    ::testing::Values(SFaultCase{"NoPrompt", {"--fault", "no-prompt"}, kWaitPrompt},
                      SFaultCase{"TftpError", {"--fault", "tftp-error"}, kTftp},
                      SFaultCase{"TftpNoSize", {"--fault", "tftp-no-size"}, kTftp},
                      SFaultCase{"EepromNoPromptAtLineStart", {"--fault", "eeprom-no-prompt"}, kEeprom},
                      SFaultCase{
                          "NoShellAfterPowerCycle", {"--fault", "no-shell-after-power-cycle"}, kReboot},
                      SFaultCase{"NoPromptAfterReboot", {"--fault", "no-prompt-after-reboot"}, kWaitPrompt2},
                      SFaultCase{"SetenvNotConfirmed", {"--fault", "setenv-no-confirm"}, kBootargs},
                      SFaultCase{"SaveenvWithoutDone", {"--fault", "saveenv-no-done"}, kSaveenv},
                      SFaultCase{"NoShellAfterReset", {"--fault", "no-shell-after-reset"}, kReset},
                      SFaultCase{"GarbageBeforePrompts", {"--fault", "garbage=3000"}, kEeprom}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DialogueOnBoard, TftpErrorAndMissingSizeFailDifferently) {
    {
        SBoardSession s({"--fault", "tftp-error"}, 300);
        ASSERT_TRUE(s.dlg);
        ASSERT_TRUE(s.dlg->WaitPrompt());
        std::string size;
        EXPECT_FALSE(s.dlg->SendTftp(size));
    }
    {
        SBoardSession s({"--fault", "tftp-no-size"}, 300);
        ASSERT_TRUE(s.dlg);
        ASSERT_TRUE(s.dlg->WaitPrompt());
        std::string size;
        EXPECT_TRUE(s.dlg->SendTftp(size));
        EXPECT_EQ(size, "");
    }
}

TEST(DialogueOnBoard, GarbageBeforeThePromptStillSatisfiesWaitPromptAndTftp) {
    SBoardSession s({"--fault", "garbage=3000"}, 5);
    ASSERT_TRUE(s.dlg);
    EXPECT_TRUE(s.dlg->WaitPrompt());
    std::string size;
    EXPECT_TRUE(s.dlg->SendTftp(size));
    EXPECT_EQ(size, "0x2a0");
    EXPECT_FALSE(s.dlg->SendEepromWrite(size));
}

TEST(DialogueOnBoard, VanishedDeviceFailsTheExchangeAtOnce) {
    // With the real 300 ms time-out the budget would last a minute; a vanished device fails every read
    // without waiting.
    SBoardSession s({"--fault", "hangup=tftp"}, 300);
    ASSERT_TRUE(s.dlg);
    ASSERT_TRUE(s.dlg->WaitPrompt());
    auto t0 = steady_clock::now();
    std::string size;
    EXPECT_FALSE(s.dlg->SendTftp(size));
    EXPECT_LT(steady_clock::now() - t0, 10s);
    // Bytes not yet read when the device went are lost with it, so the board's own record tells the stage.
    bool bHungUpInTransfer = false;
    for (const auto& e : ReadTranscript(s.Transcript()))
        bHungUpInTransfer = bHungUpInTransfer || e.strText.starts_with("hang-up at tftp");
    EXPECT_TRUE(bHungUpInTransfer);
    EXPECT_FALSE(s.dlg->SendEepromWrite("0x2a0"));
}

TEST(DialogueOnBoard, StopRequestEndsAWaitOnTheRealPort) {
    CStopSource source;
    QTemporaryDir dir;
    CSimProcess sim({"--pace", "full", "--start-in-monitor", "--fault", "no-prompt"});
    ASSERT_FALSE(sim.Port().empty());
    CUart uart(300, source.Token());
    ASSERT_EQ(uart.Open(sim.Port(), 57600), 1);
    CLogConsole log;
    CBootMonitorDialogue dlg(uart, log, kImage, source.Token());
    std::thread stopper([&] {
        std::this_thread::sleep_for(400ms);
        source.RequestStop();
    });
    auto t0 = steady_clock::now();
    EXPECT_FALSE(dlg.WaitPrompt());
    auto elapsed = steady_clock::now() - t0;
    stopper.join();
    EXPECT_LT(elapsed, 2s); // the budget alone would be a minute
}

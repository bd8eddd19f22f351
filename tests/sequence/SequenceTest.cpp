// Whole provisioning runs against the virtual board and the stand-in loader: every way a run ends, a stop
// at every stage and the device vanishing at every stage. ARP answers come from a fake service, except in
// the runs inside network namespaces of the test's own, where the board's Linux hook gives the board's end
// of a veth pair the MAC address it stored.

#include "tests/sequence/SequenceFixture.h"

#include "core/Cp1252.h"
#include "tests/support/Locale.h"

#include <QThread>
#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono;
using namespace std::chrono_literals;

// The whole job inside the test's own namespaces: the real ARP service reads what the board stored.
TEST_F(SequenceTest, HappyPathThroughTheNetwork) {
    for (const char* answer : {"", "differs"}) {
        SCOPED_TRACE(answer);
        CNetnsLab lab;
        REQUIRE_LAB(lab);
        // Until the hook has run, the board answers as a board without an address yet.
        ASSERT_TRUE(lab.PlugBoard("00:ff:ff:ff:ff:ff"));
        std::string ns = lab.BoardNs();
        StartBoard({"--hook", MacHookFor(ns, *answer ? "02:00:00:00:00:99" : "$QAN640_MAC")});
        m_pArp = nullptr;
        m_op.m_boxes.clear();
        m_op.m_macAnswers = {kTypedMac};
        SRunResult result = Run(lab.HostNs());

        std::vector<std::pair<std::string, int>> boxes;
        for (const SBox& box : m_op.m_boxes)
            boxes.push_back({box.strText, box.nType});
        bool bOk = !*answer;
        std::vector<std::pair<std::string, int>> expected = {
            {CProvisioningRun::kMsgPowerCycle, 64},
            {kTypedMac, 0},
            {bOk ? RunEndRow(ERunEnd::Verified).pszBox : RunEndRow(ERunEnd::MacDiffers).pszBox,
             bOk ? 64 : 16}};
        EXPECT_EQ(boxes, expected) << m_log.m_strLog;
        EXPECT_EQ(result.Outcome(), bOk ? ERunOutcome::Ok : ERunOutcome::Failed);
        EXPECT_EQ(result.strMacRead, bOk ? "02:3a:7c:1a:2b:3c" : "02:00:00:00:00:99");
        std::vector<std::string> expectedCommands = {
            "tftp 0x1000000 u-boot_2_lote.ldr",
            "eeprom write 0x1000000 0x0 0x3e8",
            "mw.b 0x1010000 0x0 0x3e8",
            "eeprom read 0x1010000 0x0 0x3e8",
            "cmp.b 0x1000000 0x1010000 0x3e8",
            "reboot",
            "setenv bootargs root=/dev/mtdblock1 rw rootfstype=jffs2 earlyprintk=serial,uart0,57600 "
            "ethaddr=" +
                std::string(kTypedMac),
            "saveenv",
            "reset"};
        EXPECT_EQ(Commands(), expectedCommands);
        for (const char* text :
             {"Executando BfinUcLinux \r\n", "QAN640 configurando com sucesso\r\n",
              "Verificando o mac address\r\n", "\r\nLendo MAC address:", "\r\nMAC address lido:"})
            EXPECT_NE(m_log.m_strLog.find(text), std::string::npos) << text;
        ExpectCleanEnd();
        m_pBoard.reset();
        m_log.ClearLog();
    }
}

// Each closing message with its type, from the failure the board (or operator, or ARP service) plays. Boards
// that answer like U-Boot: a refused EEPROM write over an image from an earlier provisioning, a save whose
// write failed after its erase said "done", tftp failures in U-Boot's words.
TEST_F(SequenceTest, EveryFailureEndsWithItsOwnBox) {
    struct SCase {
        const char* pszName;
        std::vector<std::string> board;
        std::function<void(SequenceTest&)> setup;
        ERunEnd eEnd;
        int nBoxStage = RUN_STAGE_NONE; // for an end of two stages: the one it must come in
        const char* pszDetail = "";     // the box's last line, in the log too
    };
    auto none = [](SequenceTest&) {};
    std::vector<SCase> cases = {
        {"loader",
         {},
         [](SequenceTest&) { setenv("QAN640_LDR_MODE", "fail", 1); },
         ERunEnd::LoaderFailed,
         RUN_STAGE_NONE,
         "bfin-uclinux-ldr terminou com o código 1"},
        {"no prompt", {"--fault", "no-prompt"}, none, ERunEnd::NoPrompt},
        {"tftp error", {"--fault", "tftp-error"}, none, ERunEnd::TftpFailed},
        {"tftp file not found", {"--fault", "tftp-not-found"}, none, ERunEnd::TftpFailed},
        {"tftp server silent",
         {"--fault", "tftp-server-silent", "--net-timeout-ms", "20"},
         none,
         ERunEnd::TftpFailed},
        {"tftp no host", {"--fault", "tftp-no-host", "--net-timeout-ms", "20"}, none, ERunEnd::TftpFailed},
        {"no size", {"--fault", "tftp-no-size"}, none, ERunEnd::NoTransferSize},
        {"eeprom", {"--fault", "eeprom-no-prompt"}, none, ERunEnd::EepromFailed, RUN_STAGE_EEPROM},
        {"eeprom command unknown",
         {"--fault", "eeprom-unknown", "--old-image"},
         none,
         ERunEnd::EepromFailed,
         RUN_STAGE_EEPROM},
        // Writes U-Boot answers with "done" although nothing (or not all) was written: only the read-back
        // tells, and the board keeps its old image.
        {"eeprom silent",
         {"--fault", "eeprom-nak", "--old-image"},
         none,
         ERunEnd::EepromNotVerified,
         RUN_STAGE_EEPROM,
         "a EEPROM confere com a imagem em 0 de 1000 bytes"},
        {"eeprom middle block lost",
         {"--fault", "eeprom-nak-middle"},
         none,
         ERunEnd::EepromNotVerified,
         RUN_STAGE_EEPROM,
         "a EEPROM confere com a imagem em 256 de 1000 bytes"},
        // The same failure met while waiting for the board to finish, before the power-cycle box.
        {"repeated write never ends",
         {"--fault", "eeprom-repeat-hangs"},
         none,
         ERunEnd::EepromFailed,
         RUN_STAGE_EEPROM},
        {"no shell", {"--fault", "no-shell-after-power-cycle"}, none, ERunEnd::NoShell},
        {"no prompt after reboot", {"--fault", "no-prompt-after-reboot"}, none, ERunEnd::NoPrompt},
        {"cancelled",
         {},
         [](SequenceTest& t) {
             t.m_op.m_macAnswers = {"", kCancel};
         },
         ERunEnd::MacCancelled},
        {"setenv", {"--fault", "setenv-no-confirm"}, none, ERunEnd::BootargsFailed},
        {"saveenv", {"--fault", "saveenv-no-done"}, none, ERunEnd::SaveenvFailed},
        {"saveenv flash not erased", {"--fault", "saveenv-not-erased"}, none, ERunEnd::SaveenvFailed},
        {"saveenv flash time-out", {"--fault", "saveenv-write-timeout"}, none, ERunEnd::SaveenvFailed},
        {"reset", {"--fault", "no-shell-after-reset"}, none, ERunEnd::ResetFailed},
        // An emulated UART keeps the LF of "reset\r\n" through the reset: it stops the autoboot countdown,
        // the board stays in its monitor and the shell never comes.
        {"reset keeps the line end", {"--keep-input-through-reset"}, none, ERunEnd::ResetFailed},
        {"arp unusable", {}, [](SequenceTest& t) { t.m_fakeArp.m_bUsable = false; }, ERunEnd::ArpUnusable},
        {"other mac",
         {},
         [](SequenceTest& t) {
             t.m_fakeArp.m_answers = {"", "02:3A:7C:1A:2B:3D"};
         },
         ERunEnd::MacDiffers},
        {"verified, any case",
         {},
         [](SequenceTest& t) {
             t.m_fakeArp.m_answers = {"00:ff:FF:ff:ff:ff", "02:3A:7C:1A:2B:3C"};
         },
         ERunEnd::Verified},
        // Last, as it leaves its image: a board provisioned again, its image larger than its SPI EEPROM.
        {"image past the end of an SPI EEPROM",
         {"--eeprom-on-spi", "--old-image"},
         [](SequenceTest& t) {
             std::ofstream(t.m_strDir + "/tftp/u-boot_2_lote.ldr", std::ios::binary)
                 << std::string(300000, 'x');
         },
         ERunEnd::EepromNotVerified,
         RUN_STAGE_EEPROM,
         "a EEPROM confere com a imagem em 0 de 300000 bytes"},
    };
    for (SCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        m_op.m_boxes.clear();
        m_op.m_macAnswers = {kTypedMac};
        m_op.m_nDialogs = 0;
        m_fakeArp.Reset();
        m_dwReadTimeoutMs = 5; // budgets of failed reads run out in a moment
        c.setup(*this);
        StartBoard(c.board);
        SRunResult result = Run();
        unsetenv("QAN640_LDR_MODE");

        ASSERT_FALSE(m_op.m_boxes.empty());
        const SBox& last = m_op.m_boxes.back();
        const SRunEndRow& row = RunEndRow(c.eEnd);
        std::string strBox = std::string(row.pszBox) + (*c.pszDetail ? "\n" : "") + c.pszDetail;
        EXPECT_EQ(last.strText, strBox)
            << m_log.m_strLog.substr(m_log.m_strLog.size() > 3000 ? m_log.m_strLog.size() - 3000 : 0);
        EXPECT_EQ(last.nType, c.eEnd == ERunEnd::Verified ? 64 : 16);
        EXPECT_EQ(result.eEnd, c.eEnd);
        EXPECT_EQ(result.Message(), strBox);
        if (*c.pszDetail) {
            EXPECT_NE(m_log.m_strLog.find(EncodeCp1252(c.pszDetail) + "\r\n"), std::string::npos);
        }
        EXPECT_TRUE(last.nStage == row.nStage || last.nStage == row.nOtherStage) << last.nStage;
        // The record's stage: the one that failed, where its box came; a verified board went through them
        // all.
        EXPECT_EQ(result.nStage, c.eEnd == ERunEnd::Verified ? int(RUN_STAGE_CLOSE) : last.nStage);
        if (c.nBoxStage != RUN_STAGE_NONE) {
            EXPECT_EQ(last.nStage, c.nBoxStage);
        }
        // The operator is told to switch the board off only after a write the board confirmed and finished.
        bool bPowerCycleBox = std::any_of(m_op.m_boxes.begin(), m_op.m_boxes.end(), [](const SBox& box) {
            return box.strText == CProvisioningRun::kMsgPowerCycle;
        });
        EXPECT_EQ(bPowerCycleBox, last.nStage > RUN_STAGE_POWER_CYCLE);
        if (c.eEnd == ERunEnd::NoTransferSize) {
            EXPECT_EQ(Commands().size(), 1u) << "nothing after the transfer";
        }
        if (c.eEnd == ERunEnd::MacCancelled) {
            EXPECT_EQ(m_op.m_nDialogs, 2) << "an OK without address shows the dialog again";
        }
        ExpectCleanEnd();
        m_pBoard.reset();
        m_log.ClearLog();
    }
}

// A write of realistic length and an operator who switches the board off the moment the stage-8 box asks:
// the box comes only once the board is idle, whether the LF of the write's CR LF repeats the write, gets a
// new prompt, or was swallowed during the write. (Shown at the first prompt, as it once was, the box had
// the power cut during the repetition, and the board stayed dark.)
TEST_F(SequenceTest, PowerCycleBoxWaitsForTheBoardToFinishWriting) {
    struct SCase {
        const char* pszName;
        std::vector<std::string> board;
        size_t nWrites; // EEPROM writes the board finished
    } cases[] = {
        {"repeated", {}, 2},
        {"no repeat", {"--no-repeat"}, 1},
        {"line end swallowed", {"--eeprom-polls-console"}, 1},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        m_op.m_boxes.clear();
        m_op.m_macAnswers = {kTypedMac};
        m_fakeArp.Reset();
        m_dwReadTimeoutMs = 10; // the repetition (3 s) stays within the budget of 400 failed reads
        std::vector<std::string> board = {"--eeprom-ms", "3000", "--power-cycle-on-signal"};
        board.insert(board.end(), c.board.begin(), c.board.end());
        StartBoard(board);
        m_op.m_powerCycle = [this] { m_pBoard->Signal(SIGUSR1); };
        SRunResult result = Run();
        m_op.m_powerCycle = nullptr;

        EXPECT_EQ(result.eEnd, ERunEnd::Verified)
            << m_log.m_strLog.substr(m_log.m_strLog.size() > 3000 ? m_log.m_strLog.size() - 3000 : 0);
        size_t nWrites = 0;
        bool bLost = false;
        for (const STranscriptEntry& e : ReadTranscript(m_strDir + "/transcript")) {
            nWrites += e.strText.starts_with("EEPROM written") ? 1 : 0;
            bLost = bLost || e.strText.starts_with("power lost during the EEPROM write");
        }
        EXPECT_EQ(nWrites, c.nWrites);
        EXPECT_FALSE(bLost);
        EXPECT_NE(m_log.m_strLog.find("Aguardando a QAN640 terminar de gravar a EEPROM\r\n"),
                  std::string::npos);
        m_pBoard.reset();
        m_log.ClearLog();
    }
}

// Operators power the board on first and press OK last: a boot log four times the tty's line buffer, from
// a board whose adapter drops what a throttled port cannot take, arrives whole while the box stays open.
TEST_F(SequenceTest, BootLogIsReadWhileThePowerCycleBoxIsOpen) {
    m_op.m_macAnswers = {kTypedMac};
    m_dwReadTimeoutMs = 20; // a lost shell prompt fails within 16 s
    StartBoard({"--boot-log-kib", "16", "--unread-limit", "4000", "--power-cycle-on-signal"});
    int nUnreadAtOk = -1; // what waits unread in the port as the operator presses OK
    m_op.m_powerCycle = [&] {
        m_pBoard->Signal(SIGUSR1);
        std::this_thread::sleep_for(5s); // 16 KiB take about 3 s at 57600 baud
        int fd = open(m_run.m_strPort.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0 && ioctl(fd, FIONREAD, &nUnreadAtOk) != 0)
            nUnreadAtOk = -1;
        if (fd >= 0)
            close(fd);
    };
    SRunResult result = Run();
    m_op.m_powerCycle = nullptr;

    EXPECT_EQ(result.eEnd, ERunEnd::Verified)
        << m_log.m_strLog.substr(m_log.m_strLog.size() > 3000 ? m_log.m_strLog.size() - 3000 : 0);
    EXPECT_GE(nUnreadAtOk, 0);
    EXPECT_LT(nUnreadAtOk, 256) << "the port is read while the box is open";
    // The boot after the power cycle (read while the box was open) as whole as the one after the reset.
    const std::string& strLog = m_log.m_strLog;
    size_t nFirstShell = strLog.find("QAN640 shell.");
    ASSERT_NE(nFirstShell, std::string::npos);
    auto calls = [&](size_t nFrom, size_t nTo) {
        size_t n = 0;
        for (size_t i = strLog.find("initcall initcall_", nFrom); i < nTo;
             i = strLog.find("initcall initcall_", i + 1))
            ++n;
        return n;
    };
    EXPECT_GT(calls(0, nFirstShell), 100u);
    EXPECT_EQ(calls(0, nFirstShell), calls(nFirstShell, std::string::npos));
    ExpectCleanEnd();
}

// A loader or image that is not there ends the run at its first stage, before anything reaches the board,
// with the set-up's box naming what is missing (in the log too). The C library's reasons come in the
// operator's language, and the Windows-1252 log shows them right, a port lock's too.
TEST_F(SequenceTest, SetUpErrorsEndTheRunBeforeAnythingIsSent) {
    CTestLocale locale;
    if (!locale.Ready())
        GTEST_SKIP() << "cannot build the pt_BR.UTF-8 locale (localedef and the locales package needed)";
    ASSERT_TRUE(locale.Use());
    const std::string strImage = CLoaderRunner::kImagePath;
    struct {
        const char* pszName;
        std::string strProgram;
        bool bImage;
        std::string strDetail;
    } const cases[] = {
        {"no loader", "no-such-ldr", true, "no-such-ldr não encontrado no PATH"},
        {"loader not executable", m_strDir + "/ldr", true, m_strDir + "/ldr: Permissão negada"},
        {"no image", "bfin-uclinux-ldr", false, "imagem " + strImage + ": Arquivo ou diretório inexistente"},
    };
    WriteFile(m_strDir + "/ldr", "#!/bin/sh\n");
    const std::string strImageBytes = ReadFile(strImage);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszName);
        m_op.m_boxes.clear();
        m_log.ClearLog();
        StartBoard({});
        if (c.bImage)
            WriteFile(strImage, strImageBytes);
        else
            unlink(strImage.c_str());
        SRunOptions options = WholeRunOptions(m_pArp);
        options.loader.strProgram = c.strProgram;
        CProvisioningRun run(m_run, m_log, m_op, {}, options);
        SRunResult result = run.RunProvisioning();

        EXPECT_EQ(result.eEnd, ERunEnd::SetupFailed);
        EXPECT_EQ(result.nStage, RUN_STAGE_START);
        EXPECT_EQ(result.strDetail, c.strDetail);
        ASSERT_EQ(m_op.m_boxes.size(), 1u);
        EXPECT_EQ(m_op.m_boxes[0].strText, RunEndRow(ERunEnd::SetupFailed).pszBox + ("\n" + c.strDetail));
        EXPECT_EQ(m_log.m_strLog, EncodeCp1252(c.strDetail) + "\r\n");
        m_pBoard.reset(); // its transcript is complete once it has ended
        EXPECT_EQ(Commands(), std::vector<std::string>());
        for (const STranscriptEntry& e : ReadTranscript(m_strDir + "/transcript"))
            EXPECT_EQ(e.strText.find("first-stage image received"), std::string::npos) << e.strText;
        ExpectCleanEnd(false);
    }
    // The port's lock in a folder that is not there.
    WriteFile(strImage, strImageBytes);
    StartBoard({});
    m_log.ClearLog();
    m_strPortLockDir = m_strDir + "/no-lock-folder";
    SRunResult result = Run();
    m_strPortLockDir.clear();
    EXPECT_EQ(result.eEnd, ERunEnd::PortNotReserved);
    EXPECT_EQ(m_log.m_strLog.rfind("Port lock not taken: " + m_strDir + "/no-lock-folder/", 0), 0u)
        << m_log.m_strLog;
    EXPECT_TRUE(m_log.m_strLog.ends_with(": Arquivo ou diret\xF3rio inexistente\r\n")) << m_log.m_strLog;
    // What the Windows-1252 log holds is the operator's text, not UTF-8 bytes read as Windows-1252.
    EXPECT_EQ(EncodeCp1252("Permissão negada"), "Permiss\xE3o negada");
}

// The port cannot be opened after a loader that did not need it.
TEST_F(SequenceTest, PortThatCannotBeOpened) {
    m_run.m_strPort = m_strDir + "/no-such-port";
    SRunOptions options = WholeRunOptions(nullptr);
    options.loader.strProgram = "true";
    CProvisioningRun run(m_run, m_log, m_op, {}, options);
    SRunResult result = run.RunProvisioning();
    ASSERT_EQ(m_op.m_boxes.size(), 1u);
    EXPECT_EQ(m_op.m_boxes[0].strText, RunEndRow(ERunEnd::OpenFailed).pszBox);
    EXPECT_EQ(m_op.m_boxes[0].nType, 16);
    EXPECT_EQ(result.nStage, RUN_STAGE_OPEN);
}

// No answer, or the "no address yet" answer: the loop asks again, once a second, until stopped.
TEST_F(SequenceTest, UnansweredVerificationGoesOnUntilStopped) {
    m_fakeArp.m_answers = {"", "00:FF:FF:FF:FF:FF", ""};
    StartBoard({});
    std::thread stopper([&] {
        while (m_fakeArp.m_nQueries < 4 && !m_stop.StopRequested())
            std::this_thread::sleep_for(20ms);
        m_op.m_tStop = steady_clock::now();
        m_stop.RequestStop();
    });
    SRunResult result = Run();
    stopper.join();
    EXPECT_EQ(result.Outcome(), ERunOutcome::Stopped);
    size_t nReads = 0;
    for (size_t pos = 0; (pos = m_log.m_strLog.find("\r\nLendo MAC address:", pos)) != std::string::npos;
         ++pos)
        ++nReads;
    EXPECT_GE(nReads, 4u);
    EXPECT_EQ(m_op.m_boxes.size(), 2u) << "only the stage-8 box and the MAC box";
    ExpectCleanEnd();
}

// A stop at every stage ends the run promptly, with no box of its own and nothing sent afterwards.
TEST_F(SequenceTest, StopAtEveryStage) {
    struct SCase {
        int nStage;
        std::vector<std::string> board;
        bool bHold;         // a box or the dialog is open when the stop comes
        const char* pszArp; // the fake service's answer
    };
    std::vector<SCase> cases = {
        {RUN_STAGE_LOADER, {}, false, ""},
        {RUN_STAGE_PROMPT, {"--fault", "no-prompt"}, false, ""},
        {RUN_STAGE_TFTP, {"--tftp-ms", "60000"}, false, ""},
        {RUN_STAGE_EEPROM, {"--eeprom-ms", "60000"}, false, ""},
        {RUN_STAGE_POWER_CYCLE, {}, true, ""},
        {RUN_STAGE_EEPROM, {"--eeprom-ms", "3000"}, false, ""}, // in the wait for the repeated write
        {RUN_STAGE_REBOOT, {"--power-cycle-on-signal"}, false, ""},
        {RUN_STAGE_PROMPT_AFTER_REBOOT, {"--fault", "no-prompt-after-reboot"}, false, ""},
        {RUN_STAGE_ASK_MAC, {}, true, ""},
        {RUN_STAGE_BOOTARGS, {"--fault", "setenv-no-confirm"}, false, ""},
        {RUN_STAGE_SAVEENV, {"--saveenv-ms", "60000"}, false, ""},
        {RUN_STAGE_RESET, {"--fault", "no-shell-after-reset"}, false, ""},
        {RUN_STAGE_VERIFY, {}, false, ""},      // in the pause
        {RUN_STAGE_VERIFY, {}, false, "block"}, // in a query
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.nStage) + c.pszArp);
        CStopSource stop;
        CScriptedOperator op(stop);
        op.m_nStopStage = c.nStage;
        op.m_nHoldStage = c.bHold ? c.nStage : -1;
        op.m_nStopDelayMs = *c.pszArp ? 1200 : 300;
        m_fakeArp.Reset();
        m_fakeArp.m_answers = {c.pszArp};
        if (c.nStage == RUN_STAGE_LOADER)
            setenv("QAN640_LDR_MODE", "hang", 1);
        StartBoard(c.board);

        SRunResult result;
        std::unique_ptr<QThread> thread(QThread::create([&] {
            CProvisioningRun run(m_run, m_log, op, stop.Token(), WholeRunOptions(&m_fakeArp));
            run.SetObserver(&op);
            result = run.RunProvisioning();
            m_tEnd = steady_clock::now();
        }));
        thread->start();
        ASSERT_TRUE(thread->wait(QDeadlineTimer(120000)));
        unsetenv("QAN640_LDR_MODE");

        EXPECT_EQ(result.Outcome(), ERunOutcome::Stopped) << m_log.m_strLog;
        EXPECT_EQ(result.nStage, c.nStage);
        EXPECT_LT(duration_cast<milliseconds>(m_tEnd - op.m_tStop).count(), 2000);
        for (const SBox& box : op.m_boxes)
            EXPECT_TRUE(box.nStage == c.nStage ? c.bHold : box.nType != 16) << box.strText;
        double tStop = MonotonicSeconds() - duration<double>(steady_clock::now() - op.m_tStop).count();
        for (const STranscriptEntry& e : ReadTranscript(m_strDir + "/transcript")) {
            if (e.strKind == "CMD") {
                EXPECT_LT(e.dTime, tStop + 0.2) << "sent after the stop: " << e.strText;
            }
        }
        ExpectCleanEnd();
        m_pBoard.reset();
        m_log.ClearLog();
    }
}

// The device vanishing (a USB adapter pulled) ends the run at once with the message of the stage it was in.
TEST_F(SequenceTest, DeviceVanishingAtEveryStage) {
    struct SCase {
        const char* pszStage;
        ERunEnd eEnd;
        ERunEnd eEndIfLate; // the board vanished only after the port was opened
    };
    // The board vanishes on its way into the monitor, usually before the port is opened.
    std::vector<SCase> cases = {
        {"ldr", ERunEnd::OpenFailed, ERunEnd::NoPrompt},
        {"monitor", ERunEnd::OpenFailed, ERunEnd::NoPrompt},
        {"tftp", ERunEnd::TftpFailed, ERunEnd::TftpFailed},
        {"eeprom", ERunEnd::EepromFailed, ERunEnd::EepromFailed},
        {"power-cycle", ERunEnd::NoShell, ERunEnd::NoShell},
        {"linux", ERunEnd::NoShell, ERunEnd::NoShell},
        {"reboot", ERunEnd::NoPrompt, ERunEnd::NoPrompt},
        {"setenv", ERunEnd::BootargsFailed, ERunEnd::BootargsFailed},
        {"saveenv", ERunEnd::SaveenvFailed, ERunEnd::SaveenvFailed},
        {"reset", ERunEnd::ResetFailed, ERunEnd::ResetFailed},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszStage);
        m_op.m_boxes.clear();
        m_op.m_macAnswers = {kTypedMac};
        StartBoard({"--fault", std::string("hangup=") + c.pszStage});
        SRunResult result = Run();
        EXPECT_TRUE(result.eEnd == c.eEnd || result.eEnd == c.eEndIfLate)
            << int(result.eEnd) << m_log.m_strLog;
        EXPECT_EQ(result.Outcome(), ERunOutcome::Failed);
        ASSERT_FALSE(m_op.m_boxes.empty());
        EXPECT_EQ(m_op.m_boxes.back().strText, result.Message());
        ExpectCleanEnd(false);
        m_pBoard.reset();
        m_log.ClearLog();
    }
}

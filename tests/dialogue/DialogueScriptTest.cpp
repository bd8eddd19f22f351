// The exchanges against a scripted link: budgets, line buffer and marker rules, the exact bytes written.
#include "provisioning/BootMonitorDialogue.h"
#include "tests/dialogue/ScriptedLink.h"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

struct Fixture : ::testing::Test {
    CScriptedLink link;
    CLogConsole log;
    CBootMonitorDialogue dlg{link, log, "u-boot_2_lote.ldr"};

    size_t Count(const std::string& text, char c) { return size_t(std::count(text.begin(), text.end(), c)); }
    // What the next exchange would read first.
    std::string NextUnread(size_t n) {
        std::string s;
        for (size_t i = 0; i < n && i < link.m_script.size(); ++i)
            s += char(link.m_script[i]);
        return s;
    }
};

using WaitPromptTest = Fixture;
using TftpTest = Fixture;
using EepromTest = Fixture;
using RebootTest = Fixture;
using BootargsTest = Fixture;
using ResetTest = Fixture;

} // namespace

// ---- WaitPrompt ----

TEST_F(WaitPromptTest, SilentLineWrites200LineFeedsAndLogs200Dots) {
    EXPECT_FALSE(dlg.WaitPrompt());
    EXPECT_EQ(link.m_strWritten, std::string(200, '\n'));
    EXPECT_EQ(link.m_nReads, 200);
    EXPECT_EQ(log.m_strLog, std::string(200, '.'));
    // The first LF goes out before the first read, the others after each failed read but the last.
    ASSERT_EQ(link.m_writes.size(), 200u);
    EXPECT_EQ(link.m_writes.front().nReadsBefore, 0);
    EXPECT_EQ(link.m_writes.back().nReadsBefore, 199);
}

TEST_F(WaitPromptTest, NotReadyPortCountsLikeTimeouts) {
    link.Fails(500, -1);
    EXPECT_FALSE(dlg.WaitPrompt());
    EXPECT_EQ(link.m_nReads, 200);
}

TEST_F(WaitPromptTest, PromptAnywhereEndsAtItsLastCharacterAndLeavesTheRest) {
    link.Fails(3);
    link.Bytes("booting...\r\nxx QAN640> rest");
    EXPECT_TRUE(dlg.WaitPrompt());
    EXPECT_EQ(link.m_strWritten, "\n\n\n\n");
    EXPECT_EQ(log.m_strLog, "...booting...\r\r\nxx QAN640>");
    EXPECT_EQ(NextUnread(5), " rest");
}

TEST_F(WaitPromptTest, PromptSplitByALineEndIsNotAPrompt) {
    link.Bytes("QAN6\n40>");
    EXPECT_FALSE(dlg.WaitPrompt());
}

TEST_F(WaitPromptTest, BytesDoNotSpendTheBudget) {
    // 199 failed reads, each followed by output: the budget counts failed reads only.
    for (int i = 0; i < 199; ++i) {
        link.Fails(1);
        link.Bytes("noise\r\n");
    }
    link.Bytes("QAN640>");
    EXPECT_TRUE(dlg.WaitPrompt());
}

// ---- SendTftp and ParseTransferSize ----

TEST_F(TftpTest, WritesTheCommandWithTheFileNameAndTakesTheSize) {
    CBootMonitorDialogue other(link, log, "images/lote 7.ldr");
    link.Bytes(" tftp 0x1000000 images/lote 7.ldr\r\nUsing qan640-eth device\r\nLoading: ##\r\ndone\r\n"
               "Bytes transferred = 672 (2a0 hex)\r\nQAN640> ");
    std::string size;
    EXPECT_TRUE(other.SendTftp(size));
    EXPECT_EQ(link.m_strWritten, "tftp 0x1000000 images/lote 7.ldr\r\n");
    EXPECT_EQ(size, "0x2a0");
    EXPECT_NE(log.m_strLog.find("Bytes transferred = 672 (2a0 hex)\r\r\n"), std::string::npos);
}

TEST_F(TftpTest, EveryPlaceholderOccurrenceIsReplacedOnce) {
    EXPECT_EQ(CBootMonitorDialogue::ReplaceAll("a %X b %X", "%X", "%X%X"), "a %X%X b %X%X");
    EXPECT_EQ(CBootMonitorDialogue::ReplaceAll("none", "%X", "y"), "none");
}

TEST_F(TftpTest, LastSizeLineBeforeThePromptWins) {
    link.Bytes("Bytes transferred = 16 (10 hex)\r\nBytes transferred = 672 (2A0 hex)\nQAN640>");
    std::string size;
    EXPECT_TRUE(dlg.SendTftp(size));
    EXPECT_EQ(size, "0x2A0"); // the board's letter case is kept
}

TEST_F(TftpTest, SizeLineWithoutLineEndIsNotParsed) {
    link.Bytes("Bytes transferred = 672 (2a0 hex) QAN640>");
    std::string size;
    EXPECT_TRUE(dlg.SendTftp(size));
    EXPECT_EQ(size, "");
}

TEST_F(TftpTest, PromptWithoutSizeLineGivesTrueAndEmptySize) {
    link.Bytes("Loading: ##\r\ndone\r\nQAN640> ");
    std::string size;
    EXPECT_TRUE(dlg.SendTftp(size));
    EXPECT_EQ(size, "");
}

TEST_F(TftpTest, ErrorBeforeThePromptFailsTheReplyAtItsPrompt) {
    {
        CScriptedLink l;
        CBootMonitorDialogue d(l, log, "f");
        l.Bytes("ERROR then QAN640> ");
        std::string size;
        EXPECT_FALSE(d.SendTftp(size));
        EXPECT_EQ(l.Unread(), 1u) << "read to its prompt";
    }
    {
        CScriptedLink l;
        CBootMonitorDialogue d(l, log, "f");
        l.Bytes("QAN640> ERROR");
        std::string size;
        EXPECT_TRUE(d.SendTftp(size));
    }
    {
        // U-Boot's own (net/net.c), on a line before the prompt.
        CScriptedLink l;
        CBootMonitorDialogue d(l, log, "f");
        l.Bytes("*** ERROR: `serverip' not set\r\nQAN640> ");
        std::string size;
        EXPECT_FALSE(d.SendTftp(size));
    }
}

TEST_F(TftpTest, BudgetIs200FailedReadsInTotal) {
    for (int i = 0; i < 150; ++i) {
        link.Fails(1);
        link.Bytes("#");
    }
    std::string size;
    EXPECT_FALSE(dlg.SendTftp(size));
    EXPECT_EQ(link.m_nFailedReads, 200);
    EXPECT_EQ(link.m_strWritten, "tftp 0x1000000 u-boot_2_lote.ldr\r\n"); // no LF after failed reads
    EXPECT_EQ(Count(log.m_strLog, '.'), 0u);
}

TEST(ParseTransferSize, WellFormedAndMalformedLines) {
    struct SCase {
        const char* line;
        const char* before;
        const char* after;
    } cases[] = {
        {"Bytes transferred = 672 (2a0 hex)\r", "", "0x2a0"},
        {"Bytes transferred = 1 (1 hex)", "", "0x1"},
        {"Loading: ###\r", "0x10", "0x10"},                  // other lines leave the size alone
        {"Bytes transferred = 672 2a0 hex\r", "0x10", ""},   // no "("
        {"Bytes transferred = 672 (2a0)\r", "0x10", ""},     // no " hex"
        {"Bytes transferred hex (2a0)\r", "", ""},           // " hex" before "("
        {"Bytes transferred = 672 ( hex)\r", "", ""},        // nothing between
        {"Bytes transferred = 672 (2a0; rm hex)\r", "", ""}, // not hex digits
        {"Bytes transferred = 672 (2a0 hex) (10 hex)\r", "", "0x2a0"},
    };
    for (const auto& c : cases) {
        std::string size = c.before;
        CBootMonitorDialogue::ParseTransferSize(c.line, size);
        EXPECT_EQ(size, c.after) << c.line;
    }
}

// ---- SendEepromWrite ----

TEST_F(EepromTest, WritesTheSizeAndNeedsThePromptAtLineStart) {
    link.Bytes(" eeprom write 0x1000000 0x0 0x2a0\r\nEEPROM write ... done\r\nQAN640> ");
    EXPECT_TRUE(dlg.SendEepromWrite("0x2a0"));
    EXPECT_EQ(link.m_strWritten, "eeprom write 0x1000000 0x0 0x2a0\r\n");
    EXPECT_EQ(NextUnread(1), " ");
}

TEST_F(EepromTest, PromptInsideALineIsNotEnough) {
    link.Bytes("I2C bus timeout QAN640> \r\n QAN640> ");
    EXPECT_FALSE(dlg.SendEepromWrite("0x2a0"));
    EXPECT_EQ(link.m_nFailedReads, 400);

    CScriptedLink l;
    CBootMonitorDialogue d(l, log, "f");
    l.Bytes("busy QAN640> \r\nQAN640> ");
    EXPECT_TRUE(d.SendEepromWrite("0x1"));
}

// ---- SendReboot ----

TEST_F(RebootTest, WaitsSilentlyForTheShellThenWritesRebootAndReadsNoMore) {
    link.Bytes("Linux version ...\r\nroot:/> ");
    EXPECT_TRUE(dlg.SendReboot());
    ASSERT_EQ(link.m_writes.size(), 1u);
    EXPECT_EQ(link.m_writes[0].strText, "reboot\r\n");
    EXPECT_EQ(link.m_writes[0].nReadsBefore, int(std::string("Linux version ...\r\nroot:").size()));
    EXPECT_EQ(NextUnread(3), "/> ");
}

TEST_F(RebootTest, ShellMarkerMustStartTheLine) {
    link.Bytes("sh: root: not found\r\n");
    EXPECT_FALSE(dlg.SendReboot());
    EXPECT_TRUE(link.m_strWritten.empty());
}

TEST_F(RebootTest, GapsShorterThan800FailedReadsNeverEndTheWait) {
    for (int i = 0; i < 5; ++i) {
        link.Fails(799);
        link.Bytes("boot message\r\n");
    }
    link.Fails(799);
    link.Bytes("root:/> ");
    EXPECT_TRUE(dlg.SendReboot());
    EXPECT_EQ(link.m_nFailedReads, 6 * 799);
}

TEST_F(RebootTest, GivesUpAfter800FailedReadsInARow) {
    link.Fails(500);
    link.Bytes("x");
    link.Fails(1000);
    link.Bytes("root:/> ");
    EXPECT_FALSE(dlg.SendReboot());
    EXPECT_EQ(link.m_nFailedReads, 500 + 800);
    EXPECT_TRUE(link.m_strWritten.empty());
}

// ---- SendBootargs ----

TEST_F(BootargsTest, ThreePiecesWithPausesFormOneLine) {
    std::vector<std::chrono::steady_clock::time_point> times;
    link.m_onWrite = [&](const std::string&) { times.push_back(std::chrono::steady_clock::now()); };
    link.Bytes("\r\nQAN640> ");
    EXPECT_TRUE(dlg.SendBootargs("00:1A:2b:3c:4d:5e"));
    ASSERT_EQ(link.m_writes.size(), 3u);
    EXPECT_EQ(link.m_writes[0].strText, "setenv bootargs root=/dev/mtdblock1 ");
    EXPECT_EQ(link.m_writes[1].strText, "rw rootfstype=jffs2 earlyprintk=serial");
    EXPECT_EQ(link.m_writes[2].strText, ",uart0,57600 ethaddr=00:1A:2b:3c:4d:5e\r\n");
    EXPECT_EQ(link.m_strWritten, "setenv bootargs root=/dev/mtdblock1 rw rootfstype=jffs2 "
                                 "earlyprintk=serial,uart0,57600 ethaddr=00:1A:2b:3c:4d:5e\r\n");
    // All three go out before the first read, with a pause between them (loose bound).
    EXPECT_EQ(link.m_writes[2].nReadsBefore, 0);
    EXPECT_GE(times[1] - times[0], std::chrono::milliseconds(5));
    EXPECT_GE(times[2] - times[1], std::chrono::milliseconds(5));
}

TEST_F(BootargsTest, PromptMustStartTheLineWithin400FailedReads) {
    link.Bytes("setenv bootargs ... QAN640> ");
    EXPECT_FALSE(dlg.SendBootargs("00:11:22:33:44:55"));
    EXPECT_EQ(link.m_nFailedReads, 400);
}

// ---- SendReset ----

TEST_F(ResetTest, NoShellWithin400FailedReadsAfterTheReset) {
    link.Bytes("QAN640> ");
    EXPECT_FALSE(dlg.SendReset());
    EXPECT_EQ(link.m_nFailedReads, 400);
    EXPECT_EQ(link.m_strWritten, "reset\r\n");
}

// ---- Commands: answers to what was written earlier are not the command's answer ----

namespace {

// The log shows a line feed as CR LF.
std::string Logged(std::string_view text) {
    std::string out;
    for (char c : text)
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

// Answers to earlier line ends still coming in, with every marker an exchange waits for.
constexpr std::string_view kStale = "done\r\nERROR\r\nQAN640> \r\nQAN640> ";

struct SStaleCase {
    const char* name;
    std::function<bool(CBootMonitorDialogue&)> run;
    const char* answer; // the board's reply to the command, up to the byte that decides
    const char* rest;   // what the board sends after that byte
};
// CTest lists a case by what this prints: its name, the same in every build.
void PrintTo(const SStaleCase& c, std::ostream* pOut) {
    *pOut << c.name;
}

class StaleAnswerTest : public ::testing::TestWithParam<SStaleCase> {};

} // namespace

TEST_P(StaleAnswerTest, WhatWaitedIsTakenInBeforeTheCommandAndTheReplyDecides) {
    const SStaleCase& c = GetParam();
    CScriptedLink link;
    CLogConsole log;
    CBootMonitorDialogue dlg(link, log, "u-boot_2_lote.ldr");
    link.Waiting(kStale);
    link.Bytes(std::string(c.answer) + c.rest);
    EXPECT_TRUE(c.run(dlg));
    ASSERT_FALSE(link.m_writes.empty());
    EXPECT_EQ(link.m_writes.front().nReadsBefore, 0);
    EXPECT_EQ(log.m_strLog, Logged(kStale) + Logged(c.answer));
    EXPECT_EQ(link.Unread(), std::string_view(c.rest).size());
}

INSTANTIATE_TEST_SUITE_P(
    Commands, StaleAnswerTest,
    ::testing::Values(SStaleCase{"SendTftp",
                                 [](CBootMonitorDialogue& d) {
                                     std::string size;
                                     return d.SendTftp(size) && size == "0x2a0";
                                 },
                                 "tftp 0x1000000 u-boot_2_lote.ldr\r\nLoading: #\r\ndone\r\n"
                                 "Bytes transferred = 672 (2a0 hex)\r\nQAN640>",
                                 " "},
                      SStaleCase{"SendEepromWrite",
                                 [](CBootMonitorDialogue& d) { return d.SendEepromWrite("0x2a0"); },
                                 "eeprom write 0x1000000 0x0 0x2a0\r\nEEPROM write ... done\r\nQAN640>", " "},
                      SStaleCase{"SendBootargs",
                                 [](CBootMonitorDialogue& d) { return d.SendBootargs("00:11:22:33:44:55"); },
                                 "setenv bootargs ... ethaddr=00:11:22:33:44:55\r\nQAN640>", " "},
                      SStaleCase{"SendSaveenv", [](CBootMonitorDialogue& d) { return d.SendSaveenv(); },
                                 "saveenv\r\nSaving environment\r\nWriting ... done\r\nQAN640>", " "},
                      SStaleCase{"SendReset", [](CBootMonitorDialogue& d) { return d.SendReset(); },
                                 "reset\r\nresetting ...\r\nroot:", "/> "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(QuietLine, PromptWaitAndRebootReadWhatIsWaitingAsBefore) {
    // WaitPrompt takes any prompt, and SendReboot must read the boot log that waited.
    const std::pair<const char*, std::function<bool(CBootMonitorDialogue&)>> cases[] = {
        {"QAN640> ", [](CBootMonitorDialogue& d) { return d.WaitPrompt(); }},
        {"Linux ...\r\nroot:/> ", [](CBootMonitorDialogue& d) { return d.SendReboot(); }},
    };
    for (const auto& [waiting, run] : cases) {
        CScriptedLink link;
        CLogConsole log;
        CBootMonitorDialogue dlg(link, log, "f");
        link.Waiting(waiting);
        EXPECT_TRUE(run(dlg)) << waiting;
        EXPECT_EQ(link.m_nShortReads, 0) << waiting;
    }
}

TEST(QuietLine, ABoardThatNeverGoesQuietGetsTheCommandAfterTheCap) {
    CScriptedLink link;
    CLogConsole log;
    CBootMonitorDialogue dlg(link, log, "f");
    link.Waiting("x");
    link.m_onShortRead = [&](int) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        link.Waiting("x");
    };
    link.m_onWrite = [&](const std::string&) {
        link.m_script.clear();
        link.Bytes("saveenv\r\ndone\nQAN640>");
    };
    EXPECT_TRUE(dlg.SendSaveenv());
    EXPECT_EQ(link.m_strWritten, "saveenv\r\n");
    EXPECT_EQ(log.m_strLog, std::string(size_t(link.m_nShortReads), 'x') + "saveenv\r\r\ndone\r\nQAN640>");
}

// ---- Every exchange: echo ----

TEST_F(Fixture, EveryByteReadIsEchoedIntoTheLog) {
    std::string bytes = "a\tb\x01\xff\r\n";
    link.Bytes(bytes);
    link.Bytes("QAN640>");
    EXPECT_TRUE(dlg.SendBootargs("00:11:22:33:44:55"));
    EXPECT_EQ(log.m_strLog, std::string("a\tb\x01\xff\r\r\nQAN640>"));
}

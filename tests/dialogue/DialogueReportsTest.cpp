// The board's reply judged, not only its prompt: reports of failure in U-Boot's words before the closing
// prompt of the EEPROM write, the save and the transfer; what follows the write's prompt (the answer to the
// command's LF) until the board is idle; the reset after a save that read its closing prompt.
#include "provisioning/BootMonitorDialogue.h"
#include "tests/dialogue/ScriptedLink.h"

#include <gtest/gtest.h>

// ---- Reports of failure ----

TEST(TftpReports, UBootsOwnFailuresFailAtThePromptUnlessASizeCameAfter) {
    struct SCase {
        const char* reply;
        bool bOk;
        const char* size;
    } cases[] = {
        {"Loading: \r\nTFTP error: 'File not found' (1)\r\nNot retrying...\r\nQAN640> ", false, ""},
        {"Loading: T T T \r\nRetry count exceeded; starting again\r\nQAN640> ", false, ""},
        {"Loading: \r\nARP Retry count exceeded; starting again\r\nQAN640> ", false, ""},
        // Started again (the board's netretry allows it) and then brought its size.
        {"Loading: T \r\nRetry count exceeded; starting again\r\nLoading: ##\r\ndone\r\n"
         "Bytes transferred = 672 (2a0 hex)\r\nQAN640> ",
         true, "0x2a0"},
        // Hash marks and timeouts that recover are no failure.
        {"Loading: #T #\r\ndone\r\nBytes transferred = 672 (2a0 hex)\r\nQAN640> ", true, "0x2a0"},
    };
    for (const auto& c : cases) {
        CScriptedLink link;
        CLogConsole log;
        CBootMonitorDialogue dlg(link, log, "f");
        link.Bytes(c.reply);
        std::string size;
        EXPECT_EQ(dlg.SendTftp(size), c.bOk) << c.reply;
        EXPECT_EQ(size, c.size) << c.reply;
        EXPECT_EQ(link.m_nFailedReads, 0) << c.reply; // the prompt ends it either way
        EXPECT_EQ(link.Unread(), 1u) << c.reply;
    }
}

// Judged by the whole reply up to the prompt at line start: U-Boot's success text never reads as a failure,
// every report of failure does, and the exchange still reads on to the prompt that closes the reply.
TEST(EepromReports, TheReplyBeforeThePromptDecides) {
    const std::string echo = "eeprom write 0x1000000 0x0 0x2a0\r\n";
    struct SCase {
        std::string reply;
        bool bOk;
    } cases[] = {
        {"\r\nEEPROM @0x50 write: addr 0x01000000  off 0x0000  count 672 ... done\r\nQAN640> ", true},
        {"EEPROM write: 672 bytes, memory 0x01000000, offset 0x0000 ... done\r\nQAN640> ", true},
        {"Unknown command 'eeprom' - try 'help'\r\nQAN640> ", false},
        {"eeprom - EEPROM sub-system\r\n\r\nUsage:\r\neeprom read  <bus> <devaddr> addr off cnt\r\nQAN640> ",
         false},
        {"\r\nEEPROM @0x50 write: addr 0x01000000  off 0x0000  count 672 ... i2c_write: timed out waiting "
         "for "
         "the chip\r\ndone\r\nQAN640> ",
         false},
        {"\r\nEEPROM @0x50 write: addr 0x01000000  off 0x0000  count 672 ... eeprom_rw_block: Cannot find "
         "udev "
         "for a bus -1\r\ndone\r\nQAN640> ",
         false},
        {"\r\nEEPROM @0x50 write: ... I2C ERROR\r\ndone\r\nQAN640> ", false},
    };
    for (const auto& c : cases) {
        CScriptedLink link;
        CLogConsole log;
        CBootMonitorDialogue dlg(link, log, "f");
        link.Bytes(echo + c.reply);
        EXPECT_EQ(dlg.SendEepromWrite("0x2a0"), c.bOk) << c.reply;
        EXPECT_EQ(link.m_nFailedReads, 0) << c.reply;
        EXPECT_EQ(link.Unread(), 1u) << c.reply; // the prompt's blank
    }
    // A report with no prompt after it fails on the budget, as any unanswered write does.
    CScriptedLink link;
    CLogConsole log;
    CBootMonitorDialogue dlg(link, log, "f");
    link.Bytes(echo + "Unknown command 'eeprom' - try 'help'\r\n");
    EXPECT_FALSE(dlg.SendEepromWrite("0x2a0"));
    EXPECT_EQ(link.m_nFailedReads, 400);
}

// "done" and then the prompt at line start, with no report of failure anywhere in the reply.
TEST(SaveenvReports, TheReplyUpToThePromptDecides) {
    const std::string flash = "saveenv\r\nSaving Environment to Flash... Un-Protected 2 sectors\r\n"
                              "Erasing Flash...\r\n.. done\r\nErased 2 sectors\r\nWriting to Flash... ";
    struct SCase {
        std::string reply;
        bool bOk;
        int nFailedReads;
    } cases[] = {
        {flash + "done\r\nProtected 2 sectors\r\nOK\r\nQAN640> ", true, 0},
        {"saveenv\r\nSaving environment to EEPROM...\r\nWriting 1024 bytes ... done\r\nQAN640> ", true, 0},
        // The erase's "done" came, the write failed: with the closing "Failed (n)" and without it (older
        // monitors print only the flash layer's report).
        {flash + "Flash not Erased\r\nProtected 2 sectors\r\nFailed (2)\r\nQAN640> ", false, 0},
        {flash + "Flash not Erased\r\nProtected 2 sectors\r\nQAN640> ", false, 0},
        {flash + "Timeout writing to Flash\r\nProtected 2 sectors\r\nQAN640> ", false, 0},
        {flash + "Can't write to protected Flash sectors\r\nQAN640> ", false, 0},
        {"saveenv\r\nSaving environment...\r\nWrite failed\r\nQAN640> ", false, 0},
        // A prompt before "done" is a stale one: the reply is read on.
        {"QAN640> saveenv\r\nQAN640> \r\nWriting ... done\r\nQAN640> ", true, 0},
        {"QAN640> saveenv ... done\r\nQAN640> ", true, 0}, // nor is the rest of its line
        // Neither "done" nor a report: the budget decides, as before.
        {"saveenv\r\nSaving environment...\r\nQAN640> ", false, 400},
    };
    for (const auto& c : cases) {
        CScriptedLink link;
        CLogConsole log;
        CBootMonitorDialogue dlg(link, log, "f");
        link.Bytes(c.reply);
        EXPECT_EQ(dlg.SendSaveenv(), c.bOk) << c.reply;
        EXPECT_EQ(link.m_strWritten, "saveenv\r\n");
        EXPECT_EQ(link.m_nFailedReads, c.nFailedReads) << c.reply;
        if (c.nFailedReads == 0) {
            EXPECT_EQ(link.Unread(), 1u) << c.reply; // the prompt's blank
        }
    }
}

// ---- WaitWriteFinished ----

namespace {

// What follows the EEPROM write's prompt: `atOnce` is there without delay (Waiting), `later` after it.
struct SFollowCase {
    const char* name;
    std::string atOnce;
    int nGap; // failed reads between them
    std::string later;
    bool bOk;
    int nFailedReads;
    int nGapCode = -2; // what the failed reads between them return
};
// CTest lists a case by what this prints: its name, the same in every build.
void PrintTo(const SFollowCase& c, std::ostream* pOut) {
    *pOut << c.name;
}

class FollowTest : public ::testing::TestWithParam<SFollowCase> {};

const std::string kRepeat = "\r\nEEPROM @0x50 write: addr 0x01000000  off 0x0000  count 672 ... ";

} // namespace

TEST_P(FollowTest, TheBoardIsIdleOnlyOnceItsAnswerToTheLineEndIsOver) {
    const SFollowCase& c = GetParam();
    CScriptedLink link;
    CLogConsole log;
    CBootMonitorDialogue dlg(link, log, "f");
    link.Waiting(c.atOnce);
    link.Fails(c.nGap, c.nGapCode);
    link.Bytes(c.later);
    EXPECT_EQ(dlg.WaitWriteFinished(), c.bOk);
    EXPECT_EQ(link.m_nFailedReads, c.nFailedReads);
    EXPECT_TRUE(link.m_strWritten.empty());
}

INSTANTIATE_TEST_SUITE_P(
    AfterTheWrite, FollowTest,
    ::testing::Values(
        // The LF was swallowed while the board wrote: only the prompt's blank, then quiet.
        SFollowCase{"Swallowed", " ", 0, "", true, 0}, SFollowCase{"SwallowedNoBlank", "", 0, "", true, 0},
        // A line that is quiet but reported a failure on the prompt's line.
        SFollowCase{"QuietAfterAReport", " Failed", 0, "", false, 0},
        // An empty line that repeats nothing: a new prompt at once.
        SFollowCase{"NewPrompt", " \r\nQAN640>", 0, " ", true, 0},
        // The write again, its prompt when it is done.
        SFollowCase{"Repeated", " \r", 30, "\n" + kRepeat + "done\r\nQAN640> ", true, 30},
        SFollowCase{"RepeatedAndFailed", " \r", 3,
                    "\n" + kRepeat + "i2c_write: timed out\r\ndone\r\nQAN640> ", false, 3},
        SFollowCase{"RepeatedWithoutEnd", " \r", 0, "\n" + kRepeat, false, 400},
        // A port that fails or is gone right after the prompt is no quiet line, whatever comes next.
        SFollowCase{"PortGone", " ", 1, "", false, 0, -3},
        SFollowCase{"PortNotReady", " ", 1, "", false, 0, -1},
        // A prompt inside a line does not end the repetition.
        SFollowCase{"PromptInsideALine", " \r", 0, "\nbusy QAN640> ", false, 400}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- SendReset after the save ----

// After a save that read its closing prompt there is nothing to drain: the reset goes out at once, whether
// the board swallowed the save's LF (nothing follows) or answers it with a prompt of its own.
TEST(ResetAfterSave, TheResetGoesOutAtOnce) {
    CLogConsole log;
    for (const char* answer : {"", "\r\nQAN640> "}) {
        CScriptedLink l;
        CBootMonitorDialogue d(l, log, "f");
        l.Bytes("saveenv\r\nWriting to Flash... done\r\nQAN640>");
        ASSERT_TRUE(d.SendSaveenv());
        l.Bytes(std::string(" ") + answer);
        l.m_onWrite = [&](const std::string& text) {
            if (text == "reset\r\n")
                l.Bytes("reset\r\nresetting ...\r\nroot:/> ");
        };
        int nReadsBefore = l.m_nReads;
        EXPECT_TRUE(d.SendReset()) << answer;
        ASSERT_EQ(l.m_writes.size(), 2u);
        EXPECT_EQ(l.m_writes[1].nReadsBefore, nReadsBefore) << answer;
        EXPECT_EQ(l.m_nFailedReads, 0) << answer;
    }
}

// ---- ReadBackEeprom ----

// The board's answers to the three read-back commands in U-Boot's words (cmd/mem.c, cmd/eeprom.c, the SPI
// flash emulation), and what the run makes of them.
TEST(ReadBack, OnlyTheWholeImageComparedTheSameProvesTheWrite) {
    const std::string kRead = "\r\nEEPROM @0x50 read: addr 01010000  off 0000  count 672 ... ";
    struct SCase {
        const char* name;
        std::string size, clear, read, compare; // each answer up to its prompt
        bool bOk;
    } cases[] = {
        {"same", "0x2a0", "", kRead + "done", "Total of 672 byte(s) were the same", true},
        {"same, older monitor", "0x2a0", "", kRead + "done", "Total of 672 bytes were the same", true},
        {"differs", "0x2a0", "", kRead + "done",
         "byte at 0x01000100 (0x5a) != byte at 0x01010100 (0xff)\r\nTotal of 256 byte(s) were the same",
         false},
        {"read past the end of SPI flash", "0x2a0", "", kRead + "Invalid sector! done",
         "byte at 0x01000000 (0x5a) != byte at 0x01010000 (00)\r\nTotal of 0 byte(s) were the same", false},
        {"no cmp", "0x2a0", "", kRead + "done", "Unknown command 'cmp.b' - try 'help'", false},
        {"no mw", "0x2a0", "Unknown command 'mw.b' - try 'help'", "", "", false},
        {"silent compare", "0x2a0", "", kRead + "done", "", false},
        {"a larger image", "0x493e0", "", kRead + "done", "Total of 300000 byte(s) were the same", true},
        {"nothing to compare", "0x0", "", "", "", false},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.name);
        CScriptedLink link;
        CLogConsole log;
        CBootMonitorDialogue dlg(link, log, "f");
        link.m_onWrite = [&](const std::string& text) {
            const std::string& answer = text.starts_with("mw")       ? c.clear
                                        : text.starts_with("eeprom") ? c.read
                                                                     : c.compare;
            link.Bytes(text.substr(0, text.size() - 1) + "\r\n" + answer + (answer.empty() ? "" : "\r\n") +
                       "QAN640> ");
        };
        std::string strWhy;
        EXPECT_EQ(dlg.ReadBackEeprom(c.size, strWhy), c.bOk) << link.m_strWritten;
        EXPECT_EQ(strWhy.empty(), c.bOk) << strWhy;
        if (c.size == "0x2a0" && c.bOk) {
            EXPECT_EQ(link.m_strWritten, "mw.b 0x1010000 0x0 0x2a0\reeprom read 0x1010000 0x0 0x2a0\r"
                                         "cmp.b 0x1000000 0x1010000 0x2a0\r");
        }
        if (c.size == "0x493e0") {
            EXPECT_NE(link.m_strWritten.find("cmp.b 0x1000000 0x1050000 0x493e0\r"), std::string::npos);
        }
        if (c.size == "0x0") {
            EXPECT_TRUE(link.m_strWritten.empty());
        }
    }
}

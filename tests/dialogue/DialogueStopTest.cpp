// Stop requests in the exchanges against a scripted link: every wait ends at once and nothing is written
// after the stop.
#include "provisioning/BootMonitorDialogue.h"
#include "tests/dialogue/ScriptedLink.h"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>

namespace {

struct SExchangeCase {
    const char* name;
    std::function<bool(CBootMonitorDialogue&)> run;
};
// CTest lists a case by what this prints: its name, the same in every build.
void PrintTo(const SExchangeCase& c, std::ostream* pOut) {
    *pOut << c.name;
}

class StopTest : public ::testing::TestWithParam<SExchangeCase> {};

std::vector<SExchangeCase> AllExchanges() {
    return {
        {"WaitPrompt", [](CBootMonitorDialogue& d) { return d.WaitPrompt(); }},
        {"SendTftp",
         [](CBootMonitorDialogue& d) {
             std::string s;
             return d.SendTftp(s);
         }},
        {"SendEepromWrite", [](CBootMonitorDialogue& d) { return d.SendEepromWrite("0x2a0"); }},
        {"SendReboot", [](CBootMonitorDialogue& d) { return d.SendReboot(); }},
        {"SendBootargs", [](CBootMonitorDialogue& d) { return d.SendBootargs("00:11:22:33:44:55"); }},
        {"SendSaveenv", [](CBootMonitorDialogue& d) { return d.SendSaveenv(); }},
        {"SendReset", [](CBootMonitorDialogue& d) { return d.SendReset(); }},
    };
}

} // namespace

TEST_P(StopTest, StopDuringTheWaitEndsTheExchangeAtOnce) {
    CStopSource source;
    CScriptedLink link;
    CLogConsole log;
    CBootMonitorDialogue dlg(link, log, "f", source.Token());
    size_t nWrittenAtStop = 0;
    link.m_onRead = [&](int n) {
        if (n == 5) {
            source.RequestStop();
            nWrittenAtStop = link.m_strWritten.size();
        }
    };
    EXPECT_FALSE(GetParam().run(dlg));
    EXPECT_EQ(link.m_nReads, 5);
    // WaitPrompt wrote its first LF and one per failed read before the stop, and nothing after it.
    EXPECT_LE(link.m_writes.size(), 5u);
    EXPECT_EQ(link.m_strWritten.size(), nWrittenAtStop) << "nothing written after the stop";
}

TEST_P(StopTest, StoppedRunWritesNothing) {
    CStopSource source;
    source.RequestStop();
    CScriptedLink link;
    CLogConsole log;
    CBootMonitorDialogue dlg(link, log, "f", source.Token());
    link.Bytes("QAN640>root:/> done");
    EXPECT_FALSE(GetParam().run(dlg));
    EXPECT_TRUE(link.m_strWritten.empty());
    EXPECT_EQ(link.m_nReads, 0);
}

INSTANTIATE_TEST_SUITE_P(Exchanges, StopTest, ::testing::ValuesIn(AllExchanges()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StopDuringPause, BootargsStopsBetweenItsPieces) {
    CStopSource source;
    CScriptedLink link;
    CLogConsole log;
    CBootMonitorDialogue dlg(link, log, "f", source.Token());
    link.m_onWrite = [&](const std::string&) { source.RequestStop(); };
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(dlg.SendBootargs("00:11:22:33:44:55"));
    EXPECT_EQ(link.m_writes.size(), 1u);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
}

TEST(QuietLine, StopWhileTakingInWritesNothing) {
    CStopSource source;
    CScriptedLink link;
    CLogConsole log;
    CBootMonitorDialogue dlg(link, log, "f", source.Token());
    link.Waiting(std::string(100, 'x'));
    link.m_onShortRead = [&](int n) {
        if (n == 3)
            source.RequestStop();
    };
    std::string size;
    EXPECT_FALSE(dlg.SendTftp(size));
    EXPECT_EQ(link.m_nShortReads, 3);
    EXPECT_EQ(link.m_nReads, 0);
    EXPECT_TRUE(link.m_strWritten.empty());
}

TEST(StopDuringTheWriteWait, EndsTheWaitAtOnce) {
    CStopSource source;
    CScriptedLink link;
    CLogConsole log;
    CBootMonitorDialogue d(link, log, "f", source.Token());
    link.Waiting(" \r");
    link.Bytes("\r\nEEPROM @0x50 write: addr 0x01000000  off 0x0000  count 672 ... ");
    link.m_onRead = [&](int n) {
        if (n == 10)
            source.RequestStop();
    };
    EXPECT_FALSE(d.WaitWriteFinished());
    EXPECT_EQ(link.m_nReads, 10);
    EXPECT_EQ(link.m_nFailedReads, 0);
}

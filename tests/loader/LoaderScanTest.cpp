#include "links/LoaderRunner.h"

#include <gtest/gtest.h>

namespace {

// Scans a chunk the way the runner hands it over: one read with a line feed appended.
SLoaderChunkResult Scan(const std::string& read, CLogConsole& log) {
    return ScanLoaderChunk(read + "\n", log);
}

} // namespace

TEST(LoaderScan, ShowsOrdinaryLinesWithLineBreaksAndSkipsVeryShortOnes) {
    CLogConsole log;
    // "ab" and "x\r" are 2 characters (the carriage return counts), so they are dropped; "abc" is shown.
    auto r = Scan("ab\nx\r\nabc\n\nLoading image", log);
    EXPECT_EQ(log.m_strLog, "abc\r\nLoading image\r\n");
    EXPECT_FALSE(r.m_bEnterRequested);
    EXPECT_FALSE(r.m_bFailed);
    EXPECT_FALSE(r.m_bFinished);
}

TEST(LoaderScan, KeepsTheCarriageReturnOfALine) {
    CLogConsole log;
    Scan("abc\r\n", log);
    EXPECT_EQ(log.m_strLog, "abc\r\r\n");
}

TEST(LoaderScan, PressLinesAskForOneAnswerAndAreNeverShown) {
    CLogConsole log;
    auto r = Scan("Press Enter\nstep two\nPress any key\nPress again", log);
    EXPECT_TRUE(r.m_bEnterRequested);
    EXPECT_EQ(log.m_strLog, "step two\r\n");
    EXPECT_EQ(log.m_strLog.find("Press"), std::string::npos);
}

TEST(LoaderScan, MarkersAreCaseSensitive) {
    CLogConsole log;
    auto r = Scan("press enter\nfailed once\nRUN MINICOM OR KERMIT", log);
    EXPECT_FALSE(r.m_bEnterRequested);
    EXPECT_FALSE(r.m_bFailed);
    EXPECT_FALSE(r.m_bFinished);
    EXPECT_EQ(log.m_strLog, "press enter\r\nfailed once\r\nRUN MINICOM OR KERMIT\r\n");
}

TEST(LoaderScan, BracketLinesRunTogether) {
    CLogConsole log;
    Scan("[ 25%] 512\n[ 50%] 1024\ndone", log);
    EXPECT_EQ(log.m_strLog, "[ 25%] 512[ 50%] 1024done\r\n");
}

TEST(LoaderScan, ClosingLineIsHiddenAndEndsTheScan) {
    CLogConsole log;
    auto r = Scan("sent\nnow run minicom or kermit\nFailed later\nPress Enter\nmore", log);
    EXPECT_TRUE(r.m_bFinished);
    EXPECT_FALSE(r.m_bFailed);
    EXPECT_FALSE(r.m_bEnterRequested);
    EXPECT_EQ(log.m_strLog, "sent\r\n");
}

TEST(LoaderScan, FailedLineIsShownAndEndsTheScan) {
    CLogConsole log;
    auto r = Scan("Transfer Failed\nPress Enter\nrun minicom or kermit\nmore", log);
    EXPECT_TRUE(r.m_bFailed);
    EXPECT_FALSE(r.m_bEnterRequested);
    EXPECT_FALSE(r.m_bFinished);
    EXPECT_EQ(log.m_strLog, "Transfer Failed\r\n");
}

TEST(LoaderScan, PressLineThatAlsoFailsIsAnsweredNotShown) {
    CLogConsole log;
    auto r = Scan("Press Enter: Failed\nnot reached", log);
    EXPECT_TRUE(r.m_bEnterRequested);
    EXPECT_TRUE(r.m_bFailed);
    EXPECT_EQ(log.m_strLog, "");
}

TEST(LoaderScan, NulBytesDoNotCutALine) {
    CLogConsole log;
    std::string read("ab\0cd\nFai\0led", 14);
    auto r = Scan(read, log);
    // The NUL is dropped from the log, the rest of the line kept; a marker broken by a NUL is no marker.
    EXPECT_EQ(log.m_strLog, "abcd\r\nFailed\r\n");
    EXPECT_FALSE(r.m_bFailed);
}

TEST(LoaderScan, TextWithoutAnyLineFeedIsOneLine) {
    CLogConsole log;
    auto r = ScanLoaderChunk("Transfer Failed", log);
    EXPECT_TRUE(r.m_bFailed);
    EXPECT_EQ(log.m_strLog, "Transfer Failed\r\n");
}

#include "core/LogConsole.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

class CFakeTicks : public ITickSource {
public:
    uint32_t m_dwNow = 1000;
    uint32_t GetTickCount() override { return m_dwNow; }
};

// A box that keeps the text it was given and counts how often it was touched. Lines end at LF.
class CFakeBox : public ILogBox {
public:
    std::string m_strText;
    int m_nWrites = 0;  // SetText and AppendText calls
    int m_nTouches = 0; // every call
    int m_nCaret = 0;
    int m_nFirstVisible = 0;
    std::vector<int> m_lineStarts{0};

    int GetLineCount() override { return ++m_nTouches, int(m_lineStarts.size()); }
    int LineIndex(int line) override {
        ++m_nTouches;
        if (line < 0) {
            int start = 0;
            for (int s : m_lineStarts)
                if (s <= m_nCaret)
                    start = s;
            return start;
        }
        return line < int(m_lineStarts.size()) ? m_lineStarts[size_t(line)] : -1;
    }
    int GetFirstVisibleLine() override { return ++m_nTouches, m_nFirstVisible; }
    void SetText(const std::string& text) override {
        ++m_nTouches, ++m_nWrites;
        m_strText.clear();
        m_lineStarts = {0};
        Add(text);
        m_nCaret = 0;
        m_nFirstVisible = 0;
    }
    void AppendText(const std::string& text) override { ++m_nTouches, ++m_nWrites, Add(text); }
    void SetSel(int start, int) override { ++m_nTouches, m_nCaret = start; }
    void ScrollCaret() override { ++m_nTouches, m_nFirstVisible = int(m_lineStarts.size()) - 1; }
    void SetFirstVisibleLine(int line) override { ++m_nTouches, m_nFirstVisible = line; }

private:
    void Add(const std::string& text) {
        for (char c : text) {
            m_strText += c;
            if (c == '\n')
                m_lineStarts.push_back(int(m_strText.size()));
        }
    }
};

struct LogConsoleTest : ::testing::Test {
    CFakeTicks ticks;
    CFakeBox box;
    CLogConsole log{&box, &ticks};
};

} // namespace

TEST_F(LogConsoleTest, ByteRules) {
    log.AppendLogChar('a', false);
    log.AppendLogChar('\n', false);
    log.AppendLogChar('b', false);
    EXPECT_EQ(log.m_strLog, "a\r\nb");

    log.ClearLog();
    log.AppendLogText("\r\n", false);
    EXPECT_EQ(log.m_strLog, "\r\r\n") << "the board's CR LF becomes CR CR LF";

    log.ClearLog();
    log.AppendLogChar(0, false);
    log.AppendLogChar(0, true);
    log.AppendLogChar(0x100, true); // only the low 8 bits count: NUL
    EXPECT_EQ(log.m_strLog, "");

    log.AppendLogChar(0xE7, false);
    log.AppendLogChar(0x80, false);
    log.AppendLogChar(0xFF, false);
    log.AppendLogChar('\r', false);
    log.AppendLogChar(0x10A, false); // low 8 bits: LF
    EXPECT_EQ(log.m_strLog, "\xE7\x80\xFF\r\r\n");
}

TEST_F(LogConsoleTest, NullAndEmptyTexts) {
    log.AppendLogText(nullptr, true);
    EXPECT_EQ(box.m_nTouches, 0) << "a null text does not even refresh";

    log.AppendLogText("x", false);
    EXPECT_EQ(box.m_nWrites, 0) << "held back by the throttle";
    ticks.m_dwNow += 1; // still within 200 ms
    log.AppendLogText("", true);
    EXPECT_EQ(box.m_strText, "x") << "an empty text with force is one forced refresh";
}

TEST_F(LogConsoleTest, ThrottleHoldsBackThenShows) {
    log.AppendLogChar('a', false);
    ticks.m_dwNow += 199;
    log.AppendLogChar('b', false);
    EXPECT_EQ(box.m_strText, "");

    ticks.m_dwNow += 1; // 200 ms since the construction's tick
    log.AppendLogChar('c', false);
    EXPECT_EQ(box.m_strText, "abc");

    log.AppendLogChar('d', false); // same tick: held back
    EXPECT_EQ(box.m_strText, "abc");
    log.AppendLogChar(0, true);
    EXPECT_EQ(box.m_strText, "abcd");
    EXPECT_EQ(log.m_nLastLogLength, 4);

    // A waiting loop's empty checks let held-back bytes through once the interval is over.
    log.AppendLogChar('e', false);
    ticks.m_dwNow += 250;
    log.AppendLogChar(0, false);
    EXPECT_EQ(box.m_strText, "abcde");
}

TEST_F(LogConsoleTest, ForcedRefreshWithoutGrowthLeavesTheBoxAlone) {
    log.AppendLogText("line\n", true);
    int touches = box.m_nTouches;
    box.m_nCaret = 0; // the operator put the caret somewhere else
    log.AppendLogChar(0, true);
    log.AppendLogText("", true);
    ticks.m_dwNow += 1000;
    log.AppendLogChar(0, false);
    EXPECT_EQ(box.m_nTouches, touches);
    EXPECT_EQ(log.m_nLastRefreshTick, int64_t(ticks.m_dwNow))
        << "the tick is stored even when nothing is shown";
}

TEST_F(LogConsoleTest, TickCounterWrap) {
    ticks.m_dwNow = 0xFFFFFF00u;
    log.AppendLogChar(0, true);
    EXPECT_EQ(log.m_nLastRefreshTick, int64_t(0xFFFFFF00u)) << "the tick is widened without sign";

    ticks.m_dwNow = 500; // wrapped: the difference is negative
    log.AppendLogChar('a', false);
    ticks.m_dwNow = 5000;
    log.AppendLogChar('b', false);
    EXPECT_EQ(box.m_strText, "") << "after a wrap, throttled checks do nothing";

    log.AppendLogChar(0, true);
    EXPECT_EQ(box.m_strText, "ab");
    EXPECT_EQ(log.m_nLastRefreshTick, 5000);
    log.AppendLogChar('c', false);
    ticks.m_dwNow = 5200;
    log.AppendLogChar(0, false);
    EXPECT_EQ(box.m_strText, "abc") << "throttling works again after the forced check";
}

TEST_F(LogConsoleTest, HandsTheBoxOnlyWhatIsNew) {
    log.AppendLogText("first\n", true);
    log.AppendLogText("second\n", true);
    EXPECT_EQ(box.m_strText, "first\r\nsecond\r\n");
    EXPECT_EQ(box.m_nWrites, 2);

    log.ClearLog();
    EXPECT_EQ(box.m_strText, "");
    EXPECT_EQ(log.m_nLastLogLength, 0);
    ticks.m_dwNow += 200;
    log.AppendLogChar('z', false);
    EXPECT_EQ(box.m_strText, "z") << "after clearing, the first passing check shows the new text";
}

TEST_F(LogConsoleTest, FollowsWhileTheCaretIsOnTheLastLine) {
    for (int i = 0; i < 30; ++i)
        log.AppendLogText("line\n", true);
    EXPECT_EQ(box.m_nFirstVisible, 30);
    EXPECT_EQ(box.m_nCaret, int(box.m_strText.size())) << "caret at the start of the empty last line";

    // The operator clicks into line 3 and scrolls to line 2: the view stays put from now on.
    box.m_nCaret = box.m_lineStarts[3];
    box.m_nFirstVisible = 2;
    log.AppendLogText("more\n", true);
    log.AppendLogText("more\n", true);
    EXPECT_EQ(box.m_nFirstVisible, 2);
    EXPECT_EQ(box.m_nCaret, box.m_lineStarts[3]);

    // Back on the last line: following resumes.
    box.m_nCaret = int(box.m_strText.size());
    log.AppendLogText("again\n", true);
    EXPECT_EQ(box.m_nFirstVisible, int(box.m_lineStarts.size()) - 1);
}

TEST(LogConsole, WorksWithoutABox) {
    CLogConsole log;
    log.AppendLogText("Executando BfinUcLinux \n", true);
    EXPECT_EQ(log.m_strLog, "Executando BfinUcLinux \r\n");
    EXPECT_EQ(log.m_nLastLogLength, int64_t(log.m_strLog.size()));
}

#include "app/QtLogBox.h"
#include "core/Cp1252.h"
#include "core/LogConsole.h"
#include "core/SystemError.h"
#include "core/Worker.h"
#include "tests/support/Locale.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <cerrno>
#include <gtest/gtest.h>

namespace {

struct QtLogBoxTest : ::testing::Test {
    QPlainTextEdit edit;
    CStopSource stop;
    CQtLogBox box{&edit, stop.Token()};
    CLogConsole log{&box};

    QtLogBoxTest() {
        CQtLogBox::PrepareEdit(&edit);
        edit.resize(300, 150);
        edit.show();
        QApplication::processEvents();
    }
    int CaretLine() { return edit.textCursor().blockNumber(); }
    int TopLine() { return edit.verticalScrollBar()->value(); }
    int LastLine() { return edit.document()->blockCount() - 1; }
    // The caret's line lies wholly inside the visible area.
    bool CaretInView() {
        QRect caret = edit.cursorRect();
        return caret.top() >= 0 && caret.bottom() <= edit.viewport()->height();
    }
    void AddLines(int count) {
        for (int i = 0; i < count; ++i)
            log.AppendLogText(("line " + std::to_string(i) + "\n").c_str(), true);
    }
};

} // namespace

TEST_F(QtLogBoxTest, ShowsWindows1252AndOneBreakPerLineEnd) {
    log.AppendLogText("a\xE7\x80 \r\nb\rc\nd", true);
    EXPECT_EQ(edit.toPlainText(), QString::fromUtf8("aç€ \nbc\nd"));
    EXPECT_EQ(edit.document()->blockCount(), 3);
}

// The C library's reasons come in the operator's language and the locale's encoding; put into the log they
// show as the operator reads them.
TEST_F(QtLogBoxTest, SystemReasonsShowRightInAnyLocaleEncoding) {
    for (const char* pszLocale : {"pt_BR.UTF-8", "pt_BR.ISO-8859-1"}) {
        SCOPED_TRACE(pszLocale);
        CTestLocale locale(pszLocale);
        if (!locale.Ready())
            GTEST_SKIP() << "cannot build the locale (localedef and the locales package needed)";
        ASSERT_TRUE(locale.Use());
        std::string strReason = SystemErrorText(EACCES);
        EXPECT_EQ(strReason, "Permissão negada");
        log.ClearLog();
        log.AppendLogText(EncodeCp1252(strReason + "\n").c_str(), true);
        EXPECT_EQ(edit.toPlainText(), QString::fromUtf8("Permissão negada\n"));
    }
}

TEST_F(QtLogBoxTest, FollowsTheEndThenKeepsTheOperatorsPlace) {
    AddLines(100);
    EXPECT_EQ(CaretLine(), LastLine());
    EXPECT_TRUE(CaretInView()) << "the end of the log is in view";
    EXPECT_GT(TopLine(), 80);

    // The operator clicks into line 10 and scrolls so that line 5 is at the top.
    QTextCursor cursor(edit.document()->findBlockByNumber(10));
    edit.setTextCursor(cursor);
    edit.verticalScrollBar()->setValue(5);
    AddLines(50);
    EXPECT_EQ(TopLine(), 5) << "the view keeps the line the operator was reading";
    EXPECT_EQ(CaretLine(), 10);
    EXPECT_EQ(edit.document()->blockCount(), 151);

    // Ctrl+End puts the caret back on the last line: the box follows again.
    QTest::keyClick(&edit, Qt::Key_End, Qt::ControlModifier);
    AddLines(20);
    EXPECT_EQ(CaretLine(), LastLine());
    EXPECT_TRUE(CaretInView());
    EXPECT_GT(TopLine(), 150);
}

TEST_F(QtLogBoxTest, ScrollBarAloneDoesNotStopFollowing) {
    AddLines(100);
    edit.verticalScrollBar()->setValue(0);
    AddLines(1);
    EXPECT_TRUE(CaretInView());
    EXPECT_GT(TopLine(), 80);
}

TEST_F(QtLogBoxTest, ClearEmptiesTheBox) {
    AddLines(3);
    log.ClearLog();
    EXPECT_EQ(edit.toPlainText(), QString());
    log.AppendLogText("x\n", true);
    EXPECT_EQ(edit.toPlainText(), QString("x\n"));
}

// The worker appends from its own thread; the box changes only on the GUI thread, while the worker waits.
TEST_F(QtLogBoxTest, WorkerAppendsThroughTheGuiThread) {
    CWorker worker(stop.Token());
    ASSERT_TRUE(worker.Start([this](const CStopToken&) {
        for (int i = 0; i < 200; ++i)
            log.AppendLogText("from the worker\n", i % 50 == 0);
        log.AppendLogChar(0, true);
    }));
    while (worker.IsRunning())
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_TRUE(worker.Wait(1000));
    EXPECT_EQ(edit.document()->blockCount(), 201);
    EXPECT_EQ(CaretLine(), LastLine());
}

// The record of every board: what a torn, shared or full file does to the rows, and the rows read back.

#include "records/RunRecord.h"
#include "records/RunArchive.h"

#include "core/UniqueFd.h"

#include "tests/support/ChildProcesses.h"
#include "tests/support/CsvRead.h"
#include "tests/support/Locale.h"
#include "tests/support/TempWorkDir.h"

#include <clocale>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char* kBom = "\xEF\xBB\xBF";

} // namespace

// Whatever the file ended with, the next row is a record of its own and the earlier rows stay as they were.
TEST(RunRecordTest, TornLastLineNeverSwallowsTheNextRow) {
    CTempWorkDir dir;
    const std::string strRow = "new,\"x,y\",z\r\n";
    struct SCase {
        const char* pszName;
        std::string before;
        size_t nRecordsBefore; // records the file held before, the torn one counted
    };
    std::vector<SCase> cases = {
        {"new file", "", 0},
        {"complete", "h\r\na,b\r\n", 2},
        {"torn after a field", "h\r\na,b", 2},
        {"torn inside a quoted field", "h\r\na,\"b,c", 2},
        {"torn after a doubled quote", "h\r\na,\"b\"\"c\"\"", 2},
        {"torn between CR and LF", "h\r\na,b\r", 2},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        if (!c.before.empty())
            WriteFileBytes("runs.csv", c.before);
        else
            unlink("runs.csv");
        ASSERT_EQ(AppendRunRecord("runs.csv", strRow), "");
        std::string after = ReadFileBytes("runs.csv");
        if (c.before.empty()) {
            EXPECT_EQ(after, kBom + RunRecordHeader() + strRow);
            continue;
        }
        EXPECT_EQ(after.substr(0, c.before.size()), c.before);
        std::vector<std::vector<std::string>> rows = ParseCsv(after);
        ASSERT_EQ(rows.size(), c.nRecordsBefore + 1);
        EXPECT_EQ(rows.back(), (std::vector<std::string>{"new", "x,y", "z"}));
    }
}

// A row is one line, quoted where a spreadsheet needs it, with times that carry their UTC offset.
TEST(RunRecordTest, RowFieldsOnOneLine) {
    setenv("TZ", "America/Sao_Paulo", 1);
    tzset();
    SRunRecordRow row;
    row.tStart = std::chrono::sys_days(std::chrono::year(2024) / 5 / 1) + std::chrono::hours(17);
    row.tEnd = row.tStart + std::chrono::seconds(65);
    row.strPort = "/dev/tty,\"A\"";
    row.strMacSent = "02:3A:7C:1a:2b:3c";
    row.strMacRead = "02-3a-7c-1a-2b-3c";
    row.strOutcome = "failed";
    row.nStage = 6;
    row.strMessage = "Verifique se a porta escolhida existe ou \r\n se está em uso\n";
    row.dDurationS = 65.04;
    row.strLogFile = "logs/x.log";
    std::string text = FormatRunRecordRow(row);
    unsetenv("TZ");
    tzset();
    EXPECT_EQ(text, "2024-05-01T14:00:00-03:00,2024-05-01T14:01:05-03:00,\"/dev/tty,\"\"A\"\"\","
                    "02:3A:7C:1A:2B:3C,02:3A:7C:1A:2B:3C,failed,6,Verifique se a porta escolhida existe ou "
                    "se está em uso,"
                    "65.0,logs/x.log,,\r\n");
}

TEST(RunRecordTest, SafePortNames) {
    std::vector<std::pair<std::string, std::string>> cases = {
        {"/dev/ttyUSB0", "dev_ttyUSB0"},
        {"../../etc/x", "etc_x"},
        {"a b:c\\d", "a_b_c_d"},
        {"///", "port"},
    };
    for (const auto& [port, expected] : cases) {
        EXPECT_EQ(SafePortName(port), expected) << port;
    }
    EXPECT_EQ(SafePortName(std::string(300, 'p')).size(), 64u);
}

// What spreadsheets and scripts read in a field, whatever the bytes given: no formula, valid UTF-8, one
// form of a MAC.
TEST(RunRecordTest, FieldsSpreadsheetsReadAsText) {
    struct SCase {
        const char* pszName;
        std::string strPort;
        std::string strMac;
        std::string strPortField; // as ParseCsv reads it back
        std::string strMacField;
    };
    std::vector<SCase> cases = {
        {"formula", "=1+1", "02:3a:7c:aa:bb:cc", "'=1+1", "02:3A:7C:AA:BB:CC"},
        {"plus, hyphen MAC", "+cmd", "02-3a-7c-aa-bb-cc", "'+cmd", "02:3A:7C:AA:BB:CC"},
        {"minus, bare MAC", "-2+3", "023a7caabbcc", "'-2+3", "02:3A:7C:AA:BB:CC"},
        {"at", "@SUM(A1)", "", "'@SUM(A1)", ""},
        {"apostrophe of its own before a formula", "'=1", "", "''=1", ""},
        {"apostrophe of its own", "'ttyS0", "", "'ttyS0", ""},
        {"tab then formula", "\t=HYPERLINK(\"x\")", "not a mac", "'=HYPERLINK(\"x\")", "not a mac"},
        {"CR then formula", "\r+1", "02:3a:7c:aa:bb", "'+1", "02:3a:7c:aa:bb"},
        {"Latin-1 byte", "/dev/tty\xE9", "02:3a:7c:aa:bb:cc:dd", "/dev/tty\xEF\xBF\xBD",
         "02:3a:7c:aa:bb:cc:dd"},
        {"UTF-8 kept", "porta-\xC3\xA9", "02:3A-7c:aa:bb:cc", "porta-\xC3\xA9", "02:3A-7c:aa:bb:cc"},
        {"truncated and overlong", "a\xC3 b\xC0\xAF c\xED\xA0\x80", "",
         "a\xEF\xBF\xBD b\xEF\xBF\xBD\xEF\xBF\xBD c\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", ""},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        SRunRecordRow row;
        row.strPort = c.strPort;
        row.strMacSent = c.strMac;
        row.strMacRead = c.strMac;
        std::vector<std::vector<std::string>> rows = ParseCsv(FormatRunRecordRow(row));
        ASSERT_EQ(rows.size(), 1u);
        ASSERT_EQ(rows[0].size(), kRunRecordFieldCount);
        EXPECT_EQ(rows[0][2], c.strPortField);
        EXPECT_EQ(rows[0][3], c.strMacField);
        EXPECT_EQ(rows[0][4], c.strMacField);
    }
}

// A row reads back as the row it was written from: the text meant, not the spreadsheet's guard; a field's
// own apostrophes kept.
TEST(RunRecordTest, RowsReadBackAsWritten) {
    struct SCase {
        const char* pszName;
        std::string strGiven;
        std::string strRead;
    };
    std::vector<SCase> cases = {
        {"plain", "ttyUSB0", "ttyUSB0"},
        {"formula", "=1+1", "=1+1"},
        {"minus", "-2", "-2"},
        {"apostrophe of its own", "'abc", "'abc"},
        {"apostrophes of its own before a formula", "''@x", "''@x"},
        {"apostrophe alone", "'", "'"},
        {"comma and quotes", "a,\"b\",c\"", "a,\"b\",c\""},
        {"quoted formula", "=\"x\",y", "=\"x\",y"},
        {"line breaks", "a\r\n b\tc", "a b c"},
        {"Latin-1 byte", "tty\xE9", "tty\xEF\xBF\xBD"},
        {"UTF-8", "porta-\xC3\xA9", "porta-\xC3\xA9"},
        {"empty", "", ""},
    };
    setenv("TZ", "America/Sao_Paulo", 1);
    tzset();
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        SRunRecordRow row;
        row.tStart = std::chrono::sys_days(std::chrono::year(2024) / 5 / 1) + std::chrono::seconds(61);
        row.tEnd = row.tStart + std::chrono::hours(25);
        row.strPort = c.strGiven;
        row.strMacSent = "02-3a-7c-1a-2b-3c";
        row.strOutcome = "interrupted";
        row.nStage = 13;
        row.strMessage = c.strGiven;
        row.dDurationS = 90000.04;
        row.strLogFile = c.strGiven;
        std::string text = FormatRunRecordRow(row);
        std::optional<SRunRecordRow> read =
            ParseRunRecordRow(std::string_view(text).substr(0, text.size() - 2));
        ASSERT_TRUE(read) << text;
        EXPECT_EQ(read->strPort, c.strRead);
        EXPECT_EQ(read->strMessage, c.strRead);
        EXPECT_EQ(read->strLogFile, c.strRead);
        EXPECT_EQ(read->strMacSent, "02:3A:7C:1A:2B:3C");
        EXPECT_EQ(read->strMacRead, "");
        EXPECT_EQ(read->tStart, row.tStart);
        EXPECT_EQ(read->tEnd, row.tEnd);
        EXPECT_EQ(read->strOutcome, "interrupted");
        EXPECT_EQ(read->nStage, 13);
        EXPECT_DOUBLE_EQ(read->dDurationS, 90000.0);
    }
    unsetenv("TZ");
    tzset();
    // The instant, whichever offset wrote it.
    EXPECT_EQ(ParseIsoTime("2024-05-01T14:00:00-03:00"), ParseIsoTime("2024-05-01T17:00:00Z"));
    EXPECT_EQ(ParseIsoTime("2024-05-01T17:00:00+00:00"),
              std::chrono::sys_days(std::chrono::year(2024) / 5 / 1) + std::chrono::hours(17));
}

// Lines that are not rows read as nothing: a reader leaves them out instead of taking a wrong run.
// The record read in blocks gives the lines its whole text gives, wherever a block ends: inside a line,
// between its CR and LF, inside the header, in a line longer than a block, before a torn last line.
TEST(RunRecordTest, RecordReadInBlocksGivesEveryLineOnce) {
    CTempWorkDir dir;
    std::string strLong(300, 'y');
    const std::vector<std::string> texts = {
        "",
        "header only, no line end",
        "header\r\n",
        "header\r\nrow 1\r\n\r\nrow 3\r\n" + strLong + "\r\ntorn row",
        "\xEF\xBB\xBF" + strLong + "\r\nrow after a long header\r\n",
        "h\nx\n\n\n",
    };
    for (const std::string& text : texts) {
        std::vector<std::string> expected;
        ForEachRecordLine(text, [&](std::string_view line) { expected.emplace_back(line); });
        WriteFileBytes(kRunRecordFileName, text);
        CUniqueFd fd(open(kRunRecordFileName, O_RDONLY | O_CLOEXEC));
        for (size_t nBlock : {size_t(1), size_t(2), size_t(7), size_t(64), kRecordReadBlockBytes}) {
            SCOPED_TRACE(testing::Message() << text.substr(0, 20) << " / " << nBlock);
            std::vector<std::string> lines;
            EXPECT_TRUE(ForEachRecordLineIn(
                fd.Get(), [&](std::string_view line) { lines.emplace_back(line); }, nBlock));
            EXPECT_EQ(lines, expected);
        }
    }
}

TEST(RunRecordTest, LinesThatAreNotRows) {
    const std::string strGood =
        "2024-05-01T14:00:00-03:00,2024-05-01T14:01:05-03:00,ttyUSB0,,,failed,6,m,65.0,";
    ASSERT_TRUE(ParseRunRecordRow(strGood));
    std::vector<std::pair<const char*, std::string>> cases = {
        {"header", "start,end,port,mac_sent,mac_read,outcome,last_stage,message,duration_s,log_file"},
        {"torn in a quoted field", "2024-05-01T14:00:00-03:00,2024-05-01T14:01:05-03:00,\"tty"},
        {"torn and mended", "2024-05-01T14:00:00-03:00,2024-05-01T14:01:05-03:00,\"tty\""},
        {"a field too many", strGood + ",,,"},
        {"text after a closing quote",
         "2024-05-01T14:00:00-03:00,2024-05-01T14:01:05-03:00,\"tty\"x,,,failed,6,m,65.0,"},
        {"a quote inside an unquoted field",
         "2024-05-01T14:00:00-03:00,2024-05-01T14:01:05-03:00,t\"y,,,failed,6,m,65.0,"},
        {"outcome unknown", "2024-05-01T14:00:00-03:00,2024-05-01T14:01:05-03:00,ttyUSB0,,,done,6,m,65.0,"},
        {"stage past 17", "2024-05-01T14:00:00-03:00,2024-05-01T14:01:05-03:00,ttyUSB0,,,failed,18,m,65.0,"},
        {"stage negative", "2024-05-01T14:00:00-03:00,2024-05-01T14:01:05-03:00,ttyUSB0,,,failed,-1,m,65.0,"},
        {"duration not a number",
         "2024-05-01T14:00:00-03:00,2024-05-01T14:01:05-03:00,ttyUSB0,,,failed,6,m,1.5s,"},
        {"time without offset", "2024-05-01T14:00:00,2024-05-01T14:01:05-03:00,ttyUSB0,,,failed,6,m,65.0,"},
        {"day not in the calendar",
         "2024-02-30T14:00:00-03:00,2024-05-01T14:01:05-03:00,ttyUSB0,,,failed,6,m,65.0,"},
        {"signed hour", "2024-05-01T+4:00:00-03:00,2024-05-01T14:01:05-03:00,ttyUSB0,,,failed,6,m,65.0,"},
        {"empty", ""},
    };
    for (const auto& [pszName, line] : cases)
        EXPECT_FALSE(ParseRunRecordRow(line)) << pszName;
}

// The duration has one form whatever the locale the program runs in (the front ends take the user's).
TEST(RunRecordTest, NumbersIgnoreTheLocale) {
    std::string text;
    char decimal[8];
    {
        CTestLocale locale;
        if (!locale.Ready())
            GTEST_SKIP() << "cannot build the pt_BR.UTF-8 locale (localedef and the locales package needed)";
        ASSERT_TRUE(locale.Use());
        snprintf(decimal, sizeof decimal, "%.1f", 1.0);
        SRunRecordRow row;
        row.dDurationS = 1.04;
        text = FormatRunRecordRow(row);
    }
    EXPECT_STREQ(decimal, "1,0") << "the locale is in force";
    EXPECT_EQ(ParseCsv(text)[0][8], "1.0");
    EXPECT_EQ(text.find('"'), std::string::npos) << text;
}

// A write that the disk cuts short leaves the record as it was, not with a torn row.
TEST(RunRecordTest, FailedAppendLeavesNothingTorn) {
    CTempWorkDir dir;
    ASSERT_EQ(AppendRunRecord(kRunRecordFileName, "earlier,row\r\n"), "");
    std::string before = ReadFileBytes(kRunRecordFileName);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The file size limit stands in for a full disk: the write stops part-way.
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit = {rlim_t(before.size() + 5), rlim_t(before.size() + 5)};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(AppendRunRecord(kRunRecordFileName, std::string(100, 'x') + "\r\n").empty() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the append reports its failure";
    EXPECT_EQ(ReadFileBytes(kRunRecordFileName), before);
}

// A record another process keeps locked past the wait: the row is a failed write, never an unlocked one.
TEST(RunRecordTest, LockNotHadInTimeIsAFailedWrite) {
    CTempWorkDir dir;
    ASSERT_EQ(AppendRunRecord(kRunRecordFileName, "earlier,row\r\n"), "");
    CUniqueFd held(open(kRunRecordFileName, O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(flock(held.Get(), LOCK_EX), 0);
    EXPECT_EQ(AppendRunRecord(kRunRecordFileName, "later,row\r\n"), "ocupado por outro processo");
    EXPECT_EQ(ReadFileBytes(kRunRecordFileName).find("later"), std::string::npos);
}

// Benches sharing a folder: every row arrives whole, the header once, however the appends overlap.
TEST(RunRecordTest, ConcurrentAppendersNeverInterleave) {
    CTempWorkDir dir;
    constexpr int kProcesses = 6;
    constexpr int kRowsEach = 150;
    RunInChildProcesses(kProcesses, [&](int p) {
        int nFailed = 0;
        for (int r = 0; r < kRowsEach; ++r) {
            // Rows of many sizes, some far beyond a pipe's atomic size, so that overlaps would show.
            std::string strRow = std::to_string(p) + "," + std::to_string(r) + ",\"" +
                                 std::string(size_t(r * 37 % 9000), char('a' + p)) + "\"\r\n";
            nFailed += !AppendRunRecord(kRunRecordFileName, strRow).empty();
        }
        return nFailed ? 1 : 0;
    });

    std::string text = ReadFileBytes(kRunRecordFileName);
    ASSERT_EQ(text.rfind(kBom + RunRecordHeader(), 0), 0u);
    std::vector<std::vector<std::string>> rows = ParseCsv(text.substr(strlen(kBom)));
    ASSERT_EQ(rows.size(), size_t(1 + kProcesses * kRowsEach));
    std::vector<int> next(kProcesses, 0);
    for (size_t i = 1; i < rows.size(); ++i) {
        const std::vector<std::string>& row = rows[i];
        ASSERT_EQ(row.size(), 3u) << "row " << i;
        int p = std::stoi(row[0]);
        int r = std::stoi(row[1]);
        ASSERT_TRUE(p >= 0 && p < kProcesses);
        EXPECT_EQ(r, next[size_t(p)]++) << "each appender's rows in its own order";
        EXPECT_EQ(row[2], std::string(size_t(r * 37 % 9000), char('a' + p)));
    }
}

// Rows of the first version, ten columns, read alongside this version's, whose operator and serial come last.
TEST(RunRecordTest, OldAndNewWidthsRead) {
    EXPECT_TRUE(RunRecordHeader().ends_with(",log_file,operator,serial\r\n")) << RunRecordHeader();
    std::optional<SRunRecordRow> old = ParseRunRecordRow(
        "2024-05-01T14:00:00-03:00,2024-05-01T14:01:05-03:00,ttyUSB0,02:3A:7C:00:00:01,,ok,17,m,65.0,x.log");
    ASSERT_TRUE(old);
    EXPECT_EQ(old->strLogFile, "x.log");
    EXPECT_EQ(old->strOperator, "");
    EXPECT_EQ(old->strSerial, "");
    SRunRecordRow row = *old;
    row.strOperator = "maria";
    row.strSerial = "=QAN,0001";
    std::string strLine = FormatRunRecordRow(row);
    EXPECT_TRUE(strLine.ends_with(",x.log,maria,\"'=QAN,0001\"\r\n")) << strLine;
    std::optional<SRunRecordRow> read = ParseRunRecordRow(strLine.substr(0, strLine.size() - 2));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->strOperator, "maria");
    EXPECT_EQ(read->strSerial, "=QAN,0001");
    EXPECT_FALSE(ParseRunRecordRow(strLine.substr(0, strLine.size() - 2) + ",")) << "a column too many";
}

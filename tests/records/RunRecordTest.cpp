// The record of every board and the run logs: what a torn or shared file does to the rows, and what a
// folder that cannot be written does to a run.

#include "records/RunRecord.h"
#include "records/RunArchive.h"

#include "tests/support/CsvRead.h"
#include "tests/support/TempWorkDir.h"

#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char* kBom = "\xEF\xBB\xBF";

SRunResult FailedResult() {
    SRunResult result;
    result.eEnd = ERunEnd::TftpFailed;
    result.nStage = RUN_STAGE_TFTP;
    return result;
}

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
    row.strOutcome = "failed";
    row.nStage = 6;
    row.strMessage = "Verifique se a porta escolhida existe ou \r\n se está em uso\n";
    row.dDurationS = 65.04;
    row.strLogFile = "logs/x.log";
    std::string text = FormatRunRecordRow(row);
    unsetenv("TZ");
    tzset();
    EXPECT_EQ(text, "2024-05-01T14:00:00-03:00,2024-05-01T14:01:05-03:00,\"/dev/tty,\"\"A\"\"\","
                    "02:3A:7C:1a:2b:3c,,failed,6,Verifique se a porta escolhida existe ou se está em uso,"
                    "65.0,logs/x.log\r\n");
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

// The log is saved as the log box shows it; a second run in the same second gets a file of its own.
TEST(RunRecordTest, RunLogsAreSavedAndNeverReplaced) {
    CTempWorkDir dir;
    CLogConsole log;
    log.AppendLogText("Executando BfinUcLinux \nQAN640> \xE9", true);
    CRunArchive archive;
    archive.BeginRun("/dev/pts/3");
    CRunArchive::SArchived first = archive.EndRun(FailedResult(), log);
    CRunArchive::SArchived second = archive.EndRun(FailedResult(), log);
    EXPECT_TRUE(first.problems.empty());
    EXPECT_NE(first.row.strLogFile, second.row.strLogFile);
    EXPECT_EQ(ReadFileBytes(first.row.strLogFile), "Executando BfinUcLinux \r\nQAN640> \xE9");
    EXPECT_EQ(second.row.strLogFile.substr(second.row.strLogFile.size() - 6), "-2.log");

    std::vector<std::vector<std::string>> rows = ParseCsv(ReadFileBytes(kRunRecordFileName));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1][9], first.row.strLogFile);
}

// A record or logs folder that cannot be written costs only its own file; the log says what was lost.
TEST(RunRecordTest, UnwritableFilesAreReportedInTheLog) {
    struct SCase {
        const char* pszName;
        bool bRecordBlocked;
        bool bLogsBlocked;
    };
    for (SCase c : {SCase{"record", true, false}, SCase{"logs", false, true}, SCase{"both", true, true}}) {
        SCOPED_TRACE(c.pszName);
        CTempWorkDir dir;
        // In place of the file or folder stands something no one can write into, also as root.
        if (c.bRecordBlocked) {
            ASSERT_EQ(mkdir(kRunRecordFileName, 0755), 0);
        }
        if (c.bLogsBlocked) {
            WriteFileBytes(kRunLogFolderName, "");
        }
        CLogConsole log;
        log.AppendLogText("board output", false);
        CRunArchive archive;
        archive.BeginRun("ttyS0");
        CRunArchive::SArchived archived = archive.EndRun(FailedResult(), log);

        EXPECT_EQ(archived.problems.size(), size_t(c.bRecordBlocked) + size_t(c.bLogsBlocked));
        for (const std::string& strProblem : archived.problems) {
            EXPECT_NE(log.m_strLog.find("\r\n" + strProblem + "\r\n"), std::string::npos) << log.m_strLog;
        }
        EXPECT_EQ(archived.row.strLogFile.empty(), c.bLogsBlocked);
        if (!c.bLogsBlocked) {
            EXPECT_EQ(ReadFileBytes(archived.row.strLogFile), log.m_strLog) << "the log holds the lost row";
        }
        if (!c.bRecordBlocked) {
            std::vector<std::vector<std::string>> rows = ParseCsv(ReadFileBytes(kRunRecordFileName));
            ASSERT_EQ(rows.size(), 2u);
            EXPECT_EQ(rows[1][9], "") << "no log file to name";
        }
    }
}

// Benches sharing a folder: every row arrives whole, the header once, however the appends overlap.
TEST(RunRecordTest, ConcurrentAppendersNeverInterleave) {
    CTempWorkDir dir;
    constexpr int kProcesses = 6;
    constexpr int kRowsEach = 150;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int nFailed = 0;
            for (int r = 0; r < kRowsEach; ++r) {
                // Rows of many sizes, some far beyond a pipe's atomic size, so that overlaps would show.
                std::string strRow = std::to_string(p) + "," + std::to_string(r) + ",\"" +
                                     std::string(size_t(r * 37 % 9000), char('a' + p)) + "\"\r\n";
                nFailed += !AppendRunRecord(kRunRecordFileName, strRow).empty();
            }
            _exit(nFailed ? 1 : 0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

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

// The run logs and the run journals: the log written as the run goes, what a killed run leaves, and what a
// folder that cannot be written does to a run.

#include "records/RunArchive.h"

#include "core/Cp1252.h"

#include "tests/support/CsvRead.h"
#include "tests/support/TempWorkDir.h"

#include <QDir>
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

SRunResult FailedResult() {
    SRunResult result;
    result.eEnd = ERunEnd::TftpFailed;
    result.nStage = RUN_STAGE_TFTP;
    return result;
}

// A run of the archive in the working directory, as far as the given stage, with a MAC sent from stage 12.
SRunResult Progress(int nStage) {
    SRunResult result;
    result.nStage = nStage;
    if (nStage >= RUN_STAGE_BOOTARGS)
        result.strMacSent = "02:3A:7C:1a:2b:3c";
    return result;
}

std::vector<std::vector<std::string>> RecordRows() {
    std::vector<std::vector<std::string>> rows = ParseCsv(ReadFileBytes(kRunRecordFileName));
    if (!rows.empty())
        rows.erase(rows.begin());
    return rows;
}

std::vector<std::string> JournalNames() {
    std::vector<std::string> names;
    QDir dir(kRunJournalFolderName);
    for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden))
        names.push_back(name.toStdString());
    return names;
}

} // namespace

// The run log is written as the run goes, between a header and the outcome; a second run in the same
// second gets a file of its own. Files and folders are as shared as the umask lets them be.
TEST(RunRecordTest, RunLogsGrowWithTheRun) {
    CTempWorkDir dir;
    mode_t previous = umask(002);
    CLogConsole log;
    CRunArchive archive;
    archive.BeginRun("/dev/pts/3", log);
    log.AppendLogText("Executando BfinUcLinux \nQAN640> \xE9", false);
    archive.NoteStage(Progress(RUN_STAGE_TFTP), log);
    std::string strLogFile = RecordRows().empty() ? "" : "x";
    EXPECT_EQ(strLogFile, "") << "no row before the verdict";
    ASSERT_EQ(JournalNames().size(), 1u) << "the run's journal";

    CRunArchive::SArchived first = archive.EndRun(FailedResult(), log);
    std::string strMidRun = ReadFileBytes(first.row.strLogFile);
    archive.BeginRun("/dev/pts/3", log);
    CRunArchive::SArchived second = archive.EndRun(FailedResult(), log);
    umask(previous);

    EXPECT_TRUE(first.problems.empty() && first.bSaved);
    EXPECT_NE(first.row.strLogFile, second.row.strLogFile);
    if (FormatIsoTime(first.row.tStart) == FormatIsoTime(second.row.tStart)) {
        EXPECT_EQ(second.row.strLogFile.substr(second.row.strLogFile.size() - 6), "-2.log");
    }
    std::string text = ReadFileBytes(first.row.strLogFile);
    std::string strHeader = text.substr(0, text.find("\r\n"));
    EXPECT_EQ(strHeader.find("test_records 1.0."), 0u) << strHeader;
    EXPECT_NE(strHeader.find(" - in\xED"
                             "cio " +
                             FormatIsoTime(first.row.tStart) + " - porta /dev/pts/3"),
              std::string::npos)
        << strHeader;
    EXPECT_NE(text.find("\r\nExecutando BfinUcLinux \r\nQAN640> \xE9\r\nResultado: falha na etapa 6 "
                        "(Transferindo a imagem (tftp)): Houve um erro ao enviar o comando tft Reinicie a "
                        "aplica\xE7\xE3o\r\n"),
              std::string::npos)
        << text;
    EXPECT_TRUE(JournalNames().empty());

    std::vector<std::vector<std::string>> rows = RecordRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][9], first.row.strLogFile);
    struct SMode {
        const char* pszPath;
        mode_t mode;
    };
    for (SMode m : {SMode{kRunRecordFileName, 0664}, SMode{kRunLogFolderName, 0775},
                    SMode{kRunJournalFolderName, 0775}, SMode{first.row.strLogFile.c_str(), 0664}}) {
        struct stat st = {};
        ASSERT_EQ(stat(m.pszPath, &st), 0) << m.pszPath;
        EXPECT_EQ(st.st_mode & 07777, m.mode) << m.pszPath;
    }
}

// A run that ends without its verdict (the process killed, the power lost) is recorded by the next start
// from its journal, once, and its log gets its outcome line; a live run's journal is left alone.
TEST(RunRecordTest, JournalsOfDeadRunsBecomeRows) {
    struct SCase {
        const char* pszName;
        int nStage;
        bool bFinal;         // killed after its verdict was in the journal
        bool bRowAppended;   // ... and after its row was appended
        std::string strTorn; // bytes a lost write left at the journal's end
        const char* pszOutcome;
    };
    std::vector<SCase> cases = {
        {"at the loader", RUN_STAGE_LOADER, false, false, "", "interrupted"},
        {"after bootargs, torn entry", RUN_STAGE_SAVEENV, false, false,
         "P\t0\tlogs/x\tResultado\ta,b\t123\nP\t0\tlo", "interrupted"},
        {"after its verdict", RUN_STAGE_TFTP, true, false, "", "failed"},
        {"after its row", RUN_STAGE_TFTP, true, true, "", "failed"},
        // Verified, and the label still being scanned back when the program died.
        {"verdict waiting on the bench", RUN_STAGE_VERIFY, false, false, "", "ok"},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        CTempWorkDir dir;
        ASSERT_EQ(AppendRunRecord(kRunRecordFileName, "earlier,row\r\n"), "");
        CLogConsole log;
        std::string strLogFile;
        {
            CRunArchive killed;
            killed.BeginRun("ttyUSB0", log);
            log.AppendLogText("board bytes", false);
            killed.NoteStage(Progress(c.nStage), log);
            if (c.nStage == RUN_STAGE_VERIFY) {
                SRunResult verified = Progress(c.nStage);
                verified.eEnd = ERunEnd::Verified;
                verified.strMacRead = verified.strMacSent;
                killed.NoteVerdict(verified);
            }
            std::vector<std::string> names = JournalNames();
            ASSERT_EQ(names.size(), 1u);
            std::string strJournal = std::string(kRunJournalFolderName) + "/" + names[0];
            std::optional<SRunJournalEntry> entry = LastRunJournalEntry(ReadFileBytes(strJournal));
            ASSERT_TRUE(entry.has_value());
            strLogFile = entry->strLogFile;
            if (c.bFinal) {
                entry->bFinal = true;
                entry->strRow = "final,row\r\n";
                entry->nRecordSize = RunRecordSize(kRunRecordFileName);
                WriteFileBytes(strJournal, ReadFileBytes(strJournal) + FormatRunJournalEntry(*entry));
                if (c.bRowAppended) {
                    ASSERT_EQ(AppendRunRecord(kRunRecordFileName, entry->strRow), "");
                }
            }
            WriteFileBytes(strJournal, ReadFileBytes(strJournal) + c.strTorn);

            CRunArchive other;
            EXPECT_TRUE(other.RecoverInterruptedRuns().empty());
            EXPECT_EQ(JournalNames().size(), 1u) << "a live run's journal is left alone";
            // Going out of scope without a verdict, as a killed process does: the lock goes with it.
        }
        CRunArchive next;
        EXPECT_TRUE(next.RecoverInterruptedRuns().empty());
        EXPECT_TRUE(next.RecoverInterruptedRuns().empty());
        EXPECT_TRUE(JournalNames().empty());

        std::vector<std::vector<std::string>> rows = RecordRows();
        ASSERT_EQ(rows.size(), 2u) << "one row for the killed run";
        if (c.bFinal) {
            EXPECT_EQ(rows[1], (std::vector<std::string>{"final", "row"}));
            continue;
        }
        ASSERT_EQ(rows[1].size(), kRunRecordFieldCount);
        EXPECT_EQ(rows[1][2], "ttyUSB0");
        EXPECT_EQ(rows[1][5], c.pszOutcome);
        EXPECT_EQ(rows[1][6], std::to_string(c.nStage));
        EXPECT_EQ(rows[1][3], c.nStage >= RUN_STAGE_BOOTARGS ? "02:3A:7C:1A:2B:3C" : "");
        EXPECT_EQ(rows[1][9], strLogFile);
        std::string text = ReadFileBytes(strLogFile);
        std::string strEnd =
            c.nStage == RUN_STAGE_VERIFY
                ? "board bytes\r\nResultado: ok na etapa " + std::to_string(c.nStage)
                : "board bytes\r\nResultado: interrompido na etapa " + std::to_string(c.nStage);
        EXPECT_NE(text.find(strEnd), std::string::npos) << text;
        EXPECT_TRUE(text.ends_with("\r\n"));
    }
}

// A record or logs folder that cannot be written costs only its own file; the log says what was lost and the
// archive tells the front end.
TEST(RunRecordTest, UnwritableFilesAreReported) {
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
        CRunArchive archive;
        archive.BeginRun("ttyS0", log);
        log.AppendLogText("board output", false);
        CRunArchive::SArchived archived = archive.EndRun(FailedResult(), log);

        EXPECT_FALSE(archived.bSaved);
        EXPECT_EQ(archived.problems.size(), size_t(c.bRecordBlocked) + size_t(c.bLogsBlocked));
        for (const std::string& strProblem : archived.problems) {
            EXPECT_NE(("\r\n" + log.m_strLog).find("\r\n" + EncodeCp1252(strProblem) + "\r\n"),
                      std::string::npos)
                << log.m_strLog;
        }
        EXPECT_EQ(archived.row.strLogFile.empty(), c.bLogsBlocked);
        if (!c.bLogsBlocked) {
            std::string text = ReadFileBytes(archived.row.strLogFile);
            EXPECT_NE(text.find("board output\r\nRegistro da execu\xE7\xE3o n\xE3o salvo: "),
                      std::string::npos)
                << "the log holds the lost row: " << text;
        }
        if (!c.bRecordBlocked) {
            std::vector<std::vector<std::string>> rows = RecordRows();
            ASSERT_EQ(rows.size(), 1u);
            EXPECT_EQ(rows[0][9], "") << "no log file to name";
        }
        // A row the record refused stays in the journal for the next start; none is kept otherwise.
        EXPECT_EQ(JournalNames().size(), size_t(c.bRecordBlocked));
    }
}

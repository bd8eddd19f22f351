#pragma once

#include "core/LogConsole.h"
#include "provisioning/MacLedger.h"
#include "provisioning/RunResult.h"
#include "records/RunJournal.h"
#include "records/RunRecord.h"
#include "records/RunRowOutlet.h"

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

// The folder of the run logs, beside the record.
inline constexpr const char* kRunLogFolderName = "logs";

// The port name as a piece of a file name: letters, digits, ".", "-" and "_" stay, anything else (the
// "/" of a device path included) becomes "_"; leading "_" and "." go, and the result is kept short.
// "/dev/ttyUSB0" gives "dev_ttyUSB0"; a name with nothing left gives "port".
std::string SafePortName(std::string_view port);

// "<start time>-<port>.log": the start time in the basic ISO 8601 form (no ":", which some file systems
// refuse), "20240501T140307-0300-dev_ttyUSB0.log".
std::string RunLogFileName(std::chrono::system_clock::time_point tStart, std::string_view port);

// The run's outcome on one line (UTF-8), as the run log ends and as the headless front end reports it:
// "Resultado: <closing box's text> (etapa 6: Transferindo a imagem (tftp))", "Resultado: interrompido na
// etapa 8 (...)", with the MAC sent and read once there are any.
std::string RunOutcomeLine(const SRunResult& result);

// What both front ends keep of every run, however it ends, in one folder (the working directory by default):
// the run log logs/<start time>-<port>.log, written as the run goes, and the run's row in the record,
// written when the verdict is known, with a journal in between that lets the next start record a run that
// was killed (RunJournal.h).
//
// BeginRun, NoteStage and EndRun are called on the run's thread; the log console is the run's, so the
// one-writer rule of the log holds. A file or folder that cannot be written does not stop the run: the log
// gets a line saying what was not saved, and EndRun says so to the front end.
class CRunArchive {
public:
    explicit CRunArchive(std::string strDir = ".");

    // The station whose runs these are (their run ids), and where every row goes besides the record (the
    // line's database; null: nowhere).
    void SetStation(std::string strStation, IRunRowOutlet* pOutlet = nullptr) {
        m_strStation = std::move(strStation);
        m_pOutlet = pOutlet;
    }

    // Records the runs that processes now gone left without an end (RunJournal.h); either program calls it
    // when it starts, and BeginRun before each run. The lines (Portuguese) say what could not be recorded.
    std::vector<std::string> RecoverInterruptedRuns();

    // The start of a run: notes the time and the port, creates the run log with its header line (program and
    // version, start time, port) and the run's journal.
    void BeginRun(const std::string& strPort, CLogConsole& log);

    // At each stage: the log's new bytes go to the run log and the run as it stands (stage, MAC) to the
    // journal, both flushed to disk, so that a killed run leaves both up to its last stage.
    void NoteStage(const SRunResult& progress, CLogConsole& log);

    struct SArchived {
        SRunRecordRow row;                 // the row as appended (or as it would have been)
        std::vector<std::string> problems; // the lines added to the log (UTF-8, no line ends)
        bool bSaved = false;               // the row is in the record and the whole log in its file
        bool bRowSaved = false;            // the row is in the record
    };
    // A verdict that waits on the bench before its row is written (the label scanned back): the journal holds
    // its row now, so that a program killed meanwhile leaves the board's verdict, not an interrupted run.
    void NoteVerdict(const SRunResult& result);
    // The verdict: the run's row goes to the record, with the time it is called as its end, and the run log
    // gets the rest of the log and the outcome line. Call it as soon as the verdict is known, before the
    // closing box; later calls for the same run return what the first one did.
    const SArchived& EndRun(const SRunResult& result, CLogConsole& log);
    bool HasEnded() const { return m_bEnded; }
    // The run begun, as its rows will show it (once BeginRun has named its journal).
    SMacRun MacRun() const;
    // What EndRun did, once it has been called.
    const SArchived& Archived() const { return m_archived; }

private:
    SRunRecordRow RowAsItStands(const SRunResult& result, const char* pszOutcome) const;
    void Problem(const std::string& strLine, CLogConsole& log);
    void CreateLog(CLogConsole& log);
    // The log's bytes not yet in the file, or any bytes, to the run log, flushed. Empty when written (or when
    // there is no log file), otherwise the line to report; the file is then given up.
    std::string FlushLog(const CLogConsole& log);
    std::string WriteLog(std::string_view bytes);

    std::string m_strDir;
    IRunRowOutlet* m_pOutlet = nullptr;
    std::string m_strStation;
    std::string m_strOperator; // who runs this process: every row names them
    std::string m_strStem;     // the run's journal's name, which its run id in the database holds
    std::string m_strPort;
    std::chrono::system_clock::time_point m_tStart;
    std::chrono::steady_clock::time_point m_tStartSteady;
    CRunJournal m_journal;
    bool m_bJournalFailed = false;
    CUniqueFd m_fdLog;
    std::string m_strLogFile; // relative to m_strDir; empty when there is none
    bool m_bLogComplete = false;
    size_t m_nLogFrom = 0;       // where the run's bytes not yet in the file begin in the log console
    bool m_bLogLineOpen = false; // the file's last byte is not a line end
    bool m_bEnded = true;
    SArchived m_archived;
};

// The record's word for an outcome: ok, failed, stopped.
const char* RunOutcomeWord(ERunOutcome eOutcome);

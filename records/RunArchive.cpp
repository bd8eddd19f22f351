#include "records/RunArchive.h"

#include "core/Cp1252.h"
#include "core/SystemError.h"
#include "records/DurableFile.h"
#include "records/ProgramVersion.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kMaxPortPieceLength = 64;
// Runs that start in the same second on the same port get "-2", "-3", ... rather than one log replacing
// the other.
constexpr int kMaxSameNameLogs = 100;

bool IsSafeFileChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

// The basic ISO 8601 form of a local time with its offset: "20240501T140307-0300".
std::string BasicTime(std::chrono::system_clock::time_point t) {
    return FormatLocalTime(t, "%Y%m%dT%H%M%S%z");
}

// The run's name, which its journal and its id in the line's database carry: the start's second and the
// process, with a count when this process begins another run within the same second (a run that ended at
// once, started again), so that no two runs share an id.
std::string NewRunStem(std::chrono::system_clock::time_point tStart) {
    static std::mutex mutex;
    static std::string s_strLast;
    static int s_nSame = 0;
    std::string strStem = BasicTime(tStart) + "-" + std::to_string(getpid());
    std::lock_guard lock(mutex);
    if (strStem == s_strLast)
        return strStem + "-" + std::to_string(++s_nSame);
    s_strLast = strStem;
    s_nSame = 1;
    return strStem;
}

// Creates a log file that did not exist yet; fills strRelative ("logs/<name>") or strError.
CUniqueFd CreateLogFile(const std::string& strDir, const std::string& strName, std::string& strRelative,
                        std::string& strError) {
    if (!MakeSharedFolder(strDir + "/" + kRunLogFolderName)) {
        strError = std::string(kRunLogFolderName) + ": " + SystemErrorText(errno);
        return CUniqueFd();
    }
    std::string strStem = strName.substr(0, strName.size() - 4); // without ".log"
    for (int n = 1; n <= kMaxSameNameLogs; ++n) {
        std::string strTry = n == 1 ? strName : strStem + "-" + std::to_string(n) + ".log";
        strRelative = std::string(kRunLogFolderName) + "/" + strTry;
        CUniqueFd fd = OpenSharedFile(strDir + "/" + strRelative, O_WRONLY | O_CREAT | O_EXCL);
        if (fd.IsOpen())
            return fd;
        if (errno != EEXIST)
            break;
    }
    strError = strRelative + ": " + SystemErrorText(errno);
    strRelative.clear();
    return CUniqueFd();
}

std::string MacPart(const SRunResult& result) {
    std::string part;
    if (!result.strMacSent.empty())
        part += "; MAC enviado " + CanonicalMac(result.strMacSent);
    if (!result.strMacRead.empty())
        part += "; MAC lido " + CanonicalMac(result.strMacRead);
    return part;
}

// The outcome line of a run as it stands at a stage, should the process end there.
std::string InterruptedLine(const SRunResult& progress) {
    return "Resultado: interrompido na etapa " + std::to_string(progress.nStage) + " (" +
           RunStageTitle(progress.nStage) + "), o programa terminou antes do fim da execução" +
           MacPart(progress);
}

} // namespace

std::string SafePortName(std::string_view port) {
    std::string out;
    for (char c : port)
        out += IsSafeFileChar(c) ? c : '_';
    size_t first = out.find_first_not_of("_.");
    out = first == std::string::npos ? "" : out.substr(first, kMaxPortPieceLength);
    return out.empty() ? "port" : out;
}

std::string RunLogFileName(std::chrono::system_clock::time_point tStart, std::string_view port) {
    return BasicTime(tStart) + "-" + SafePortName(port) + ".log";
}

std::string RunOutcomeLine(const SRunResult& result) {
    std::string strStage =
        "etapa " + std::to_string(result.nStage) + " (" + RunStageTitle(result.nStage) + ")";
    std::string line = "Resultado: ";
    switch (result.Outcome()) {
    case ERunOutcome::Ok:
        line += "ok na " + strStage + ": " + OneLineText(result.Message());
        break;
    case ERunOutcome::Failed:
        line += "falha na " + strStage + ": " + OneLineText(result.Message());
        break;
    case ERunOutcome::Stopped:
        line += "interrompido na " + strStage;
        break;
    }
    return line + MacPart(result);
}

const char* RunOutcomeWord(ERunOutcome eOutcome) {
    switch (eOutcome) {
    case ERunOutcome::Ok:
        return "ok";
    case ERunOutcome::Failed:
        return "failed";
    case ERunOutcome::Stopped:
        break;
    }
    return "stopped";
}

CRunArchive::CRunArchive(std::string strDir)
    : m_strDir(std::move(strDir)), m_strOperator(ProcessOperatorName()) {}

std::vector<std::string> CRunArchive::RecoverInterruptedRuns() {
    std::vector<std::string> lines;
    auto toOutlet = [this, &lines](const std::string& strStem, const std::string& strRow) {
        std::string strLine = m_pOutlet->SendRow(RunIdOf(m_strStation, strStem), strRow, nullptr);
        if (!strLine.empty())
            lines.push_back(strLine);
    };
    for (const std::string& strProblem :
         RecoverRunJournals(
             m_strDir, m_pOutlet ? toOutlet : std::function<void(const std::string&, const std::string&)>())
             .problems)
        lines.push_back("Registro de execução anterior pendente (nova tentativa na próxima execução): " +
                        strProblem);
    if (m_pOutlet) {
        std::string strLine = m_pOutlet->SendWaitingRows();
        if (!strLine.empty())
            lines.push_back(strLine);
    }
    return lines;
}

void CRunArchive::Problem(const std::string& strLine, CLogConsole& log) {
    m_archived.problems.push_back(strLine);
    if (!log.m_strLog.empty() && log.m_strLog.back() != '\n')
        log.AppendLogText("\n", false);
    log.AppendLogText((EncodeCp1252(strLine) + "\n").c_str(), true);
}

SRunRecordRow CRunArchive::RowAsItStands(const SRunResult& result, const char* pszOutcome) const {
    SRunRecordRow row;
    row.tStart = m_tStart;
    row.tEnd = std::chrono::system_clock::now();
    row.dDurationS = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_tStartSteady).count();
    row.strPort = m_strPort;
    row.strMacSent = result.strMacSent;
    row.strMacRead = result.strMacRead;
    row.strOutcome = pszOutcome;
    row.nStage = result.nStage;
    row.strMessage = result.Message();
    if (result.bMacReused)
        row.strMessage += kMacReuseConfirmedNote;
    row.strLogFile = m_strLogFile;
    row.strOperator = m_strOperator;
    row.strSerial = result.strSerial;
    if (result.bSameBoardAgain)
        row.strMessage += kSameBoardAgainNote;
    return row;
}

SMacRun CRunArchive::MacRun() const {
    return SMacRun{RunIdOf(m_strStation, m_strStem), m_tStart, m_strPort};
}

void CRunArchive::BeginRun(const std::string& strPort, CLogConsole& log) {
    m_archived = SArchived();
    m_bEnded = false;
    m_bJournalFailed = false;
    m_strPort = strPort;
    m_tStart = std::chrono::system_clock::now();
    m_tStartSteady = std::chrono::steady_clock::now();
    m_nLogFrom = log.m_strLog.size();
    for (const std::string& strLine : RecoverInterruptedRuns())
        Problem(strLine, log);
    CreateLog(log);

    m_strStem = NewRunStem(m_tStart);
    std::string strError = m_journal.Create(m_strDir, m_strStem);
    if (strError.empty()) {
        m_strStem = m_journal.Stem();
    } else {
        m_bJournalFailed = true;
        Problem("Execução sem diário (não será registrada se o programa for encerrado à força): " + strError,
                log);
    }
    SRunResult progress;
    progress.nStage = RUN_STAGE_START;
    NoteStage(progress, log);
}

void CRunArchive::CreateLog(CLogConsole& log) {
    m_strLogFile.clear();
    m_bLogComplete = false;
    m_bLogLineOpen = false;
    std::string strError;
    m_fdLog = CreateLogFile(m_strDir, RunLogFileName(m_tStart, m_strPort), m_strLogFile, strError);
    if (m_fdLog.IsOpen()) {
        std::string strHeader = std::string(program_invocation_short_name) + " " + kProgramVersion +
                                " - início " + FormatIsoTime(m_tStart) + " - porta " + m_strPort;
        strError = WriteAllAndSync(m_fdLog.Get(), EncodeCp1252(OneLineText(strHeader)) + "\r\n");
        if (strError.empty()) {
            // A power loss must not take the log's name when it leaves its bytes.
            SyncFolderOf(m_strDir + "/" + m_strLogFile);
            m_bLogComplete = true;
            return;
        }
        // An empty file would only pretend to be the run's log.
        unlink((m_strDir + "/" + m_strLogFile).c_str());
        m_fdLog.Close();
        strError = m_strLogFile + ": " + strError;
        m_strLogFile.clear();
    }
    Problem("Log da execução não salvo: " + strError, log);
}

std::string CRunArchive::WriteLog(std::string_view bytes) {
    if (!m_bLogComplete || bytes.empty())
        return "";
    std::string strError = WriteAllAndSync(m_fdLog.Get(), bytes);
    m_bLogLineOpen = bytes.back() != '\n';
    if (strError.empty())
        return "";
    m_bLogComplete = false;
    m_fdLog.Close();
    return "Log da execução incompleto: " + m_strLogFile + ": " + strError;
}

std::string CRunArchive::FlushLog(const CLogConsole& log) {
    std::string_view bytes = std::string_view(log.m_strLog).substr(std::min(m_nLogFrom, log.m_strLog.size()));
    m_nLogFrom = log.m_strLog.size();
    return WriteLog(bytes);
}

void CRunArchive::NoteStage(const SRunResult& progress, CLogConsole& log) {
    if (m_bEnded)
        return;
    std::string strLogError = FlushLog(log);
    if (!strLogError.empty())
        Problem(strLogError, log);
    if (!m_journal.IsOpen())
        return;
    SRunJournalEntry entry;
    entry.nRecordSize = RunRecordSize(m_strDir + "/" + kRunRecordFileName);
    entry.strLogFile = m_strLogFile;
    entry.strClosingLine = EncodeCp1252(OneLineText(InterruptedLine(progress)));
    // The row a later start appends should the process end here: the run's last stage, no verdict.
    entry.strRow = FormatRunRecordRow(RowAsItStands(progress, "interrupted"));
    std::string strError = m_journal.Write(entry);
    if (!strError.empty() && !m_bJournalFailed) {
        m_bJournalFailed = true;
        Problem("Diário da execução não salvo: " + strError, log);
    }
}

void CRunArchive::NoteVerdict(const SRunResult& result) {
    if (m_bEnded || !m_journal.IsOpen())
        return;
    std::string strRecord = m_strDir + "/" + kRunRecordFileName;
    m_journal.Write(SRunJournalEntry{
        true, RunRecordSize(strRecord), m_strLogFile, EncodeCp1252(OneLineText(RunOutcomeLine(result))),
        FormatRunRecordRow(RowAsItStands(result, RunOutcomeWord(result.Outcome())))});
}

const CRunArchive::SArchived& CRunArchive::EndRun(const SRunResult& result, CLogConsole& log) {
    if (m_bEnded)
        return m_archived;
    m_bEnded = true;
    std::string strRecord = m_strDir + "/" + kRunRecordFileName;
    m_archived.row = RowAsItStands(result, RunOutcomeWord(result.Outcome()));
    std::string strRow = FormatRunRecordRow(m_archived.row);
    std::string strClosing = EncodeCp1252(OneLineText(RunOutcomeLine(result)));

    // The journal holds the verdict before the record does: killed in between, the next start appends the
    // row unless it finds it there.
    bool bJournalFinal = false;
    if (m_journal.IsOpen()) {
        SRunJournalEntry entry{true, RunRecordSize(strRecord), m_strLogFile, strClosing, strRow};
        bJournalFinal = m_journal.Write(entry).empty();
    }
    std::string strError = AppendRunRecord(strRecord, strRow);
    bool bRowSaved = strError.empty();
    if (!bRowSaved)
        Problem(std::string("Registro da execução não salvo: ") + kRunRecordFileName + ": " + strError, log);

    // The log on disk up to here goes with a failed run's row.
    std::string strLogError = FlushLog(log);
    if (m_pOutlet) {
        std::string strLine = m_pOutlet->SendRow(RunIdOf(m_strStation, m_strStem), strRow, &m_archived.row);
        if (!strLine.empty())
            Problem(strLine, log);
    }

    if (strLogError.empty())
        strLogError = FlushLog(log);
    if (strLogError.empty())
        strLogError = WriteLog((m_bLogLineOpen ? "\r\n" : "") + strClosing + "\r\n");
    if (!strLogError.empty())
        Problem(strLogError, log);
    m_fdLog.Close();
    m_archived.bRowSaved = bRowSaved;
    m_archived.bSaved = bRowSaved && m_bLogComplete;

    // A row that could not be appended stays in the journal when the journal holds it: a later start adds it.
    if (bRowSaved || !bJournalFinal)
        m_journal.Remove();
    else
        m_journal.Abandon();
    log.AppendLogChar(0, true);
    return m_archived;
}

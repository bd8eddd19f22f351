#include "records/RunArchive.h"

#include "core/UniqueFd.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
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

std::string ErrorText(int nError) {
    return strerror(nError);
}

// Creates a log file that did not exist yet; fills strRelative ("logs/<name>") or strError.
CUniqueFd CreateLogFile(const std::string& strDir, const std::string& strName, std::string& strRelative,
                        std::string& strError) {
    std::string strFolder = strDir + "/" + kRunLogFolderName;
    if (mkdir(strFolder.c_str(), 0755) != 0 && errno != EEXIST) {
        strError = std::string(kRunLogFolderName) + ": " + ErrorText(errno);
        return CUniqueFd();
    }
    std::string strStem = strName.substr(0, strName.size() - 4); // without ".log"
    for (int n = 1; n <= kMaxSameNameLogs; ++n) {
        std::string strTry = n == 1 ? strName : strStem + "-" + std::to_string(n) + ".log";
        strRelative = std::string(kRunLogFolderName) + "/" + strTry;
        CUniqueFd fd(
            open((strDir + "/" + strRelative).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (fd.IsOpen())
            return fd;
        if (errno != EEXIST)
            break;
    }
    strError = strRelative + ": " + ErrorText(errno);
    strRelative.clear();
    return CUniqueFd();
}

std::string WriteAll(int fd, const std::string& strBytes) {
    size_t nDone = 0;
    while (nDone < strBytes.size()) {
        ssize_t n = write(fd, strBytes.data() + nDone, strBytes.size() - nDone);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return ErrorText(n < 0 ? errno : ENOSPC);
        nDone += size_t(n);
    }
    return fsync(fd) == 0 ? "" : ErrorText(errno);
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
    time_t tt = std::chrono::system_clock::to_time_t(tStart);
    struct tm local = {};
    localtime_r(&tt, &local);
    char buffer[40];
    size_t n = strftime(buffer, sizeof buffer, "%Y%m%dT%H%M%S%z", &local);
    return std::string(buffer, n) + "-" + SafePortName(port) + ".log";
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

CRunArchive::CRunArchive(std::string strDir) : m_strDir(std::move(strDir)) {
    BeginRun(std::string());
}

void CRunArchive::BeginRun(const std::string& strPort) {
    m_strPort = strPort;
    m_tStart = std::chrono::system_clock::now();
    m_tStartSteady = std::chrono::steady_clock::now();
}

CRunArchive::SArchived CRunArchive::EndRun(const SRunResult& result, CLogConsole& log) {
    SArchived archived;
    auto problem = [&](const std::string& strLine) {
        archived.problems.push_back(strLine);
        if (!log.m_strLog.empty() && log.m_strLog.back() != '\n')
            log.AppendLogText("\n", false);
        log.AppendLogText((strLine + "\n").c_str(), false);
    };

    SRunRecordRow& row = archived.row;
    row.tStart = m_tStart;
    row.tEnd = std::chrono::system_clock::now();
    row.dDurationS = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_tStartSteady).count();
    row.strPort = m_strPort;
    row.strMacSent = result.strMacSent;
    row.strMacRead = result.strMacRead;
    row.strOutcome = RunOutcomeWord(result.Outcome());
    row.nStage = result.nStage;
    row.strMessage = result.Message();

    // The log file is created first so that the row can name it, and written last so that it also holds
    // what went wrong with the record.
    std::string strError;
    CUniqueFd fdLog = CreateLogFile(m_strDir, RunLogFileName(m_tStart, m_strPort), row.strLogFile, strError);
    if (!fdLog.IsOpen())
        problem("Run log not saved: " + strError);

    strError = AppendRunRecord(m_strDir + "/" + kRunRecordFileName, FormatRunRecordRow(row));
    if (!strError.empty())
        problem(std::string("Run record not saved: ") + kRunRecordFileName + ": " + strError);

    if (fdLog.IsOpen()) {
        strError = WriteAll(fdLog.Get(), log.m_strLog);
        if (!strError.empty())
            problem("Run log not saved completely: " + row.strLogFile + ": " + strError);
    }
    log.AppendLogChar(0, true);
    return archived;
}

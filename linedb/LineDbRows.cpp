#include "linedb/LineDbRows.h"

#include "core/Cp1252.h"
#include "core/SystemError.h"
#include "ledger/RecordMacLedger.h"
#include "records/DurableFile.h"
#include "records/RunArchive.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A row and its log's end, which may take up to three bytes of UTF-8 for one of the log.
constexpr size_t kMaxOutboxFileBytes = 65536 + 3 * kLineDbLogTailBytes;

// Numbers to and from the server in the C form, whatever the locale.
std::string NumberText(double d, int nDecimals) {
    char buffer[64];
    auto [pEnd, ec] = std::to_chars(buffer, buffer + sizeof buffer, d, std::chars_format::fixed, nDecimals);
    return ec == std::errc() ? std::string(buffer, pEnd) : "0";
}

double NumberFrom(const std::string& strText) {
    double d = 0;
    std::from_chars(strText.data(), strText.data() + strText.size(), d);
    return d;
}

// The outbox file of a run: the run's journal name first, so that the oldest rows go first.
std::string OutboxFileName(const std::string& strRunId) {
    size_t slash = strRunId.rfind('/');
    std::string strStem = slash == std::string::npos ? strRunId : strRunId.substr(slash + 1);
    std::string strStation = slash == std::string::npos ? "" : strRunId.substr(0, slash);
    return SafePortName(strStem) + "@" + SafePortName(strStation) + ".row";
}

} // namespace

std::string EpochText(std::chrono::system_clock::time_point t) {
    return NumberText(std::chrono::duration<double>(t.time_since_epoch()).count(), 6);
}

std::chrono::system_clock::time_point TimeFromEpoch(const std::string& strText) {
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::duration<double>(NumberFrom(strText))));
}

bool SendLineDbRow(CLineDb& db, const std::string& strRunId, const std::string& strStation,
                   const SRunRecordRow& row, std::string& strError, const std::string& strLog) {
    if (db.Connect(strError) != CLineDb::EState::Ready)
        return false;
    // The server takes text as UTF-8 only: a port name with a stray byte is sent as the record writes it.
    std::string strRunIdText = ValidUtf8(strRunId), strStationText = ValidUtf8(strStation);
    std::string strStarted = EpochText(row.tStart), strEnded = EpochText(row.tEnd);
    std::string strPort = ValidUtf8(row.strPort), strMacSent = ValidUtf8(CanonicalMac(row.strMacSent));
    std::string strMacRead = ValidUtf8(CanonicalMac(row.strMacRead)), strOutcome = ValidUtf8(row.strOutcome);
    std::string strStage = std::to_string(row.nStage), strMessage = ValidUtf8(row.strMessage);
    std::string strDuration = NumberText(row.dDurationS, 3), strLogFile = ValidUtf8(row.strLogFile);
    std::string strOperator = ValidUtf8(row.strOperator), strSerial = ValidUtf8(row.strSerial);
    if (!db.Exec("BEGIN", {}, strError) ||
        !db.Exec(
            "INSERT INTO qan640_runs (run_id, station, started, ended, port, mac_sent, mac_read, outcome,"
            " stage, message, duration_s, log_file, operator, serial) VALUES ($1, $2,"
            " to_timestamp($3::double precision), to_timestamp($4::double precision), $5, $6, $7, $8,"
            " $9::integer, $10, $11::double precision, $12, $13, $14) ON CONFLICT (run_id) DO NOTHING",
            {strRunIdText.c_str(), strStationText.c_str(), strStarted.c_str(), strEnded.c_str(),
             strPort.c_str(), strMacSent.c_str(), strMacRead.c_str(), strOutcome.c_str(), strStage.c_str(),
             strMessage.c_str(), strDuration.c_str(), strLogFile.c_str(), strOperator.c_str(),
             strSerial.c_str()},
            strError)) {
        db.Rollback();
        return false;
    }
    // Past bootargs the board holds the address (the record's rule): it is the line's for good, the latest
    // run of the board named.
    std::optional<uint64_t> nMac = MacValue(row.strMacSent);
    if (nMac && RowStoresMac(row.strOutcome, row.nStage)) {
        std::string strMac = MacText(*nMac);
        if (!db.Exec(
                "INSERT INTO qan640_macs (mac, state, run_id, station, at) VALUES ($1::macaddr, 'stored', $2,"
                " $3, to_timestamp($4::double precision)) ON CONFLICT (mac) DO UPDATE SET state = 'stored',"
                " run_id = EXCLUDED.run_id, station = EXCLUDED.station, at = EXCLUDED.at"
                " WHERE qan640_macs.state = 'reserved' OR qan640_macs.at <= EXCLUDED.at",
                {strMac.c_str(), strRunIdText.c_str(), strStationText.c_str(), strEnded.c_str()}, strError)) {
            db.Rollback();
            return false;
        }
    }
    std::string strLogText = ValidUtf8(strLog);
    if (!strLogText.empty() && !db.Exec("INSERT INTO qan640_run_logs (run_id, log) VALUES ($1, $2)"
                                        " ON CONFLICT (run_id) DO NOTHING",
                                        {strRunIdText.c_str(), strLogText.c_str()}, strError)) {
        db.Rollback();
        return false;
    }
    if (!db.Exec("COMMIT", {}, strError)) {
        db.Rollback();
        return false;
    }
    return true;
}

std::string LineDbRunLog(const std::string& strDir, const SRunRecordRow& row) {
    if (row.strOutcome != "failed" || row.strLogFile.empty() ||
        row.strLogFile.find("..") != std::string::npos)
        return "";
    CUniqueFd fd(
        open((strDir + "/" + row.strLogFile).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st = {};
    if (!fd.IsOpen() || fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return "";
    off_t nFrom = std::max<off_t>(0, st.st_size - off_t(kLineDbLogTailBytes));
    if (lseek(fd.Get(), nFrom, SEEK_SET) != nFrom)
        return "";
    std::string strBytes = ReadAllBounded(fd.Get(), kLineDbLogTailBytes);
    if (nFrom > 0) {
        // Cut to whole lines, and said so.
        size_t nl = strBytes.find('\n');
        strBytes = "[...]\r\n" + (nl == std::string::npos ? strBytes : strBytes.substr(nl + 1));
    }
    // The server's text holds no NUL.
    std::replace(strBytes.begin(), strBytes.end(), '\0', ' ');
    return DecodeCp1252(strBytes).toStdString();
}

std::string QueueLineDbRow(const std::string& strDir, const std::string& strRunId,
                           const std::string& strStation, const std::string& strCsvRow,
                           const std::string& strLog) {
    std::string strFolder = strDir + "/" + kDbOutboxFolderName;
    if (!MakeSharedFolder(strFolder))
        return std::string(kDbOutboxFolderName) + ": " + SystemErrorText(errno);
    std::string strPath = strFolder + "/" + OutboxFileName(strRunId);
    // Written whole under another name first: a reader never meets half a row.
    std::string strTemp = strFolder + "/.tmp-" + std::to_string(getpid()) + "-" + OutboxFileName(strRunId);
    CUniqueFd fd = OpenSharedFile(strTemp, O_WRONLY | O_CREAT | O_TRUNC);
    if (!fd.IsOpen())
        return strTemp.substr(strDir.size() + 1) + ": " + SystemErrorText(errno);
    std::string strRow = strCsvRow;
    while (!strRow.empty() && (strRow.back() == '\n' || strRow.back() == '\r'))
        strRow.pop_back();
    // The log follows the row's three lines, as it is.
    std::string strError =
        WriteAllAndSync(fd.Get(), strRunId + "\n" + strStation + "\n" + strRow + "\n" + strLog);
    fd.Close();
    if (strError.empty() && rename(strTemp.c_str(), strPath.c_str()) != 0)
        strError = SystemErrorText(errno);
    if (!strError.empty()) {
        unlink(strTemp.c_str());
        return strPath.substr(strDir.size() + 1) + ": " + strError;
    }
    SyncFolderOf(strPath);
    return "";
}

void UnqueueLineDbRow(const std::string& strDir, const std::string& strRunId) {
    std::string strPath = strDir + "/" + kDbOutboxFolderName + "/" + OutboxFileName(strRunId);
    if (unlink(strPath.c_str()) == 0)
        SyncFolderOf(strPath);
}

std::vector<std::string> LineDbOutboxRows(const std::string& strDir) {
    std::vector<std::string> names;
    if (DIR* pDir = opendir((strDir + "/" + kDbOutboxFolderName).c_str())) {
        while (dirent* pEntry = readdir(pDir)) {
            std::string_view name = pEntry->d_name;
            if (!name.starts_with(".") && name.ends_with(".row"))
                names.emplace_back(name);
        }
        closedir(pDir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

SOutboxFlush FlushLineDbOutbox(CLineDb& db, const std::string& strDir) {
    SOutboxFlush flush;
    std::string strFolder = strDir + "/" + kDbOutboxFolderName;
    std::vector<std::string> names = LineDbOutboxRows(strDir);
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& strName = names[i];
        std::string strPath = strFolder + "/" + strName;
        CUniqueFd fd(open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (!fd.IsOpen())
            continue; // sent and removed by another process meanwhile
        std::string strText = ReadAllBounded(fd.Get(), kMaxOutboxFileBytes);
        std::vector<std::string> lines;
        size_t pos = 0;
        while (lines.size() < 3) {
            size_t nl = strText.find('\n', pos);
            if (nl == std::string::npos)
                break;
            lines.push_back(strText.substr(pos, nl - pos));
            pos = nl + 1;
        }
        std::optional<SRunRecordRow> row = lines.size() == 3 ? ParseRunRecordRow(lines[2]) : std::nullopt;
        if (!row) {
            ++flush.nWaiting;
            flush.strError = std::string(kDbOutboxFolderName) + "/" + strName + ": linha ilegível";
            continue;
        }
        std::string strError;
        if (!SendLineDbRow(db, lines[0], lines[1], *row, strError, strText.substr(pos))) {
            flush.strError = strError;
            // Without the server the rest waits as well.
            if (!db.IsReady()) {
                flush.nWaiting += int(names.size() - i);
                break;
            }
            ++flush.nWaiting;
            continue;
        }
        ++flush.nSent;
        if (unlink(strPath.c_str()) == 0)
            SyncFolderOf(strPath);
    }
    return flush;
}

std::optional<std::vector<SStationRun>>
FetchLineRuns(CLineDb& db, std::chrono::system_clock::time_point tSince, std::string& strError) {
    if (db.Connect(strError) != CLineDb::EState::Ready)
        return std::nullopt;
    std::string strSince = EpochText(tSince);
    std::optional<CPgResult> result =
        // Two lookups joined, each along its own index: an OR of the two would read every row.
        db.Exec("WITH picked AS (SELECT run_id FROM qan640_runs WHERE started >= to_timestamp($1::double"
                " precision) UNION SELECT run_id FROM qan640_runs WHERE mac_sent IN (SELECT mac_sent FROM"
                " qan640_runs WHERE started >= to_timestamp($1::double precision) AND mac_sent <> ''))"
                " SELECT station, extract(epoch FROM started)::text, extract(epoch FROM ended)::text, port,"
                " mac_sent, mac_read, outcome, stage, message, duration_s, log_file, operator, serial"
                " FROM qan640_runs JOIN picked USING (run_id) ORDER BY started, run_id",
                {strSince.c_str()}, strError);
    if (!result)
        return std::nullopt;
    std::vector<SStationRun> runs(size_t(result->Rows()));
    for (int i = 0; i < result->Rows(); ++i) {
        SStationRun& run = runs[size_t(i)];
        run.strStation = result->Text(i, 0);
        run.row.tStart = TimeFromEpoch(result->Text(i, 1));
        run.row.tEnd = TimeFromEpoch(result->Text(i, 2));
        run.row.strPort = result->Text(i, 3);
        run.row.strMacSent = result->Text(i, 4);
        run.row.strMacRead = result->Text(i, 5);
        run.row.strOutcome = result->Text(i, 6);
        run.row.nStage = std::atoi(result->Text(i, 7).c_str());
        run.row.strMessage = result->Text(i, 8);
        run.row.dDurationS = NumberFrom(result->Text(i, 9));
        run.row.strLogFile = result->Text(i, 10);
        run.row.strOperator = result->Text(i, 11);
        run.row.strSerial = result->Text(i, 12);
    }
    return runs;
}

std::string CLineDbOutlet::SendRow(const std::string& strRunId, const std::string& strCsvRow,
                                   const SRunRecordRow* pRow) {
    std::optional<SRunRecordRow> parsed;
    if (!pRow) {
        std::string strLine = strCsvRow;
        while (!strLine.empty() && (strLine.back() == '\n' || strLine.back() == '\r'))
            strLine.pop_back();
        parsed = ParseRunRecordRow(strLine);
        pRow = parsed ? &*parsed : nullptr;
    }
    std::string strLog = pRow ? LineDbRunLog(m_strDir, *pRow) : "";
    // In the outbox before it is sent: killed in between, the next start sends it.
    std::string strQueueError = QueueLineDbRow(m_strDir, strRunId, m_strStation, strCsvRow, strLog);
    std::string strError = "linha ilegível";
    if (pRow && SendLineDbRow(m_db, strRunId, m_strStation, *pRow, strError, strLog)) {
        UnqueueLineDbRow(m_strDir, strRunId);
        return "";
    }
    if (!strQueueError.empty())
        return "Registro da execução não enviado ao banco de dados da linha e não guardado para envio: " +
               strQueueError + "; " + strError;
    return std::string("Registro da execução guardado para o banco de dados da linha (") +
           kDbOutboxFolderName + "): " + strError;
}

std::string CLineDbOutlet::SendWaitingRows() {
    SOutboxFlush flush = FlushLineDbOutbox(m_db, m_strDir);
    if (flush.nWaiting == 0)
        return "";
    return "Registros aguardando o banco de dados da linha (" + std::to_string(flush.nWaiting) + " em " +
           kDbOutboxFolderName + "): " + flush.strError;
}

#include "cli/LineCommands.h"

#include "cli/ExitStatus.h"
#include "linedb/LineDbRows.h"
#include "records/ShiftReport.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <vector>

int LineDbExitStatus(CLineDb::EState eState) {
    return eState == CLineDb::EState::BadConninfo    ? kExitDbConfig
           : eState == CLineDb::EState::Unreachable  ? kExitDbUnavailable
           : eState == CLineDb::EState::StationTaken ? kExitDbStationTaken
                                                     : kExitDbRefused;
}

std::optional<std::chrono::system_clock::time_point> LocalMidnight(const std::string& strDate) {
    // strptime alone would take "2024-5-1 " or " 024-05-01" as well.
    for (size_t i = 0; i < strDate.size(); ++i)
        if (i == 4 || i == 7 ? strDate[i] != '-' : !isdigit(static_cast<unsigned char>(strDate[i])))
            return std::nullopt;
    struct tm date = {};
    const char* pszEnd = strptime(strDate.c_str(), "%Y-%m-%d", &date);
    if (strDate.size() != 10 || !pszEnd || *pszEnd != '\0')
        return std::nullopt;
    struct tm wanted = date;
    date.tm_isdst = -1;
    time_t t = mktime(&date);
    // mktime moves a 31 April on to 1 May; the date must stay the one given.
    if (t == time_t(-1) || date.tm_year != wanted.tm_year || date.tm_mon != wanted.tm_mon ||
        date.tm_mday != wanted.tm_mday)
        return std::nullopt;
    return std::chrono::system_clock::from_time_t(t);
}

int PrintReport(const std::optional<std::string>& conninfo,
                std::optional<std::chrono::system_clock::time_point> tSince, bool bCsv) {
    std::vector<SStationRun> runs;
    SReportSource source{kRunRecordFileName};
    if (conninfo) {
        // The line's report, not one station's: a server that cannot answer is an error, not the CSV.
        CLineDb db(*conninfo);
        std::string strError;
        CLineDb::EState eState = db.Connect(strError);
        if (eState == CLineDb::EState::Ready) {
            FlushLineDbOutbox(db, ".");
            // Only what the report shows comes over the network, not the line's whole history.
            std::optional<std::vector<SStationRun>> fetched =
                FetchLineRuns(db, tSince.value_or(std::chrono::system_clock::time_point()), strError);
            if (fetched) {
                runs = std::move(*fetched);
                source.strName = ConninfoForDisplay(*conninfo);
            } else {
                eState = CLineDb::EState::Unreachable;
            }
        }
        if (eState != CLineDb::EState::Ready) {
            fprintf(stderr, "%s: --report: %s\n", kProgram, strError.c_str());
            return LineDbExitStatus(eState);
        }
    } else {
        std::string strError = ReadRecordRuns(kRunRecordFileName, ThisStationName(), runs, source);
        if (!strError.empty()) {
            fprintf(stderr, "%s: %s: %s\n", kProgram, kRunRecordFileName, strError.c_str());
            return kExitWorkDirUnusable;
        }
    }
    SShiftReport report = ComputeShiftReport(runs, tSince.value_or(std::chrono::system_clock::time_point()));
    fputs(FormatShiftReport(report, source, bCsv).c_str(), stdout);
    if (bCsv)
        fputs(ReportSourceNotes(source).c_str(), stderr);
    return fflush(stdout) == 0 ? 0 : kExitInternal;
}

int InitLineDb(const std::string& strConninfo) {
    CLineDb db(strConninfo);
    std::string strError;
    CLineDb::EState eState = db.Connect(strError, false);
    if (eState == CLineDb::EState::Ready && db.InitSchema(strError)) {
        printf("Banco de dados da linha com o esquema versão %d: %s\n", kLineDbSchemaVersion,
               ConninfoForDisplay(strConninfo).c_str());
        printf("Permissões das estações (papel \"station\"):\n%s", kLineDbStationGrants);
        printf("Permissões da página da linha, só leitura (papel \"line_view\"):\n%s", kLineDbViewerGrants);
        return 0;
    }
    fprintf(stderr, "%s: --db-init: %s\n", kProgram, strError.c_str());
    return LineDbExitStatus(eState);
}

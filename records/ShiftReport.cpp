#include "records/ShiftReport.h"

#include "core/SystemError.h"
#include "core/UniqueFd.h"
#include "provisioning/RunResult.h"
#include "records/DurableFile.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A table of the report, rendered either as aligned text or as CSV.
struct STable {
    std::string strTitle;
    std::vector<std::string> header;
    std::vector<bool> rightAligned; // per column, for the text
    std::vector<std::vector<std::string>> rows;
};

// Columns are measured in characters, not bytes: station and port names may hold accents.
size_t TextWidth(std::string_view text) {
    return size_t(std::count_if(text.begin(), text.end(),
                                [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string AlignedText(const STable& table) {
    std::vector<size_t> widths(table.header.size());
    auto measure = [&](const std::vector<std::string>& row) {
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], TextWidth(row[i]));
    };
    measure(table.header);
    for (const std::vector<std::string>& row : table.rows)
        measure(row);
    auto line = [&](const std::vector<std::string>& row) {
        std::string out;
        for (size_t i = 0; i < row.size(); ++i) {
            std::string pad(widths[i] - TextWidth(row[i]), ' ');
            if (i > 0)
                out += "  ";
            out += table.rightAligned[i] ? pad + row[i] : row[i] + pad;
        }
        while (!out.empty() && out.back() == ' ')
            out.pop_back();
        return out + "\n";
    };
    if (table.rows.empty())
        return table.strTitle + "\n(nenhuma)\n";
    std::string out = table.strTitle + "\n" + line(table.header);
    for (const std::vector<std::string>& row : table.rows)
        out += line(row);
    return out;
}

std::string CsvTable(const STable& table) {
    std::string out = CsvLine({table.strTitle}) + CsvLine(table.header);
    for (const std::vector<std::string>& row : table.rows)
        out += CsvLine(row);
    return out;
}

// One decimal, a point for spreadsheets and a comma for the Portuguese text; empty without boards tried.
std::string YieldText(const SYieldCount& count, bool bCsv) {
    if (count.nTried == 0)
        return bCsv ? "" : "-";
    char buffer[32];
    auto [pEnd, ec] = std::to_chars(buffer, buffer + sizeof buffer, 100.0 * count.nVerified / count.nTried,
                                    std::chars_format::fixed, 1);
    std::string text(buffer, ec == std::errc() ? pEnd : buffer);
    if (!bCsv)
        std::replace(text.begin(), text.end(), '.', ',');
    return bCsv ? text : text + " %";
}

// What a run's message says of an address stored before: the operator confirmed the same board, or the
// record showed it with the same serial number.
const char* SameBoardText(const std::string& strMessage) {
    if (strMessage.ends_with(kMacReuseConfirmedNote))
        return "confirmada";
    return strMessage.ends_with(kSameBoardAgainNote) ? "mesma série" : "";
}

std::vector<STable> Tables(const SShiftReport& report, bool bCsv) {
    STable yields{"Rendimento por dia e estação (placas verificadas / placas tentadas)",
                  {"Dia", "Estação", "Verificadas", "Tentadas", bCsv ? "Rendimento (%)" : "Rendimento"},
                  {false, false, true, true, true},
                  {}};
    for (const SYieldCount& count : report.yields)
        yields.rows.push_back({count.strDay, count.strStation, std::to_string(count.nVerified),
                               std::to_string(count.nTried), YieldText(count, bCsv)});
    STable failures{"Falhas por etapa", {"Etapa", "Título", "Falhas"}, {true, false, true}, {}};
    for (const SStageFailures& stage : report.failures)
        failures.rows.push_back(
            {std::to_string(stage.nStage), RunStageTitle(stage.nStage), std::to_string(stage.nFailures)});
    STable macs{
        "MACs gravados por mais de uma execução (a mesma placa refeita ou placas diferentes)",
        {"MAC", "Início", "Estação", "Porta", "Resultado", "Etapa", "Série", "Operador", "Mesma placa"},
        {false, false, false, false, false, true, false, false, false},
        {}};
    for (const SSharedMac& mac : report.sharedMacs)
        for (const SStationRun& run : mac.runs)
            macs.rows.push_back(
                {mac.strMac,
                 bCsv ? FormatIsoTime(run.row.tStart) : FormatLocalTime(run.row.tStart, "%Y-%m-%d %H:%M:%S"),
                 run.strStation, run.row.strPort, run.row.strOutcome, std::to_string(run.row.nStage),
                 run.row.strSerial, run.row.strOperator, SameBoardText(run.row.strMessage)});
    return {yields, failures, macs};
}

} // namespace

SShiftReport ComputeShiftReport(const std::vector<SStationRun>& runs,
                                std::chrono::system_clock::time_point tSince) {
    SShiftReport report;
    report.tSince = tSince;
    std::map<std::pair<std::string, std::string>, SYieldCount> yields;
    std::map<int, int> failures;
    std::map<uint64_t, std::vector<const SStationRun*>> stored;
    for (const SStationRun& run : runs) {
        // Every address stored counts, however old: one given again this shift is what the report is for.
        if (RowStoresMac(run.row.strOutcome, run.row.nStage))
            if (std::optional<uint64_t> nMac = MacValue(run.row.strMacSent))
                stored[*nMac].push_back(&run);
        if (run.row.tStart < tSince)
            continue;
        ++report.nRuns;
        std::string strDay = FormatLocalTime(run.row.tStart, "%Y-%m-%d");
        SYieldCount& count = yields[{strDay, run.strStation}];
        count.strDay = strDay;
        count.strStation = run.strStation;
        if (run.row.nStage >= RUN_STAGE_LOADER || run.row.strOutcome == "ok")
            ++count.nTried;
        if (run.row.strOutcome == "ok")
            ++count.nVerified;
        if (run.row.strOutcome == "failed")
            ++failures[run.row.nStage];
    }
    for (auto& [key, count] : yields)
        report.yields.push_back(count);
    for (auto [nStage, nFailures] : failures)
        report.failures.push_back({nStage, nFailures});
    for (auto& [nMac, macRuns] : stored) {
        if (macRuns.size() < 2 || std::none_of(macRuns.begin(), macRuns.end(),
                                               [&](const SStationRun* p) { return p->row.tStart >= tSince; }))
            continue;
        std::stable_sort(macRuns.begin(), macRuns.end(), [](const SStationRun* a, const SStationRun* b) {
            return a->row.tStart < b->row.tStart;
        });
        SSharedMac& mac = report.sharedMacs.emplace_back();
        mac.strMac = MacText(nMac);
        for (const SStationRun* p : macRuns)
            mac.runs.push_back(*p);
    }
    return report;
}

std::string ReportSourceNotes(const SReportSource& source) {
    std::string notes;
    if (source.bMissing)
        notes += "Nenhum registro ainda: " + source.strName + " não existe.\n";
    if (source.nSkippedRows == 1)
        notes += "1 linha de " + source.strName +
                 " que não é uma execução (cortada ou danificada) foi ignorada.\n";
    else if (source.nSkippedRows > 1)
        notes += std::to_string(source.nSkippedRows) + " linhas de " + source.strName +
                 " que não são execuções (cortadas ou danificadas) foram ignoradas.\n";
    return notes;
}

std::string FormatShiftReport(const SShiftReport& report, const SReportSource& source, bool bCsv) {
    std::vector<STable> tables = Tables(report, bCsv);
    std::string out;
    if (bCsv) {
        // The byte-order mark tells spreadsheets the text is UTF-8, as in the record.
        out = "\xEF\xBB\xBF";
        for (size_t i = 0; i < tables.size(); ++i)
            out += (i > 0 ? "\r\n" : "") + CsvTable(tables[i]);
        return out;
    }
    out = "Relatório de produção: " + source.strName + ", " +
          (report.tSince == std::chrono::system_clock::time_point()
               ? std::string("todas as execuções")
               : "desde " + FormatLocalTime(report.tSince, "%Y-%m-%d %H:%M")) +
          "\n" + ReportSourceNotes(source) + std::to_string(report.nRuns) +
          (report.nRuns == 1 ? " execução\n" : " execuções\n");
    for (const STable& table : tables)
        out += "\n" + AlignedText(table);
    return out;
}

std::string ThisStationName() {
    CUniqueFd fd(open(kStationFileName, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    std::string_view text;
    std::string strText = fd.IsOpen() ? ReadAllBounded(fd.Get(), 4096) : "";
    for (text = strText; !text.empty();) {
        size_t nl = text.find('\n');
        std::string_view line = Trimmed(text.substr(0, nl));
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (!line.empty() && line[0] != '#')
            return std::string(line);
    }
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return "?";
    return name;
}

std::string ThisMachineId() {
    for (const char* pszPath : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        CUniqueFd fd(open(pszPath, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        std::string strId = fd.IsOpen() ? std::string(Trimmed(ReadAllBounded(fd.Get(), 256))) : "";
        if (!strId.empty())
            return strId;
    }
    return "";
}

std::string ReadRecordRuns(const std::string& strPath, const std::string& strStation,
                           std::vector<SStationRun>& runs, SReportSource& source) {
    CUniqueFd fd(open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.IsOpen()) {
        if (errno != ENOENT)
            return "ao abrir: " + SystemErrorText(errno);
        source.bMissing = true;
        return "";
    }
    struct stat st = {};
    if (fstat(fd.Get(), &st) != 0)
        return "ao consultar: " + SystemErrorText(errno);
    if (!S_ISREG(st.st_mode))
        return "não é um arquivo comum";
    bool bRead = ForEachRecordLineIn(fd.Get(), [&](std::string_view line) {
        if (line.empty())
            return;
        if (std::optional<SRunRecordRow> row = ParseRunRecordRow(line))
            runs.push_back({strStation, std::move(*row)});
        else
            ++source.nSkippedRows;
    });
    return bRead ? "" : "ao ler: " + SystemErrorText(errno);
}

#include "line/LineJson.h"

#include "provisioning/RunResult.h"
#include "records/ShiftReport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

namespace {

QString Text(const std::string& str) {
    return QString::fromStdString(str);
}

QJsonValue Yield(int nVerified, int nTried) {
    if (nTried == 0)
        return QJsonValue::Null;
    return std::round(1000.0 * nVerified / nTried) / 10.0;
}

QJsonObject RunJson(const SLineRun& run) {
    return {{"id", Text(run.strRunId)},
            {"estacao", Text(run.strStation)},
            {"porta", Text(run.row.strPort)},
            {"resultado", Text(run.row.strOutcome)},
            {"etapa", run.row.nStage},
            {"tituloEtapa", Text(RunStageTitle(run.row.nStage))},
            {"mac", Text(run.row.strMacSent)},
            {"inicio", Text(FormatIsoTime(run.row.tStart))},
            {"fim", Text(FormatIsoTime(run.row.tEnd))},
            {"mensagem", Text(run.row.strMessage)},
            {"log", run.bHasLog}};
}

QJsonArray RunsJson(const std::vector<SLineRun>& runs) {
    QJsonArray array;
    for (const SLineRun& run : runs)
        array.append(RunJson(run));
    return array;
}

// Today's yields from the shift report itself, so that the page and --report never disagree.
void AddYields(QJsonObject& json, const SShiftReport& report, const std::string& strDay) {
    QJsonArray stations;
    int nVerified = 0, nTried = 0;
    for (const SYieldCount& count : report.yields) {
        if (count.strDay != strDay)
            continue;
        stations.append(QJsonObject{{"estacao", Text(count.strStation)},
                                    {"verificadas", count.nVerified},
                                    {"tentadas", count.nTried},
                                    {"rendimento", Yield(count.nVerified, count.nTried)}});
        nVerified += count.nVerified;
        nTried += count.nTried;
    }
    json["estacoes"] = stations;
    json["linha"] = QJsonObject{
        {"verificadas", nVerified}, {"tentadas", nTried}, {"rendimento", Yield(nVerified, nTried)}};
    json["execucoes"] = report.nRuns;
    QJsonArray failures;
    for (const SStageFailures& stage : report.failures)
        failures.append(QJsonObject{{"etapa", stage.nStage},
                                    {"titulo", Text(RunStageTitle(stage.nStage))},
                                    {"falhas", stage.nFailures}});
    json["falhasPorEtapa"] = failures;
    QJsonArray shared;
    for (const SSharedMac& mac : report.sharedMacs) {
        QJsonArray runs;
        for (const SStationRun& run : mac.runs)
            runs.append(QJsonObject{{"estacao", Text(run.strStation)},
                                    {"porta", Text(run.row.strPort)},
                                    {"inicio", Text(FormatIsoTime(run.row.tStart))},
                                    {"resultado", Text(run.row.strOutcome)},
                                    {"etapa", run.row.nStage}});
        shared.append(QJsonObject{{"mac", Text(mac.strMac)}, {"execucoes", runs}});
    }
    json["macsRepetidos"] = shared;
}

} // namespace

std::string LineViewJson(const SLineView& view, std::chrono::system_clock::time_point tDayStart,
                         int nMacWarning) {
    QJsonObject json{{"estado", "ok"},
                     {"atualizado", Text(FormatIsoTime(std::chrono::system_clock::now()))},
                     {"dia", Text(FormatLocalTime(tDayStart, "%Y-%m-%d"))}};
    AddYields(json, ComputeShiftReport(view.todayRuns, tDayStart), FormatLocalTime(tDayStart, "%Y-%m-%d"));
    // Boards verified in each hour of the day, by the hour their run ended.
    QJsonArray perHour;
    std::vector<int> hours(24);
    for (const SStationRun& run : view.todayRuns)
        if (run.row.tStart >= tDayStart && run.row.strOutcome == "ok")
            ++hours[size_t(std::atoi(FormatLocalTime(run.row.tEnd, "%H").c_str()) % 24)];
    for (int n : hours)
        perHour.append(n);
    json["placasPorHora"] = perHour;
    json["portas"] = RunsJson(view.portRuns);
    json["falhas"] = RunsJson(view.failedToday);
    if (view.range) {
        double dTotal = double(view.range->nLast - view.range->nFirst + 1);
        double dLeft = std::max(0.0, dTotal - double(view.nMacsTaken));
        json["enderecos"] = QJsonObject{{"primeiro", Text(MacText(view.range->nFirst))},
                                        {"ultimo", Text(MacText(view.range->nLast))},
                                        {"total", dTotal},
                                        {"restantes", dLeft},
                                        {"limite", nMacWarning},
                                        {"aviso", dLeft < nMacWarning}};
    } else {
        json["enderecos"] = QJsonValue::Null;
    }
    return QJsonDocument(json).toJson(QJsonDocument::Compact).toStdString();
}

std::string LineOfflineJson(const std::string& strReason) {
    QJsonObject json{{"estado", "sem-banco"},
                     {"mensagem", Text(strReason)},
                     {"atualizado", Text(FormatIsoTime(std::chrono::system_clock::now()))}};
    return QJsonDocument(json).toJson(QJsonDocument::Compact).toStdString();
}

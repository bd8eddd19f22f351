#include "linedb/LineView.h"

#include "linedb/LineDbRows.h"

namespace {

// The columns every listed run is read with, in this order (r: qan640_runs).
constexpr const char* kRunColumns =
    "r.run_id, r.station, r.port, extract(epoch FROM r.started)::text, extract(epoch FROM r.ended)::text,"
    " r.outcome, r.stage, r.mac_sent, r.mac_read, r.message, r.duration_s,"
    " EXISTS (SELECT 1 FROM qan640_run_logs l WHERE l.run_id = r.run_id)";

std::vector<SLineRun> LineRuns(const CPgResult& result) {
    std::vector<SLineRun> runs(size_t(result.Rows()));
    for (int i = 0; i < result.Rows(); ++i) {
        SLineRun& run = runs[size_t(i)];
        run.strRunId = result.Text(i, 0);
        run.strStation = result.Text(i, 1);
        run.row.strPort = result.Text(i, 2);
        run.row.tStart = TimeFromEpoch(result.Text(i, 3));
        run.row.tEnd = TimeFromEpoch(result.Text(i, 4));
        run.row.strOutcome = result.Text(i, 5);
        run.row.nStage = std::atoi(result.Text(i, 6).c_str());
        run.row.strMacSent = result.Text(i, 7);
        run.row.strMacRead = result.Text(i, 8);
        run.row.strMessage = result.Text(i, 9);
        run.row.dDurationS = std::atof(result.Text(i, 10).c_str());
        run.bHasLog = result.Text(i, 11) == "t";
    }
    return runs;
}

} // namespace

std::optional<SLineView> FetchLineView(CLineDb& db, std::chrono::system_clock::time_point tDayStart,
                                       const std::optional<SMacRange>& range, std::string& strError) {
    SLineView view;
    std::optional<std::vector<SStationRun>> today = FetchLineRuns(db, tDayStart, strError);
    if (!today)
        return std::nullopt;
    view.todayRuns = std::move(*today);
    // The ports of the line, one step along qan640_runs_slot each (a loose index scan), then each one's
    // latest run along the same index.
    std::string strMaxSlots = std::to_string(kLineViewMaxSlots);
    std::string strSlots =
        std::string(
            "WITH RECURSIVE slot AS ((SELECT station, port FROM qan640_runs ORDER BY station, port"
            " LIMIT 1) UNION ALL SELECT n.station, n.port FROM slot s, LATERAL (SELECT station, port"
            " FROM qan640_runs q WHERE (q.station, q.port) > (s.station, s.port) ORDER BY station, port"
            " LIMIT 1) n) SELECT ") +
        kRunColumns +
        " FROM (SELECT * FROM slot LIMIT $1::integer) s, LATERAL (SELECT * FROM qan640_runs q WHERE"
        " q.station = s.station AND q.port = s.port ORDER BY started DESC LIMIT 1) r ORDER BY r.station, "
        "r.port";
    std::optional<CPgResult> ports = db.Exec(strSlots.c_str(), {strMaxSlots.c_str()}, strError);
    if (!ports)
        return std::nullopt;
    view.portRuns = LineRuns(*ports);
    std::string strSince = EpochText(tDayStart), strMaxFailed = std::to_string(kLineViewMaxFailed);
    std::string strFailed = std::string("SELECT ") + kRunColumns +
                            " FROM qan640_runs r WHERE r.started >= to_timestamp($1::double precision) AND"
                            " r.outcome = 'failed' AND EXISTS (SELECT 1 FROM qan640_run_logs l WHERE"
                            " l.run_id = r.run_id) ORDER BY r.started DESC LIMIT $2::integer";
    std::optional<CPgResult> failed =
        db.Exec(strFailed.c_str(), {strSince.c_str(), strMaxFailed.c_str()}, strError);
    if (!failed)
        return std::nullopt;
    view.failedToday = LineRuns(*failed);
    view.range = range;
    if (range) {
        std::string strFirst = MacText(range->nFirst), strLast = MacText(range->nLast);
        std::optional<CPgResult> taken =
            db.Exec("SELECT count(*) FROM qan640_macs WHERE mac BETWEEN $1::macaddr AND $2::macaddr",
                    {strFirst.c_str(), strLast.c_str()}, strError);
        if (!taken)
            return std::nullopt;
        view.nMacsTaken = std::atoll(taken->Text(0, 0).c_str());
    }
    return view;
}

std::optional<std::string> FetchRunLog(CLineDb& db, const std::string& strRunId, std::string& strError) {
    strError.clear();
    std::string strId = ValidUtf8(strRunId);
    std::optional<CPgResult> result =
        db.Exec("SELECT log FROM qan640_run_logs WHERE run_id = $1", {strId.c_str()}, strError);
    if (!result || result->Rows() == 0)
        return std::nullopt;
    return result->Text(0, 0);
}

#pragma once

#include "ledger/RecordMacLedger.h"
#include "linedb/LineDb.h"
#include "records/RunRecord.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// What the line's page shows, read from the line's database with SELECT only. Each query goes along an
// index (docs/it/database.md names them), so that a database of years answers as fast as a new one.

// A run as the page lists it: the last one of a station's port, or a failed run whose log can be read.
struct SLineRun {
    std::string strRunId;
    std::string strStation;
    SRunRecordRow row;
    bool bHasLog = false;
};

struct SLineView {
    std::vector<SLineRun> portRuns;     // the last run of each station and port, by station and port
    std::vector<SStationRun> todayRuns; // FetchLineRuns since the day's start (and the earlier runs it adds)
    std::vector<SLineRun> failedToday;  // the day's latest failed runs that have a log, the latest first
    std::optional<SMacRange> range;
    int64_t nMacsTaken = 0; // addresses of the range stored or reserved
};

// At most this many ports and failed runs are listed.
inline constexpr int kLineViewMaxSlots = 500;
inline constexpr int kLineViewMaxFailed = 20;

// The view from tDayStart on; range is the line's (QAN640macrange.conf), when there is one.
std::optional<SLineView> FetchLineView(CLineDb& db, std::chrono::system_clock::time_point tDayStart,
                                       const std::optional<SMacRange>& range, std::string& strError);

// A failed run's log as stored with its row; nullopt with strError empty when there is none.
std::optional<std::string> FetchRunLog(CLineDb& db, const std::string& strRunId, std::string& strError);

#pragma once

#include "linedb/LineDb.h"
#include "records/RunRecord.h"
#include "records/RunRowOutlet.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// The rows of the line's database: each run's row sent once, the outbox of rows the server has not confirmed
// yet, and the line's runs read back.

// Times to and from the server as seconds since the epoch, in the C form whatever the locale.
std::string EpochText(std::chrono::system_clock::time_point t);
std::chrono::system_clock::time_point TimeFromEpoch(const std::string& strText);

// Sends a run's row: exactly once per run id (a second send of the same run changes nothing). A row that
// stored its address in a board (outcome ok, or past bootargs) makes the address "stored" in the line's
// ledger in the same transaction. A failed run's log (LineDbRunLog) goes in with its row.
bool SendLineDbRow(CLineDb& db, const std::string& strRunId, const std::string& strStation,
                   const SRunRecordRow& row, std::string& strError, const std::string& strLog = "");

// How much of a failed run's log goes with its row: its end, where the failure is.
inline constexpr size_t kLineDbLogTailBytes = 65536;
// The end of a failed run's log (the record's folder strDir) as UTF-8, for its row; empty for a run that did
// not fail or whose log cannot be read.
std::string LineDbRunLog(const std::string& strDir, const SRunRecordRow& row);

// The outbox: rows waiting for the database. QueueLineDbRow writes the row durably before it is sent;
// FlushLineDbOutbox sends every waiting row (the oldest first) and removes each one the server confirmed.
// Both return the problem (Portuguese) or empty.
std::string QueueLineDbRow(const std::string& strDir, const std::string& strRunId,
                           const std::string& strStation, const std::string& strCsvRow,
                           const std::string& strLog = "");
void UnqueueLineDbRow(const std::string& strDir, const std::string& strRunId);
// The names of the rows waiting in the outbox, the oldest first.
std::vector<std::string> LineDbOutboxRows(const std::string& strDir);
struct SOutboxFlush {
    int nSent = 0;
    int nWaiting = 0; // rows still in the outbox
    std::string strError;
};
SOutboxFlush FlushLineDbOutbox(CLineDb& db, const std::string& strDir);

// Every row of this station's runs to the line's database, through the outbox beside the record (strDir): a
// row the database does not confirm waits there and goes at a later start.
class CLineDbOutlet : public IRunRowOutlet {
public:
    CLineDbOutlet(CLineDb& db, std::string strDir, std::string strStation)
        : m_db(db), m_strDir(std::move(strDir)), m_strStation(std::move(strStation)) {}
    std::string SendRow(const std::string& strRunId, const std::string& strCsvRow,
                        const SRunRecordRow* pRow) override;
    std::string SendWaitingRows() override;

private:
    CLineDb& m_db;
    std::string m_strDir;
    std::string m_strStation;
};

// Every run that started at or after tSince, and the earlier runs of the addresses those runs sent (what the
// shift report needs of the time before), in the order of their start.
std::optional<std::vector<SStationRun>>
FetchLineRuns(CLineDb& db, std::chrono::system_clock::time_point tSince, std::string& strError);

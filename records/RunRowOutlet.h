#pragma once

#include "records/RunRecord.h"

#include <string>

// The run id of a run beyond this PC (the line's database, a reservation): the station and the run journal's
// name, so that the run's row and a recovery of the same run after a kill carry the same id.
inline std::string RunIdOf(const std::string& strStation, const std::string& strJournalStem) {
    return strStation + "/" + strJournalStem;
}

// Where every run's row goes besides the record (the line's database). The archive hands each row over as
// the record holds it; the outlet keeps it until it is delivered. Each call returns the line (Portuguese) to
// report, or empty.
class IRunRowOutlet {
public:
    virtual ~IRunRowOutlet() = default;
    // The row of run strRunId as the record's line (strCsvRow); pRow its fields, or null: read from the line.
    virtual std::string SendRow(const std::string& strRunId, const std::string& strCsvRow,
                                const SRunRecordRow* pRow) = 0;
    // The rows that earlier runs left undelivered, sent again.
    virtual std::string SendWaitingRows() = 0;
};

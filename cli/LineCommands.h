#pragma once

#include "linedb/LineDb.h"

#include <chrono>
#include <optional>
#include <string>

// What qan640-provision does besides a run: the shift report and the line database's tables.

// The exit status of a line database that cannot be used (any state but Ready).
int LineDbExitStatus(CLineDb::EState eState);

// Local midnight of a date "2024-05-01"; nothing for any other text or a day the calendar lacks.
std::optional<std::chrono::system_clock::time_point> LocalMidnight(const std::string& strDate);

// The shift report on standard output, from the line's database when conninfo names one (this station's
// waiting rows are sent first), else from the record in the working directory; notes a CSV cannot hold go
// to standard error. Returns the exit status.
int PrintReport(const std::optional<std::string>& conninfo,
                std::optional<std::chrono::system_clock::time_point> tSince, bool bCsv);

// --db-init: the line's tables created or brought up to this program's version. Returns the exit status.
int InitLineDb(const std::string& strConninfo);

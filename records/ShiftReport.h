#pragma once

#include "records/RunRecord.h"

#include <chrono>
#include <string>
#include <vector>

// The shift report: yield per day and station, failures per stage and addresses stored by more than one run,
// from the runs of one station's record or of a whole line.

// This PC's name as a station of the line: its host name.
std::string ThisStationName();
// This machine's id (/etc/machine-id), empty where it has none.
std::string ThisMachineId();

// Where the runs came from, shown with the report.
struct SReportSource {
    std::string strName;   // the record's file name, or the line's database
    bool bMissing = false; // there is no record yet: the report is empty and says so
    int nSkippedRows = 0;  // lines that are not rows (torn, damaged, of another program), left out
};

// The runs of one day on one station. A board tried is a run that reached the board: its last stage is
// the loader's or later. A run that ended at stage 1 (set-up errors, a busy port, a stop before the loader
// ran) is not one. Each run counts: a board redone counts once per run.
struct SYieldCount {
    std::string strDay; // the run's local start date, "2024-05-01"
    std::string strStation;
    int nVerified = 0; // outcome ok
    int nTried = 0;
};

struct SStageFailures {
    int nStage = 0;
    int nFailures = 0; // runs whose outcome is failed and whose last stage is nStage
};

// An address that more than one run stored in a board (outcome ok or past bootargs, as the MAC ledger reads
// the record): one board redone with --reuse-mac or two boards given the same address; the runs' times,
// stations and ports tell which, and so does a run whose operator confirmed it was the same board.
struct SSharedMac {
    std::string strMac;
    std::vector<SStationRun> runs; // every run that stored it, the earliest first
};

struct SShiftReport {
    std::chrono::system_clock::time_point tSince; // time_point{}: every run
    int nRuns = 0;                                // runs that started at or after tSince
    std::vector<SYieldCount> yields;              // by day, then station
    std::vector<SStageFailures> failures;         // stages with failures, in stage order
    // Addresses stored by more than one run, at least one of them at or after tSince: an address stored
    // again this shift is listed with its earlier runs, however old.
    std::vector<SSharedMac> sharedMacs;
};

// The report of the runs that started at or after tSince; runs need not be in order.
SShiftReport ComputeShiftReport(const std::vector<SStationRun>& runs,
                                std::chrono::system_clock::time_point tSince);

// The report as plain text (Portuguese, columns aligned, UTF-8) with the source's notes, or with bCsv as CSV
// tables for spreadsheets (each its title line, header and rows, a blank line between them; the record's
// quoting and formula guard) without them.
std::string FormatShiftReport(const SShiftReport& report, const SReportSource& source, bool bCsv);

// What the report says about its source: no record, lines left out. Empty when there is nothing to say.
std::string ReportSourceNotes(const SReportSource& source);

// The rows of the record at strPath as runs of strStation. A record that does not exist gives no runs and
// source.bMissing; lines that are not rows are counted in source.nSkippedRows. Empty on success, otherwise
// a short reason (Portuguese, with the system's text).
std::string ReadRecordRuns(const std::string& strPath, const std::string& strStation,
                           std::vector<SStationRun>& runs, SReportSource& source);

#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

// The record of every board: one CSV row per run, in "QAN640runs.csv" in the working directory, as
// spreadsheets read it (UTF-8 with a byte-order mark, a header row, RFC 4180 quoting, CR LF line ends).
inline constexpr const char* kRunRecordFileName = "QAN640runs.csv";

struct SRunRecordRow {
    std::chrono::system_clock::time_point tStart;
    std::chrono::system_clock::time_point tEnd;
    std::string strPort;
    std::string strMacSent;
    std::string strMacRead;
    std::string strOutcome; // ok, failed, stopped
    int nStage = 0;         // the last stage reached
    std::string strMessage; // the closing box's text
    double dDurationS = 0;
    std::string strLogFile; // relative to the record's folder; empty when the log could not be saved
};

// Local time with its UTC offset: "2024-05-01T14:03:07-03:00".
std::string FormatIsoTime(std::chrono::system_clock::time_point t);

// The header line, with its line end (no byte-order mark).
std::string RunRecordHeader();

// One row with its line end. Every field is kept on one line: a line break (and any other control
// character) becomes a blank, so that a row is always exactly one line of the file.
std::string FormatRunRecordRow(const SRunRecordRow& row);

// What goes before a row appended to a file whose last bytes are `tail`: nothing after a complete line; the
// missing line end after a torn one (power lost mid-write), preceded by a closing quote when the torn line
// stopped inside a quoted field, which would otherwise swallow the next row.
std::string RowLeadAfter(std::string_view tail);

// Appends the row to the file at strPath as one write, then flushes it to disk. A new (or empty) file gets
// the byte-order mark and the header first. Appenders in other processes are kept out by a lock on the
// file for the moment of the append; should the lock not come within a second, the single write still
// keeps the row whole. Empty on success, otherwise a short English reason.
std::string AppendRunRecord(const std::string& strPath, const std::string& strRow);

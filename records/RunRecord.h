#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The record of every board: one CSV row per run, in "QAN640runs.csv" in the working directory, as
// spreadsheets read it (UTF-8 with a byte-order mark, a header row, RFC 4180 quoting, CR LF line ends).
inline constexpr const char* kRunRecordFileName = "QAN640runs.csv";
// The station's name, optional (the host name without it): in the working directory, its first line that
// is neither blank nor a comment ("#").
inline constexpr const char* kStationFileName = "QAN640station.conf";
// The columns of a row as this version writes it, and of the first version's rows, which still read.
inline constexpr size_t kRunRecordFieldCount = 12;
inline constexpr size_t kRunRecordFirstFieldCount = 10;

struct SRunRecordRow {
    std::chrono::system_clock::time_point tStart;
    std::chrono::system_clock::time_point tEnd;
    std::string strPort;
    std::string strMacSent;
    std::string strMacRead;
    std::string strOutcome; // ok, failed, stopped, interrupted
    int nStage = 0;         // the last stage reached
    std::string strMessage; // the closing box's text
    double dDurationS = 0;
    std::string strLogFile;  // relative to the record's folder; empty when the log could not be saved
    std::string strOperator; // the login name of the process that ran it; empty in rows of older versions
    std::string strSerial;   // the board's serial number, where the site requires one
};

// One run of the line: the station (host name) it ran on and its record row.
struct SStationRun {
    std::string strStation;
    SRunRecordRow row;
};

// What ends the message of a run whose operator confirmed that an address the record shows stored is the
// same board again.
inline constexpr const char* kMacReuseConfirmedNote =
    " (MAC já gravado antes; o operador confirmou que é a mesma placa)";

// Local time with its UTC offset: "2024-05-01T14:03:07-03:00".
std::string FormatIsoTime(std::chrono::system_clock::time_point t);
// Local time in a strftime format.
std::string FormatLocalTime(std::chrono::system_clock::time_point t, const char* pszFormat);

// The login name of this process's user (its user id's name; the number when it has none).
std::string ProcessOperatorName();

// The header line, with its line end (no byte-order mark). New columns only ever go at the end, so that
// rows of older versions, shorter, still read.
std::string RunRecordHeader();

// What ends the message of a run whose address the record already showed stored with the same serial number.
inline constexpr const char* kSameBoardAgainNote =
    " (MAC e número de série já gravados juntos: a mesma placa)";

// One row with its line end. Every field is kept on one line: a line break (and any other control
// character) becomes a blank, so that a row is always exactly one line of the file. Bytes that are not
// UTF-8 become U+FFFD, so the file stays valid UTF-8 whatever a port name holds; a field that a spreadsheet
// would take for a formula (it begins with =, +, - or @, after any apostrophes of its own) gets a leading
// apostrophe, which spreadsheets show as text and ParseRunRecordRow takes off again. Both MAC columns take
// one form (CanonicalMac) and the duration is written with a point and one decimal, whatever the locale.
std::string FormatRunRecordRow(const SRunRecordRow& row);

// Time written by FormatIsoTime ("2024-05-01T14:03:07-03:00", or "Z" for UTC); nothing for any other text.
std::optional<std::chrono::system_clock::time_point> ParseIsoTime(std::string_view text);

// The fields of one line of the record (without its line end), as written: quotes taken off, doubled quotes
// still doubled. Fills fields as far as the line goes and returns false when its quoting is broken (a quote
// left open, text after a closing quote), so that a torn row still gives its first fields. With nMaxFields it
// stops after that many fields, judging only those.
bool SplitRecordLine(std::string_view line, std::vector<std::string_view>& fields,
                     size_t nMaxFields = SIZE_MAX);
// Whether a spreadsheet would run the field as a formula, once the apostrophes before it are gone: a field of
// its own that begins with "'=" is guarded as well, so that the reader can tell the guard from the text.
bool NeedsFormulaGuard(std::string_view field);
// A field as SplitRecordLine gives it as the text the row was made from: doubled quotes single again, the
// apostrophe that FormatRunRecordRow put before a formula taken off.
std::string RecordFieldText(std::string_view field);
// One line of the record (without its line end) read back into the row it was written from: its fields (ten
// in the first version's rows, which leave the later columns empty, kRunRecordFieldCount in this one's), well
// quoted, both times, a stage of 0 to 17, a duration and one of the outcomes ok, failed, stopped or
// interrupted. Nothing for a line that is not such a row (a torn one, the header, text of another program).
// Text fields come back as FormatRunRecordRow wrote them: on one line and valid UTF-8.
std::optional<SRunRecordRow> ParseRunRecordRow(std::string_view line);
// What a line of the record says of an address in a board, read as far as the line goes, since the address
// may be in a board whatever became of the rest of the row: a torn row counts once its first seven fields are
// whole, and a stage that is not a number alone ("1x3", damaged) is taken as past bootargs. The address and
// the row's start and port fields as written (views into line); nothing when the row stored none. fields is
// room to work in, kept by a caller that reads many lines.
// With bSerial the whole row is read for its serial number too (empty in rows written before it was).
struct SStoredMacField {
    uint64_t nMac = 0;
    std::string_view start;
    std::string_view port;
    std::string_view serial;
};
std::optional<SStoredMacField> StoredMacOfLine(std::string_view line, std::vector<std::string_view>& fields,
                                               bool bSerial = false);
// Calls fn with each line of a record's text after the header, without its line end; an empty line included.
void ForEachRecordLine(std::string_view text, const std::function<void(std::string_view)>& fn);
// The same for the record open at fd, read from its start in blocks of nBlockBytes (a line longer than a
// block is read whole). Read, not mapped: the record is cut back when an append fails on a full disk (and a
// person may shorten it in an editor), and a mapping whose file shrinks kills its reader with SIGBUS, while a
// read only ends sooner. In blocks, so that a record of years is never held whole. False when a read failed
// (errno says why); the lines before it were given.
inline constexpr size_t kRecordReadBlockBytes = size_t(1) << 20;
bool ForEachRecordLineIn(int fd, const std::function<void(std::string_view)>& fn,
                         size_t nBlockBytes = kRecordReadBlockBytes);

// Fields as one CSV line with its line end, each field as FormatRunRecordRow writes it (on one line, valid
// UTF-8, guarded against formulas, quoted where needed).
std::string CsvLine(const std::vector<std::string>& fields);

// A text on one line: each run of line breaks and other control characters, with the blanks around it,
// becomes one blank (none at the ends).
std::string OneLineText(std::string_view text);
// A line of a settings file without the blanks (and the carriage return) around it.
std::string_view Trimmed(std::string_view text);

// Valid UTF-8: every byte that does not belong to a well-formed sequence becomes U+FFFD.
std::string ValidUtf8(std::string_view text);

// A MAC address as the record writes it: upper case, bytes separated by colons ("02:3A:7C:1A:2B:3C"), from
// any letter case with colons, hyphens or nothing between the bytes. Any other text stays as it is.
std::string CanonicalMac(std::string_view text);

// What goes before a row appended to a file whose last bytes are `tail`: nothing after a complete line; the
// missing line end after a torn one (power lost mid-write), preceded by a closing quote when the torn line
// stopped inside a quoted field, which would otherwise swallow the next row.
std::string RowLeadAfter(std::string_view tail);

// Appends the row to the file at strPath as one write, then flushes it to disk. A new (or empty) file gets
// the byte-order mark and the header first. Appenders in other processes are kept out by a lock on the
// file for the moment of the append; a lock not had within a second is a failed write (an append without it
// could tear another's). A write that fails half-way (a full disk) is taken back, so the file keeps its
// earlier rows and nothing torn. With nAbsentAfter >= 0 the row is appended only when the file does not
// already hold exactly that line from that offset on (a row that a run may have appended before it was
// killed). Empty on success, otherwise a short reason (Portuguese, with the system's text).
std::string AppendRunRecord(const std::string& strPath, const std::string& strRow, int64_t nAbsentAfter = -1);

// The size of the record at strPath, 0 when it does not exist yet.
int64_t RunRecordSize(const std::string& strPath);

// An address as a number, from any letter case with colons, hyphens or nothing between the bytes.
std::optional<uint64_t> MacValue(std::string_view text);
// The record's form of an address: "02:3A:7C:00:10:00".
std::string MacText(uint64_t nMac);

// Whether a row with this outcome and last stage shows an address stored in a board: outcome ok, or a run
// that got past bootargs.
bool RowStoresMac(std::string_view outcome, int nStage);

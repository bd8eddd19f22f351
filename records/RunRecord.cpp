#include "records/RunRecord.h"

#include "core/SystemError.h"
#include "provisioning/RunResult.h"
#include "records/DurableFile.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char* kByteOrderMark = "\xEF\xBB\xBF";
constexpr const char* kLineEnd = "\r\n";
// Enough to hold the last line of any row this program writes.
constexpr size_t kTailBytes = 4096;
constexpr int kLockWaitMs = 1000;
constexpr int kLockPollMs = 10;

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char UpperAscii(char c) {
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

// The length of the well-formed UTF-8 sequence at the start of text, 0 when there is none.
size_t Utf8SequenceLength(std::string_view text) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char c = byte(0);
    if (c < 0x80)
        return 1;
    size_t nLength = 0;
    // The second byte's range is narrower after some leads: no overlong forms, no surrogates, nothing
    // beyond U+10FFFF.
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        nLength = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        nLength = 3;
        lo = c == 0xE0 ? 0xA0 : 0x80;
        hi = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        nLength = 4;
        lo = c == 0xF0 ? 0x90 : 0x80;
        hi = c == 0xF4 ? 0x8F : 0xBF;
    }
    if (nLength == 0 || text.size() < nLength)
        return 0;
    if (byte(1) < lo || byte(1) > hi)
        return 0;
    for (size_t i = 2; i < nLength; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    return nLength;
}

// Whether a spreadsheet would run the field as a formula, once the apostrophes before it are gone: a field of
// its own that begins with "'=" is guarded as well, so that the reader can tell the guard from the text.
bool NeedsFormulaGuard(std::string_view field) {
    size_t first = field.find_first_not_of('\'');
    return first != std::string_view::npos &&
           std::string_view("=+-@").find(field[first]) != std::string_view::npos;
}

std::string CsvField(std::string_view text) {
    std::string field = OneLineText(ValidUtf8(text));
    // Spreadsheets run a cell that begins so as a formula (a port named "=1+1"); the apostrophe makes it
    // text. Tab and CR, which do the same, never begin a field: OneLineText takes them off the ends.
    if (NeedsFormulaGuard(field))
        field.insert(0, "'");
    if (field.find_first_of(",\"") == std::string::npos)
        return field;
    std::string quoted = "\"";
    for (char c : field) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

std::string Reason(const char* pszWhat, int nError) {
    return std::string(pszWhat) + ": " + SystemErrorText(nError);
}

// Whether the file holds exactly strRow as a line of its own from nOffset on.
bool HoldsRowAfter(int fd, int64_t nSize, int64_t nOffset, const std::string& strRow) {
    if (nOffset < 0 || nOffset >= nSize)
        return false;
    std::string text(size_t(nSize - nOffset), '\0');
    ssize_t nRead = pread(fd, text.data(), text.size(), off_t(nOffset));
    if (nRead <= 0)
        return false;
    text.resize(size_t(nRead));
    for (size_t pos = text.find(strRow); pos != std::string::npos; pos = text.find(strRow, pos + 1))
        if (pos == 0 || text[pos - 1] == '\n')
            return true;
    return false;
}

bool LockWithin(int fd, int nWaitMs) {
    for (int nWaited = 0;; nWaited += kLockPollMs) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        if (nWaited >= nWaitMs)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kLockPollMs));
    }
}

} // namespace

std::string CsvLine(const std::vector<std::string>& fields) {
    std::string row;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0)
            row += ',';
        row += CsvField(fields[i]);
    }
    return row + kLineEnd;
}

std::string FormatLocalTime(std::chrono::system_clock::time_point t, const char* pszFormat) {
    time_t tt = std::chrono::system_clock::to_time_t(t);
    struct tm local = {};
    localtime_r(&tt, &local);
    char buffer[64];
    return std::string(buffer, strftime(buffer, sizeof buffer, pszFormat, &local));
}

std::string FormatIsoTime(std::chrono::system_clock::time_point t) {
    std::string text = FormatLocalTime(t, "%Y-%m-%dT%H:%M:%S%z");
    // strftime gives the offset as +hhmm; the extended format wants +hh:mm.
    if (text.size() >= 5)
        text.insert(text.size() - 2, ":");
    return text;
}

std::string RunRecordHeader() {
    return CsvLine({"start", "end", "port", "mac_sent", "mac_read", "outcome", "last_stage", "message",
                    "duration_s", "log_file"});
}

std::string FormatRunRecordRow(const SRunRecordRow& row) {
    // to_chars ignores the locale: under pt_BR printf would write "1,0", which the CSV then has to quote
    // and a script reads as two numbers.
    char duration[32];
    auto [pEnd, ec] = std::to_chars(duration, duration + sizeof duration, std::max(row.dDurationS, 0.0),
                                    std::chars_format::fixed, 1);
    std::string strDuration = ec == std::errc() ? std::string(duration, pEnd) : std::string();
    return CsvLine({FormatIsoTime(row.tStart), FormatIsoTime(row.tEnd), row.strPort,
                    CanonicalMac(row.strMacSent), CanonicalMac(row.strMacRead), row.strOutcome,
                    std::to_string(row.nStage), row.strMessage, strDuration, row.strLogFile});
}

std::optional<std::chrono::system_clock::time_point> ParseIsoTime(std::string_view text) {
    auto number = [&](size_t pos, size_t nDigits, int& nOut) {
        if (pos + nDigits > text.size())
            return false;
        auto [pEnd, ec] = std::from_chars(text.data() + pos, text.data() + pos + nDigits, nOut);
        return ec == std::errc() && pEnd == text.data() + pos + nDigits && text[pos] != '-' &&
               text[pos] != '+';
    };
    int nYear = 0, nMonth = 0, nDay = 0, nHour = 0, nMinute = 0, nSecond = 0;
    if (text.size() < 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || !number(0, 4, nYear) || !number(5, 2, nMonth) || !number(8, 2, nDay) ||
        !number(11, 2, nHour) || !number(14, 2, nMinute) || !number(17, 2, nSecond))
        return std::nullopt;
    int nOffsetMin = 0;
    if (text.substr(19) != "Z") {
        int nOffsetHour = 0, nOffsetMinute = 0;
        if (text.size() != 25 || (text[19] != '+' && text[19] != '-') || text[22] != ':' ||
            !number(20, 2, nOffsetHour) || !number(23, 2, nOffsetMinute) || nOffsetHour > 23 ||
            nOffsetMinute > 59)
            return std::nullopt;
        nOffsetMin = (text[19] == '-' ? -1 : 1) * (nOffsetHour * 60 + nOffsetMinute);
    }
    std::chrono::year_month_day date{std::chrono::year(nYear), std::chrono::month(unsigned(nMonth)),
                                     std::chrono::day(unsigned(nDay))};
    if (!date.ok() || nHour > 23 || nMinute > 59 || nSecond > 60)
        return std::nullopt;
    return std::chrono::sys_days(date) + std::chrono::hours(nHour) +
           std::chrono::minutes(nMinute - nOffsetMin) + std::chrono::seconds(nSecond);
}

bool SplitRecordLine(std::string_view line, std::vector<std::string_view>& fields, size_t nMaxFields) {
    fields.clear();
    bool bWellFormed = true;
    size_t pos = 0;
    while (fields.size() < nMaxFields) {
        if (pos < line.size() && line[pos] == '"') {
            size_t start = ++pos;
            bool bClosed = false;
            while (pos < line.size()) {
                if (line[pos] == '"') {
                    if (pos + 1 < line.size() && line[pos + 1] == '"') {
                        pos += 2;
                        continue;
                    }
                    bClosed = true;
                    break;
                }
                ++pos;
            }
            fields.push_back(line.substr(start, pos - start));
            if (!bClosed)
                return false;
            if (++pos == line.size())
                return bWellFormed;
            if (line[pos] != ',')
                return false;
            ++pos;
            continue;
        }
        const void* pComma = memchr(line.data() + pos, ',', line.size() - pos);
        size_t end = pComma ? size_t(static_cast<const char*>(pComma) - line.data()) : line.size();
        std::string_view field = line.substr(pos, end - pos);
        // The writer quotes every field that holds a quote.
        if (field.find('"') != std::string_view::npos)
            bWellFormed = false;
        fields.push_back(field);
        if (!pComma)
            return bWellFormed;
        pos = end + 1;
    }
    return bWellFormed;
}

std::string RecordFieldText(std::string_view field) {
    std::string text(field);
    for (size_t pos = 0; (pos = text.find("\"\"", pos)) != std::string::npos; ++pos)
        text.erase(pos, 1);
    // Only the writer puts an apostrophe before a formula: a text of its own that begins so has one more.
    if (text.starts_with('\'') && NeedsFormulaGuard(text))
        text.erase(0, 1);
    return text;
}

std::optional<SRunRecordRow> ParseRunRecordRow(std::string_view line) {
    std::vector<std::string_view> fields;
    if (!SplitRecordLine(line, fields) || fields.size() != 10)
        return std::nullopt;
    SRunRecordRow row;
    std::optional<std::chrono::system_clock::time_point> tStart = ParseIsoTime(fields[0]);
    std::optional<std::chrono::system_clock::time_point> tEnd = ParseIsoTime(fields[1]);
    if (!tStart || !tEnd)
        return std::nullopt;
    row.tStart = *tStart;
    row.tEnd = *tEnd;
    row.strOutcome = fields[5];
    if (row.strOutcome != "ok" && row.strOutcome != "failed" && row.strOutcome != "stopped" &&
        row.strOutcome != "interrupted")
        return std::nullopt;
    std::string_view stage = fields[6];
    auto [pStageEnd, ecStage] = std::from_chars(stage.data(), stage.data() + stage.size(), row.nStage);
    if (stage.empty() || ecStage != std::errc() || pStageEnd != stage.data() + stage.size() ||
        row.nStage < 0 || row.nStage > kRunStageCount)
        return std::nullopt;
    // The writer leaves the duration empty only when it cannot be written at all.
    std::string_view duration = fields[8];
    if (!duration.empty()) {
        auto [pEnd, ec] = std::from_chars(duration.data(), duration.data() + duration.size(), row.dDurationS,
                                          std::chars_format::fixed);
        if (ec != std::errc() || pEnd != duration.data() + duration.size() || row.dDurationS < 0)
            return std::nullopt;
    }
    row.strPort = RecordFieldText(fields[2]);
    row.strMacSent = RecordFieldText(fields[3]);
    row.strMacRead = RecordFieldText(fields[4]);
    row.strMessage = RecordFieldText(fields[7]);
    row.strLogFile = RecordFieldText(fields[9]);
    return row;
}

namespace {

void ForEachLine(std::string_view text, const std::function<void(std::string_view)>& fn) {
    while (!text.empty()) {
        const void* pNl = memchr(text.data(), '\n', text.size());
        size_t nLength = pNl ? size_t(static_cast<const char*>(pNl) - text.data()) : text.size();
        std::string_view line = text.substr(0, nLength);
        text.remove_prefix(pNl ? nLength + 1 : nLength);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        fn(line);
    }
}

} // namespace

void ForEachRecordLine(std::string_view text, const std::function<void(std::string_view)>& fn) {
    // The header line goes first.
    size_t nl = text.find('\n');
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    ForEachLine(text, fn);
}

bool ForEachRecordLineIn(int fd, const std::function<void(std::string_view)>& fn, size_t nBlockBytes) {
    std::string buffer;
    size_t nHeld = 0; // bytes of buffer read and not yet given (the start of a line)
    off_t nOffset = 0;
    bool bHeader = true;
    for (;;) {
        if (buffer.size() < nHeld + nBlockBytes)
            buffer.resize(nHeld + nBlockBytes);
        ssize_t nRead = pread(fd, buffer.data() + nHeld, nBlockBytes, nOffset);
        if (nRead < 0 && errno == EINTR)
            continue;
        if (nRead < 0)
            return false;
        bool bEnd = nRead == 0;
        nOffset += nRead;
        nHeld += size_t(nRead);
        std::string_view held(buffer.data(), nHeld);
        // Whole lines go now (none when no line ended yet: read on); at the end also a last line without
        // its line end, a torn row.
        size_t nWhole = bEnd ? nHeld : held.rfind('\n') + 1;
        if (nWhole > 0) {
            std::string_view lines = held.substr(0, nWhole);
            if (bHeader) {
                size_t nl = lines.find('\n');
                lines.remove_prefix(nl == std::string_view::npos ? lines.size() : nl + 1);
                bHeader = false;
            }
            ForEachLine(lines, fn);
            std::memmove(buffer.data(), buffer.data() + nWhole, nHeld - nWhole);
            nHeld -= nWhole;
        }
        if (bEnd)
            return true;
    }
}

std::string OneLineText(std::string_view text) {
    std::string out;
    bool bBreak = false;
    for (char c : text) {
        if (IsControl(static_cast<unsigned char>(c))) {
            while (!out.empty() && out.back() == ' ')
                out.pop_back();
            bBreak = !out.empty();
            continue;
        }
        if (bBreak) {
            if (c == ' ')
                continue;
            out += ' ';
            bBreak = false;
        }
        out += c;
    }
    return out;
}

std::string ValidUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        size_t n = Utf8SequenceLength(text);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            n = 1;
        } else {
            out += text.substr(0, n);
        }
        text.remove_prefix(n);
    }
    return out;
}

std::string CanonicalMac(std::string_view text) {
    std::string hex;
    if (text.size() == 12) {
        hex = text;
    } else if (text.size() == 17 && (text[2] == ':' || text[2] == '-')) {
        for (size_t i = 0; i < text.size(); ++i) {
            if (i % 3 == 2 && text[i] != text[2])
                return std::string(text);
            if (i % 3 != 2)
                hex += text[i];
        }
    }
    if (hex.size() != 12 || !std::all_of(hex.begin(), hex.end(), IsHexDigit))
        return std::string(text);
    std::string out;
    for (size_t i = 0; i < hex.size(); ++i) {
        if (i > 0 && i % 2 == 0)
            out += ':';
        out += UpperAscii(hex[i]);
    }
    return out;
}

std::string RowLeadAfter(std::string_view tail) {
    if (tail.empty() || tail.back() == '\n')
        return "";
    if (tail.back() == '\r')
        return "\n";
    // Fields never span lines, so an odd count of quotes on the torn line means it ends inside a field.
    size_t lineStart = tail.rfind('\n');
    std::string_view line = tail.substr(lineStart == std::string_view::npos ? 0 : lineStart + 1);
    size_t nQuotes = 0;
    for (char c : line)
        nQuotes += c == '"';
    return nQuotes % 2 ? std::string("\"") + kLineEnd : std::string(kLineEnd);
}

int64_t RunRecordSize(const std::string& strPath) {
    struct stat st = {};
    return stat(strPath.c_str(), &st) == 0 ? int64_t(st.st_size) : 0;
}

std::string AppendRunRecord(const std::string& strPath, const std::string& strRow, int64_t nAbsentAfter) {
    CUniqueFd fd = OpenSharedFile(strPath, O_RDWR | O_APPEND | O_CREAT);
    if (!fd.IsOpen())
        return Reason("ao abrir", errno);
    // Two benches appending at once must agree on the header and on mending a torn line.
    LockWithin(fd.Get(), kLockWaitMs);

    struct stat st = {};
    if (fstat(fd.Get(), &st) != 0)
        return Reason("ao consultar", errno);
    if (!S_ISREG(st.st_mode))
        return "não é um arquivo comum";
    if (nAbsentAfter >= 0 && HoldsRowAfter(fd.Get(), st.st_size, nAbsentAfter, strRow))
        return "";
    std::string strBuffer;
    if (st.st_size == 0) {
        strBuffer = std::string(kByteOrderMark) + RunRecordHeader();
    } else {
        size_t nTail = size_t(std::min<off_t>(st.st_size, off_t(kTailBytes)));
        std::string tail(nTail, '\0');
        ssize_t nRead = pread(fd.Get(), tail.data(), nTail, st.st_size - off_t(nTail));
        if (nRead < 0)
            return Reason("ao ler", errno);
        tail.resize(size_t(nRead));
        strBuffer = RowLeadAfter(tail);
    }
    strBuffer += strRow;

    // One write holds the whole row; only a full disk or a signal splits it, and then the rest follows at
    // once while the lock still keeps other appenders out. What a failed write left is cut off again, so
    // the next row does not begin on a torn line.
    std::string strError = WriteAllAndSync(fd.Get(), strBuffer);
    if (!strError.empty()) {
        if (ftruncate(fd.Get(), st.st_size) == 0)
            fsync(fd.Get());
        return "ao gravar: " + strError;
    }
    if (st.st_size == 0)
        SyncFolderOf(strPath);
    return "";
}

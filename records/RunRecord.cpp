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
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kByteOrderMark = "\xEF\xBB\xBF";
constexpr const char* kLineEnd = "\r\n";
// Enough to hold the last line of any row this program writes.
constexpr size_t kTailBytes = 4096;
constexpr int kLockWaitMs = 1000;

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

} // namespace

bool NeedsFormulaGuard(std::string_view field) {
    size_t first = field.find_first_not_of('\'');
    return first != std::string_view::npos &&
           std::string_view("=+-@").find(field[first]) != std::string_view::npos;
}

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

std::string ProcessOperatorName() {
    // The user id's name, not getlogin(): a program started from the desktop menu has no login terminal.
    struct passwd pw = {};
    struct passwd* pFound = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &pw, buffer, sizeof buffer, &pFound) == 0 && pFound && pFound->pw_name)
        return pFound->pw_name;
    return std::to_string(getuid());
}

std::string RunRecordHeader() {
    return CsvLine({"start", "end", "port", "mac_sent", "mac_read", "outcome", "last_stage", "message",
                    "duration_s", "log_file", "operator", "serial"});
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
                    std::to_string(row.nStage), row.strMessage, strDuration, row.strLogFile, row.strOperator,
                    row.strSerial});
}

std::string_view Trimmed(std::string_view text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
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
    // Two benches appending at once must agree on the header and on mending a torn line: a row written
    // without the lock could tear another's, so a lock not had in time is a failed write.
    if (!LockBounded(fd.Get(), kLockWaitMs))
        return errno == EWOULDBLOCK ? std::string("ocupado por outro processo") : Reason("ao travar", errno);

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

namespace {

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::optional<uint64_t> MacValue(std::string_view text) {
    uint64_t nValue = 0;
    int nDigits = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        // Separators stand between the bytes only: "02:3A:7C:00:10:00", "02-3a-7c-00-10-00", "023A7C001000".
        if ((text[i] == ':' || text[i] == '-') && nDigits % 2 == 0 && nDigits > 0 && nDigits < 12)
            continue;
        int nDigit = HexDigitValue(text[i]);
        if (nDigit < 0 || ++nDigits > 12)
            return std::nullopt;
        nValue = nValue << 4 | uint64_t(nDigit);
    }
    return nDigits == 12 ? std::optional<uint64_t>(nValue) : std::nullopt;
}

std::string MacText(uint64_t nMac) {
    char text[18];
    snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", unsigned(nMac >> 40 & 0xFF),
             unsigned(nMac >> 32 & 0xFF), unsigned(nMac >> 24 & 0xFF), unsigned(nMac >> 16 & 0xFF),
             unsigned(nMac >> 8 & 0xFF), unsigned(nMac & 0xFF));
    return text;
}

bool RowStoresMac(std::string_view outcome, int nStage) {
    // Past bootargs the board holds the address: saveenv or reset may still fail, the address is in it.
    return outcome == "ok" || nStage > RUN_STAGE_BOOTARGS;
}

#include "records/RunRecord.h"

#include "core/UniqueFd.h"

#include <algorithm>
#include <cerrno>
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

// The field on one line: each run of line breaks and other control characters, with the blanks around it,
// becomes one blank (none at the ends).
std::string OneLine(std::string_view text) {
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

std::string CsvField(std::string_view text) {
    std::string field = OneLine(text);
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

std::string JoinRow(const std::vector<std::string>& fields) {
    std::string row;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0)
            row += ',';
        row += CsvField(fields[i]);
    }
    return row + kLineEnd;
}

std::string Reason(const char* pszWhat, int nError) {
    return std::string(pszWhat) + ": " + strerror(nError);
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

// Makes a newly created file's name as durable as its content.
void SyncFolderOf(const std::string& strPath) {
    size_t slash = strPath.rfind('/');
    std::string strDir = slash == std::string::npos ? "." : strPath.substr(0, slash == 0 ? 1 : slash);
    CUniqueFd fdDir(open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fdDir.IsOpen())
        fsync(fdDir.Get());
}

} // namespace

std::string FormatIsoTime(std::chrono::system_clock::time_point t) {
    time_t tt = std::chrono::system_clock::to_time_t(t);
    struct tm local = {};
    localtime_r(&tt, &local);
    char buffer[40];
    size_t n = strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string text(buffer, n);
    // strftime gives the offset as +hhmm; the extended format wants +hh:mm.
    if (text.size() >= 5)
        text.insert(text.size() - 2, ":");
    return text;
}

std::string RunRecordHeader() {
    return JoinRow({"start", "end", "port", "mac_sent", "mac_read", "outcome", "last_stage", "message",
                    "duration_s", "log_file"});
}

std::string FormatRunRecordRow(const SRunRecordRow& row) {
    char duration[32];
    snprintf(duration, sizeof duration, "%.1f", row.dDurationS);
    return JoinRow({FormatIsoTime(row.tStart), FormatIsoTime(row.tEnd), row.strPort, row.strMacSent,
                    row.strMacRead, row.strOutcome, std::to_string(row.nStage), row.strMessage, duration,
                    row.strLogFile});
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

std::string AppendRunRecord(const std::string& strPath, const std::string& strRow) {
    CUniqueFd fd(open(strPath.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.IsOpen())
        return Reason("cannot open", errno);
    // Two benches appending at once must agree on the header and on mending a torn line.
    LockWithin(fd.Get(), kLockWaitMs);

    struct stat st = {};
    if (fstat(fd.Get(), &st) != 0)
        return Reason("cannot stat", errno);
    if (!S_ISREG(st.st_mode))
        return "not a plain file";
    std::string strBuffer;
    if (st.st_size == 0) {
        strBuffer = std::string(kByteOrderMark) + RunRecordHeader();
    } else {
        size_t nTail = size_t(std::min<off_t>(st.st_size, off_t(kTailBytes)));
        std::string tail(nTail, '\0');
        ssize_t nRead = pread(fd.Get(), tail.data(), nTail, st.st_size - off_t(nTail));
        if (nRead < 0)
            return Reason("cannot read", errno);
        tail.resize(size_t(nRead));
        strBuffer = RowLeadAfter(tail);
    }
    strBuffer += strRow;

    // One write holds the whole row; only a full disk or a signal splits it, and then the rest follows at
    // once while the lock still keeps other appenders out.
    size_t nDone = 0;
    while (nDone < strBuffer.size()) {
        ssize_t n = write(fd.Get(), strBuffer.data() + nDone, strBuffer.size() - nDone);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return Reason("cannot write", n < 0 ? errno : ENOSPC);
        nDone += size_t(n);
    }
    if (fsync(fd.Get()) != 0)
        return Reason("cannot flush", errno);
    if (st.st_size == 0)
        SyncFolderOf(strPath);
    return "";
}

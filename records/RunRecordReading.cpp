// The record read back: its lines, and each line into the row it was written from.
#include "records/RunRecord.h"

#include "provisioning/RunResult.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <unistd.h>

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

namespace {

// The stage field: a number alone, 0 to 17.
std::optional<int> StageOf(std::string_view stage) {
    int nStage = 0;
    auto [pEnd, ec] = std::from_chars(stage.data(), stage.data() + stage.size(), nStage);
    if (stage.empty() || ec != std::errc() || pEnd != stage.data() + stage.size() || nStage < 0 ||
        nStage > kRunStageCount)
        return std::nullopt;
    return nStage;
}

} // namespace

std::optional<SStoredMacField> StoredMacOfLine(std::string_view line, std::vector<std::string_view>& fields,
                                               bool bSerial) {
    SplitRecordLine(line, fields, bSerial ? kRunRecordFieldCount : 7);
    if (fields.size() < 7 || fields[3].empty())
        return std::nullopt;
    if (!RowStoresMac(fields[5], StageOf(fields[6]).value_or(RUN_STAGE_CLOSE)))
        return std::nullopt;
    std::optional<uint64_t> nMac = MacValue(fields[3]);
    if (!nMac)
        return std::nullopt;
    std::string_view serial = fields.size() == kRunRecordFieldCount ? fields.back() : std::string_view();
    return SStoredMacField{*nMac, fields[0], fields[2], serial};
}

std::optional<SRunRecordRow> ParseRunRecordRow(std::string_view line) {
    std::vector<std::string_view> fields;
    if (!SplitRecordLine(line, fields) ||
        (fields.size() != kRunRecordFirstFieldCount && fields.size() != kRunRecordFieldCount))
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
    std::optional<int> nStage = StageOf(fields[6]);
    if (!nStage)
        return std::nullopt;
    row.nStage = *nStage;
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
    if (fields.size() == kRunRecordFieldCount) {
        row.strOperator = RecordFieldText(fields[10]);
        row.strSerial = RecordFieldText(fields[11]);
    }
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

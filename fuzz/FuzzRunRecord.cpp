// Any field texts through the run record's CSV row, any file tail through the mending of a torn line, and
// any journal text through the reading of a run's journal.
//
// Input: the fields of a row separated by 0xFF bytes; the whole input is also taken as the last bytes of
// an existing record, and as a journal.
//
// Holds for every input: a row is one line ending in CR LF, valid UTF-8, that reads back, by the usual CSV
// rules, as ten fields, none of which a spreadsheet takes for a formula (none begins with =, +, -, @, tab
// or CR), each the text given with only its control characters and the blanks around them changed (bytes
// that are not UTF-8 replaced, a leading apostrophe added, a MAC address in its one form), and that the
// record's own reader gives back as that text, the apostrophe off, whenever its outcome is a row's; after a
// tail and its lead the file ends with a complete line whose quotes are balanced; a journal's last entry is
// the one appended last, whatever came before it, and an entry read from any text holds a row of one line;
// the MAC ledger's reading of a record finds an ok row's address (whatever MacValue reads as one) and never
// more than one address per line.
#include "fuzz/FuzzCheck.h"
#include "ledger/RecordMacLedger.h"
#include "records/RunJournal.h"
#include "records/RunRecord.h"

#include <QString>

#include <algorithm>
#include <string>
#include <vector>

namespace {

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

// The text without control characters and blanks: what a row must keep of a field.
std::string Kept(std::string_view text) {
    std::string out;
    for (char c : text)
        if (!IsControl(static_cast<unsigned char>(c)) && c != ' ')
            out += c;
    return out;
}

bool IsValidUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size())).toUtf8() ==
           QByteArray(text.data(), qsizetype(text.size()));
}

// The hex digits of a text in lower case: what a MAC column must keep of the address given.
std::string HexDigits(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (isxdigit(static_cast<unsigned char>(c)))
            out += char(tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

bool IsCanonicalMac(std::string_view text) {
    if (text.size() != 17)
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (i % 3 == 2 ? c != ':' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

// One CSV line without its line end into fields; false when its quoting is broken.
bool ReadCsvLine(std::string_view line, std::vector<std::string>& fields) {
    fields.assign(1, std::string());
    bool bQuoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (bQuoted) {
            if (c != '"')
                fields.back() += c;
            else if (i + 1 < line.size() && line[i + 1] == '"')
                fields.back() += line[++i];
            else
                bQuoted = false;
        } else if (c == ',') {
            fields.emplace_back();
        } else if (c == '"' && fields.back().empty()) {
            bQuoted = true;
        } else {
            fields.back() += c;
        }
    }
    return !bQuoted;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> parts(1);
    for (char c : input) {
        if (static_cast<unsigned char>(c) == 0xFF)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    parts.resize(6);

    SRunRecordRow row;
    row.strPort = parts[0];
    row.strMacSent = parts[1];
    row.strMacRead = parts[2];
    row.strOutcome = parts[3];
    row.strMessage = parts[4];
    row.strLogFile = parts[5];
    std::string text = FormatRunRecordRow(row);
    FUZZ_CHECK(text.ends_with("\r\n"));
    std::string_view line(text.data(), text.size() - 2);
    for (char c : line)
        FUZZ_CHECK(!IsControl(static_cast<unsigned char>(c)));
    FUZZ_CHECK(IsValidUtf8(text));
    std::vector<std::string> fields;
    FUZZ_CHECK(ReadCsvLine(line, fields));
    FUZZ_CHECK(fields.size() == kRunRecordFieldCount);
    for (const std::string& field : fields)
        FUZZ_CHECK(field.empty() || std::string_view("=+-@\t\r").find(field[0]) == std::string_view::npos);
    // The row reads back whenever its outcome is one a row can have; with such an outcome, each text field
    // as the text given on one line and in valid UTF-8, the spreadsheet's apostrophe off.
    bool bOutcome =
        fields[5] == "ok" || fields[5] == "failed" || fields[5] == "stopped" || fields[5] == "interrupted";
    std::optional<SRunRecordRow> read = ParseRunRecordRow(line);
    FUZZ_CHECK(read.has_value() == bOutcome);
    FUZZ_CHECK(!read || read->strOutcome == fields[5]);
    SRunRecordRow okRow = row;
    okRow.strOutcome = "ok";
    std::string okText = FormatRunRecordRow(okRow);
    read = ParseRunRecordRow(std::string_view(okText).substr(0, okText.size() - 2));
    FUZZ_CHECK(read && read->tStart == row.tStart);
    const size_t kTextFields[6] = {2, 3, 4, 5, 7, 9};
    const std::string* readFields[6] = {&read->strPort, &read->strMacSent, &read->strMacRead,
                                        nullptr,        &read->strMessage, &read->strLogFile};
    for (size_t i = 0; i < 6; ++i) {
        if (!readFields[i])
            continue;
        const std::string& field = *readFields[i];
        FUZZ_CHECK(fields[kTextFields[i]] == field || fields[kTextFields[i]] == "'" + field);
        bool bMac = i == 1 || i == 2;
        if (bMac && IsCanonicalMac(field)) {
            FUZZ_CHECK(HexDigits(field) == HexDigits(parts[i]));
            continue;
        }
        FUZZ_CHECK(field == OneLineText(ValidUtf8(parts[i])));
        if (IsValidUtf8(parts[i]))
            FUZZ_CHECK(Kept(field) == Kept(parts[i]));
    }

    // The row in a record as the MAC ledger reads it: an ok row whose address reads as one (its one form, or
    // any other text MacValue takes, "02ac-37--aa-bb-cc" among them: counting it stored errs on the safe
    // side) stores that address; any input as a whole record gives at most one address per line.
    int nStored = 0;
    ForEachStoredMac(RunRecordHeader() + text, [&](uint64_t nMac, std::string_view, std::string_view) {
        ++nStored;
        FUZZ_CHECK(MacValue(fields[3]) == nMac);
    });
    FUZZ_CHECK(nStored == (fields[5] == "ok" && MacValue(fields[3]) ? 1 : 0));
    size_t nLines = size_t(std::count(input.begin(), input.end(), '\n')) + 1;
    size_t nFromInput = 0;
    ForEachStoredMac(input, [&](uint64_t, std::string_view, std::string_view) { ++nFromInput; });
    FUZZ_CHECK(nFromInput < nLines);

    // The row as a journal's last entry, after anything a journal might hold.
    SRunJournalEntry entry;
    entry.nRecordSize = int64_t(size);
    entry.strLogFile = parts[5];
    entry.strClosingLine = parts[4];
    entry.strRow = text;
    std::optional<SRunJournalEntry> last = LastRunJournalEntry(input + "\n" + FormatRunJournalEntry(entry));
    FUZZ_CHECK(last && last->strRow == text && last->nRecordSize == int64_t(size) && !last->bFinal);
    if (std::optional<SRunJournalEntry> any = LastRunJournalEntry(input)) {
        FUZZ_CHECK(any->strRow.ends_with("\r\n"));
        FUZZ_CHECK(any->strRow.find_first_of("\r\n") == any->strRow.size() - 2);
    }

    // The input as the end of a record torn by a lost write, then this row appended after its lead.
    std::string mended = input + RowLeadAfter(input);
    if (mended.empty())
        return 0;
    FUZZ_CHECK(mended.ends_with("\n"));
    if (mended.size() > input.size() && !input.ends_with("\r")) {
        size_t start = mended.rfind('\n', mended.size() - 2);
        std::string_view last = std::string_view(mended).substr(start == std::string::npos ? 0 : start + 1);
        FUZZ_CHECK(std::count(last.begin(), last.end(), '"') % 2 == 0);
    }
    return 0;
}

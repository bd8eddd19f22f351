// Any file content as the settings file, the MAC prefix file, the MAC range file and the network card file,
// and through the token reader the first two use.
//
// Holds for every input: the token reader gives the file's white-space separated words in order, each one
// over the limit reported as such and never held; the remembered port is the first word (cut at a NUL) or
// nothing; the prefix list is never empty, holds only valid prefixes with the first built-in one selected,
// and the file is rewritten only when it held no valid prefix; a range read lies inside one offered prefix,
// first before last, and a range refused has a message naming the file; the card of a port is empty or one
// word of the file, without white space or "#".
#include "core/Settings.h"
#include "core/TokenReader.h"
#include "fuzz/FuzzCheck.h"
#include "ledger/RecordMacLedger.h"
#include "mac/MacPrefixFile.h"
#include "mac/NetCardFile.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

bool IsSeparator(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (char c : text + ' ') {
        if (!IsSeparator(c)) {
            word += c;
        } else if (!word.empty()) {
            words.push_back(word);
            word.clear();
        }
    }
    return words;
}

void WriteFile(const char* name, const std::string& bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    FUZZ_CHECK(out.good());
}

std::string ReadFile(const char* name) {
    std::ifstream in(name, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void CheckTokenReader(const std::string& text, const std::vector<std::string>& words) {
    std::FILE* pFile = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    if (text.empty() || !pFile) { // fmemopen refuses a buffer of size 0 on some C libraries
        if (pFile)
            std::fclose(pFile);
        return;
    }
    CTokenReader reader(pFile);
    std::string token;
    for (const std::string& word : words) {
        CTokenReader::Result result = reader.Next(token);
        if (word.size() > CTokenReader::kMaxTokenLength) {
            FUZZ_CHECK(result == CTokenReader::TooLong && token.empty());
        } else {
            FUZZ_CHECK(result == CTokenReader::Token && token == word);
        }
    }
    FUZZ_CHECK(reader.Next(token) == CTokenReader::End && token.empty());
    std::fclose(pFile);
}

void CheckSettings(const std::string& text, const std::vector<std::string>& words) {
    WriteFile(kSettingsFileName, text);
    std::string expected;
    if (!words.empty() && words[0].size() <= kMaxRememberedPortLength)
        expected = words[0].substr(0, words[0].find('\0'));
    FUZZ_CHECK(ReadRememberedPort() == expected);
}

void CheckPrefixFile(const std::string& text, const std::vector<std::string>& words) {
    WriteFile(kMacPrefixFileName, text);
    CMacPrefixList list = LoadMacPrefixList();
    std::vector<std::string> valid;
    for (const std::string& word : words)
        if (IsValidMacPrefix(word))
            valid.push_back(word);
    FUZZ_CHECK(!list.m_entries.empty());
    FUZZ_CHECK(list.m_nSelected >= 0 && size_t(list.m_nSelected) < list.m_entries.size());
    FUZZ_CHECK(list.m_entries[size_t(list.m_nSelected)] == kBuiltInMacPrefixes[0]);
    for (const std::string& entry : list.m_entries)
        FUZZ_CHECK(IsValidMacPrefix(entry));
    FUZZ_CHECK(list.m_bFromFile == !valid.empty());
    if (valid.empty()) {
        FUZZ_CHECK(ReadFile(kMacPrefixFileName) == kBuiltInMacPrefixFileText);
        return;
    }
    FUZZ_CHECK(ReadFile(kMacPrefixFileName) == text);
    FUZZ_CHECK(std::equal(valid.begin(), valid.end(), list.m_entries.begin()));
    FUZZ_CHECK(list.m_entries.size() == valid.size() || list.m_entries.size() == valid.size() + 1);
}

// The range file: a range inside one offered prefix, first before last, or a message that names the file.
void CheckRangeFile(const std::string& text) {
    std::string strError;
    std::vector<std::string> offered(kBuiltInMacPrefixes.begin(), kBuiltInMacPrefixes.end());
    std::optional<SMacRange> range = ParseMacRange(text, offered, strError);
    if (!range) {
        FUZZ_CHECK(strError.rfind(kMacRangeFileName, 0) == 0);
        return;
    }
    FUZZ_CHECK(strError.empty() && range->nFirst <= range->nLast &&
               range->nFirst >> 24 == range->nLast >> 24);
    FUZZ_CHECK(std::any_of(offered.begin(), offered.end(), [&](const std::string& strPrefix) {
        return MacValue(strPrefix + ":00:00:00") == (range->nFirst >> 24 << 24);
    }));
}

void CheckNetCardFile(const std::string& text) {
    WriteFile(kNetCardFileName, text);
    for (const char* szPort : {"ttyUSB0", "/dev/ttyS1"}) {
        std::string strCard = ReadNetCard(szPort);
        if (text.size() <= 65536) // the file is read that far
            FUZZ_CHECK(strCard == NetCardFromText(text, szPort));
        if (strCard.empty())
            continue;
        FUZZ_CHECK(Words(strCard).size() == 1 && Words(strCard)[0] == strCard);
        FUZZ_CHECK(strCard.find('#') == std::string::npos && strCard.find('\n') == std::string::npos);
    }
}

} // namespace

// The files are looked for in the working directory: each run gets a fresh one of its own.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/qan640-fuzz-files.XXXXXX";
    FUZZ_CHECK(mkdtemp(dir) != nullptr && chdir(dir) == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> words = Words(text);
    CheckTokenReader(text, words);
    CheckSettings(text, words);
    CheckPrefixFile(text, words);
    CheckRangeFile(text);
    CheckNetCardFile(text);
    return 0;
}

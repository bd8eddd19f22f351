#include "mac/MacPrefixFile.h"

namespace {
bool IsPrefixDigit(char ch) {
    return (ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F');
}

bool IsTokenSeparator(int ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\v' || ch == '\f';
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char ca = a[i], cb = b[i];
        if (ca >= 'a' && ca <= 'z')
            ca = char(ca - 'a' + 'A');
        if (cb >= 'a' && cb <= 'z')
            cb = char(cb - 'a' + 'A');
        if (ca != cb)
            return false;
    }
    return true;
}

constexpr size_t kReadChunk = 64 * 1024;
} // namespace

bool IsValidMacPrefix(std::string_view token) {
    if (token.size() != 8)
        return false;
    for (size_t i = 0; i < token.size(); ++i) {
        bool bOk = (i == 2 || i == 5) ? token[i] == ':' : IsPrefixDigit(token[i]);
        if (!bOk)
            return false;
    }
    return true;
}

CTokenReader::CTokenReader(std::FILE* pFile) : m_pFile(pFile), m_buffer(kReadChunk) {}

int CTokenReader::GetByte() {
    if (m_nPos == m_nFilled) {
        if (m_bExhausted || !m_pFile)
            return -1;
        m_nFilled = std::fread(m_buffer.data(), 1, m_buffer.size(), m_pFile);
        m_nPos = 0;
        if (m_nFilled == 0) {
            m_bExhausted = true;
            return -1;
        }
    }
    return m_buffer[m_nPos++];
}

CTokenReader::Result CTokenReader::Next(std::string& token) {
    token.clear();
    int ch = GetByte();
    while (ch >= 0 && IsTokenSeparator(ch))
        ch = GetByte();
    if (ch < 0)
        return End;

    bool bTooLong = false;
    while (ch >= 0 && !IsTokenSeparator(ch)) {
        if (token.size() < kMaxTokenLength)
            token.push_back(char(ch));
        else
            bTooLong = true;
        ch = GetByte();
    }
    if (ch < 0 && m_pFile && std::ferror(m_pFile)) {
        // Whatever was read of a token before the stream failed is not the token the file holds.
        token.clear();
        return End;
    }
    if (bTooLong) {
        token.clear();
        return TooLong;
    }
    return Token;
}

CMacPrefixList LoadMacPrefixList(const char* fileName) {
    CMacPrefixList list;
    if (std::FILE* pFile = std::fopen(fileName, "r")) {
        CTokenReader reader(pFile);
        std::string token;
        for (CTokenReader::Result result; (result = reader.Next(token)) != CTokenReader::End;) {
            if (result == CTokenReader::Token && IsValidMacPrefix(token))
                list.m_entries.push_back(token);
        }
        std::fclose(pFile);
    }

    const std::string_view first = kBuiltInMacPrefixes[0];
    if (!list.m_entries.empty()) {
        list.m_bFromFile = true;
        for (size_t i = 0; i < list.m_entries.size(); ++i) {
            if (EqualsIgnoringCase(list.m_entries[i], first)) {
                list.m_nSelected = int(i);
                return list;
            }
        }
        list.m_entries.emplace_back(first);
        list.m_nSelected = int(list.m_entries.size() - 1);
        return list;
    }

    for (std::string_view prefix : kBuiltInMacPrefixes)
        list.m_entries.emplace_back(prefix);
    list.m_nSelected = 0;
    WriteBuiltInMacPrefixFile(fileName);
    return list;
}

bool WriteBuiltInMacPrefixFile(const char* fileName) {
    std::FILE* pFile = std::fopen(fileName, "w");
    if (!pFile)
        return false;
    bool bWritten = std::fwrite(kBuiltInMacPrefixFileText.data(), 1, kBuiltInMacPrefixFileText.size(),
                                pFile) == kBuiltInMacPrefixFileText.size();
    bool bClosed = std::fclose(pFile) == 0;
    return bWritten && bClosed;
}

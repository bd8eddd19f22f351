#include "core/TokenReader.h"

namespace {

bool IsTokenSeparator(int ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\v' || ch == '\f';
}

constexpr size_t kReadChunk = 64 * 1024;

} // namespace

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

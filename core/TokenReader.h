#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

// Reads white-space separated tokens (blank, tab, line feed, carriage return, vertical tab, form feed) from
// a stream, through a fixed buffer. A token longer than kMaxTokenLength is read past without being kept, so
// no token of any length and no file of any size makes the reader hold more than that. Any other byte,
// NUL and bytes above 0x7F included, is part of a token.
class CTokenReader {
public:
    static constexpr size_t kMaxTokenLength = 199;

    enum Result {
        Token,   // token holds the next token
        TooLong, // the next token had more than kMaxTokenLength bytes; it was skipped, token is empty
        End,     // no further token: end of file, or a read error (a token cut short by it is dropped)
    };

    explicit CTokenReader(std::FILE* pFile);
    Result Next(std::string& token);

private:
    int GetByte();

    std::FILE* m_pFile;
    std::vector<unsigned char> m_buffer;
    size_t m_nPos = 0;
    size_t m_nFilled = 0;
    bool m_bExhausted = false;
};

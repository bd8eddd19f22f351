#include "tools/sim/Transcript.h"

CTranscript::~CTranscript() {
    if (m_pFile)
        fclose(m_pFile);
}

bool CTranscript::Open(const std::string& strPath) {
    m_pFile = fopen(strPath.c_str(), "we");
    return m_pFile != nullptr;
}

double CTranscript::Seconds(SimClock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

std::string CTranscript::Escape(std::string_view bytes) {
    static const char* kHex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"') {
            out += char(c);
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

void CTranscript::Write(SimClock::time_point t, std::string_view kind, std::string_view text) {
    if (!m_pFile)
        return;
    fprintf(m_pFile, "%.6f %.*s %.*s\n", Seconds(t), int(kind.size()), kind.data(), int(text.size()),
            text.data());
    fflush(m_pFile);
}

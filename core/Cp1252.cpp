#include "core/Cp1252.h"

#include <algorithm>

namespace {
const char16_t kHighControls[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178,
};
}

QString DecodeCp1252(std::string_view bytes) {
    QString text;
    text.resize(qsizetype(bytes.size()));
    QChar* out = text.data();
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        *out++ = (b >= 0x80 && b < 0xA0) ? QChar(kHighControls[b - 0x80]) : QChar(b);
    }
    return text;
}

std::string EncodeCp1252(std::string_view utf8) {
    QString text = QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
    std::string out;
    out.reserve(size_t(text.size()));
    for (QChar ch : text) {
        char16_t u = ch.unicode();
        if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
            out += char(u);
            continue;
        }
        const char16_t* pEnd = kHighControls + 32;
        const char16_t* pFound = u == 0xFFFD ? pEnd : std::find(kHighControls, pEnd, u);
        out += pFound == pEnd ? '?' : char(0x80 + (pFound - kHighControls));
    }
    return out;
}

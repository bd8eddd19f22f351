// Any bytes through the log console's byte rules, with a log box that records what it is given and a clock
// the input moves, and the log through the Windows-1252 display.
//
// Holds for every input: the log is exactly the bytes appended (LF stored as CR LF, NUL skipped), the box
// shows exactly the log after a forced refresh, and the display text is valid UTF-16 with one character
// per byte: ASCII and 0xA0-0xFF as themselves, 0x80-0x9F as the code page's characters.
#include "core/Cp1252.h"
#include "core/LogConsole.h"
#include "fuzz/FuzzCheck.h"

#include <string>

namespace {

class CFakeTicks : public ITickSource {
public:
    uint32_t GetTickCount() override { return m_dwNow; }
    uint32_t m_dwNow = 0;
};

// Holds the text it is given; no lines, no caret worth speaking of.
class CRecordingBox : public ILogBox {
public:
    int GetLineCount() override { return 1; }
    int LineIndex(int) override { return 0; }
    int GetFirstVisibleLine() override { return 0; }
    void SetText(const std::string& text) override { m_strText = text; }
    void AppendText(const std::string& text) override { m_strText += text; }
    void SetSel(int, int) override {}
    void ScrollCaret() override {}
    void SetFirstVisibleLine(int) override {}
    std::string m_strText;
};

void Expect(std::string& expected, unsigned char c) {
    if (c == '\n')
        expected += "\r\n";
    else if (c != 0)
        expected += char(c);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CFakeTicks ticks;
    CRecordingBox box;
    CLogConsole log(&box, &ticks);
    std::string expected;

    // Input in records: an operation byte, then its argument. 0: a character (with high bits the console
    // must ignore), 1: a text up to the next NUL, 2: clock jump, 3: clear.
    for (size_t i = 0; i < size;) {
        uint8_t op = data[i++] % 4;
        if (op == 0 && i < size) {
            uint8_t c = data[i++];
            log.AppendLogChar(int(c) | (c & 1 ? 0x1200 : 0), c == 'F');
            Expect(expected, c);
        } else if (op == 1) {
            std::string text;
            while (i < size && data[i] != 0)
                text += char(data[i++]);
            ++i; // the NUL
            log.AppendLogText(text.c_str(), false);
            for (unsigned char c : text)
                Expect(expected, c);
        } else if (op == 2 && i < size) {
            ticks.m_dwNow += uint32_t(data[i++]) * 16;
            log.AppendLogChar(0, false);
        } else if (op == 3) {
            log.ClearLog();
            expected.clear();
        }
        FUZZ_CHECK(log.m_strLog == expected);
    }
    log.AppendLogChar(0, true);
    FUZZ_CHECK(box.m_strText == log.m_strLog);

    QString shown = DecodeCp1252(log.m_strLog);
    FUZZ_CHECK(size_t(shown.size()) == log.m_strLog.size());
    FUZZ_CHECK(shown.isValidUtf16());
    for (size_t i = 0; i < log.m_strLog.size(); ++i) {
        auto b = static_cast<unsigned char>(log.m_strLog[i]);
        char16_t u = shown[qsizetype(i)].unicode();
        if (b < 0x80 || b >= 0xA0)
            FUZZ_CHECK(u == b);
        else
            FUZZ_CHECK(u >= 0x100 && !QChar::isSurrogate(u));
    }
    return 0;
}

#pragma once

#include "links/SerialLink.h"

#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// A serial link that plays a script of read results at once: bytes, and failed reads that cost no time.
// When the script runs out every read fails. Writes are recorded with the number of reads done before each.
class CScriptedLink : public ISerialLink {
public:
    struct SWrite {
        int nReadsBefore;
        std::string strText;
    };

    void Bytes(std::string_view text) {
        for (unsigned char c : text)
            m_script.push_back(c);
    }
    void Fails(int count, int code = -2) {
        for (int i = 0; i < count; ++i)
            m_script.push_back(code);
    }

    int ReadByte() override {
        ++m_nReads;
        if (m_onRead)
            m_onRead(m_nReads);
        int result = -2;
        if (!m_script.empty()) {
            result = m_script.front();
            m_script.pop_front();
        }
        if (result < 0)
            ++m_nFailedReads;
        return result;
    }

    int Write(const void* data, uint16_t length) override {
        std::string text(static_cast<const char*>(data), length);
        m_writes.push_back({m_nReads, text});
        m_strWritten += text;
        if (m_onWrite)
            m_onWrite(text);
        return 1;
    }

    size_t Unread() const { return m_script.size(); }

    std::deque<int> m_script;
    std::vector<SWrite> m_writes;
    std::string m_strWritten;
    int m_nReads = 0;
    int m_nFailedReads = 0;
    std::function<void(int nRead)> m_onRead;
    std::function<void(const std::string&)> m_onWrite;
};

#pragma once

#include "links/SerialLink.h"

#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// A serial link that plays a script of read results at once: bytes, and failed reads that cost no time.
// When the script runs out every read fails. Writes are recorded with the number of reads done before each.
//
// Bytes() is what the board says from the moment an exchange starts to read for its answer; Waiting() is
// what already sits in the input before that (answers to something written earlier). A short read
// (ReadByteWithin, the wait for a quiet line) gets only waiting bytes: anywhere else the line is quiet for
// it, and the script is left as it is, unless the port fails (-1, -3): that any read meets.
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
    void Waiting(std::string_view text) {
        for (unsigned char c : text)
            m_script.push_back(kWaitingFlag | c);
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
        if (result < 0) {
            ++m_nFailedReads;
            return result;
        }
        return result & 0xFF;
    }

    int ReadByteWithin(uint32_t) override {
        ++m_nShortReads;
        if (m_onShortRead)
            m_onShortRead(m_nShortReads);
        // A port that is not ready or failed says so to any read.
        if (!m_script.empty() && m_script.front() < 0 && m_script.front() != -2) {
            int code = m_script.front();
            m_script.pop_front();
            return code;
        }
        if (m_script.empty() || m_script.front() < kWaitingFlag)
            return -2;
        int result = m_script.front() & 0xFF;
        m_script.pop_front();
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

    static constexpr int kWaitingFlag = 0x100;

    std::deque<int> m_script;
    std::vector<SWrite> m_writes;
    std::string m_strWritten;
    int m_nReads = 0;
    int m_nFailedReads = 0;
    int m_nShortReads = 0;
    std::function<void(int nRead)> m_onRead;
    std::function<void(int nShortRead)> m_onShortRead;
    std::function<void(const std::string&)> m_onWrite;
};

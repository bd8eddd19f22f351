#pragma once

#include <cerrno>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

// A file's text, read whole for one reading; empty when the file is empty or cannot be read. Read, not
// mapped: the record is cut back when an append fails on a full disk (and a person may shorten it in an
// editor), and a mapping whose file shrinks kills its reader with SIGBUS. A read only sees fewer bytes.
class CMappedFile {
public:
    explicit CMappedFile(int fd) {
        struct stat st = {};
        if (fd < 0 || fstat(fd, &st) != 0 || st.st_size <= 0)
            return;
        size_t nWanted = size_t(st.st_size);
        m_pText.reset(new (std::nothrow) char[nWanted]);
        if (!m_pText)
            return;
        while (m_nSize < nWanted) {
            ssize_t nRead = pread(fd, m_pText.get() + m_nSize, nWanted - m_nSize, off_t(m_nSize));
            if (nRead < 0 && errno == EINTR)
                continue;
            if (nRead <= 0)
                break;
            m_nSize += size_t(nRead);
        }
    }
    CMappedFile(const CMappedFile&) = delete;
    CMappedFile& operator=(const CMappedFile&) = delete;
    std::string_view Text() const { return m_pText ? std::string_view(m_pText.get(), m_nSize) : ""; }

private:
    std::unique_ptr<char[]> m_pText;
    size_t m_nSize = 0;
};

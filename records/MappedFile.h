#pragma once

#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>

// A file's text, mapped for one reading; empty when the file is empty or cannot be mapped.
class CMappedFile {
public:
    explicit CMappedFile(int fd) {
        struct stat st = {};
        if (fd < 0 || fstat(fd, &st) != 0 || st.st_size <= 0)
            return;
        void* p = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (p == MAP_FAILED)
            return;
        m_p = p;
        m_nSize = size_t(st.st_size);
    }
    ~CMappedFile() {
        if (m_p)
            munmap(m_p, m_nSize);
    }
    CMappedFile(const CMappedFile&) = delete;
    CMappedFile& operator=(const CMappedFile&) = delete;
    std::string_view Text() const {
        return m_p ? std::string_view(static_cast<const char*>(m_p), m_nSize) : "";
    }

private:
    void* m_p = nullptr;
    size_t m_nSize = 0;
};

#include "mac/MacPrefixFile.h"

#include "core/PlainFile.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool IsPrefixDigit(char ch) {
    return (ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F');
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

CMacPrefixList LoadMacPrefixList(const char* fileName) {
    CMacPrefixList list;
    // Only a missing file, or one read to its end without a valid prefix, is (re)written: anything else
    // in its place (a folder, a pipe, a file that could not be read) is left as it is.
    bool bMayWrite = false;
    int fd = OpenPlainFile(fileName, O_RDONLY);
    if (fd < 0) {
        bMayWrite = errno == ENOENT;
    } else if (std::FILE* pFile = fdopen(fd, "r")) {
        CTokenReader reader(pFile);
        std::string token;
        for (CTokenReader::Result result; (result = reader.Next(token)) != CTokenReader::End;) {
            if (result == CTokenReader::Token && IsValidMacPrefix(token))
                list.m_entries.push_back(token);
        }
        bMayWrite = !std::ferror(pFile);
        std::fclose(pFile);
    } else {
        close(fd);
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
    if (bMayWrite)
        WriteBuiltInMacPrefixFile(fileName);
    return list;
}

bool WriteBuiltInMacPrefixFile(const char* fileName) {
    // Truncated only once it is known to be a plain file.
    int fd = OpenPlainFile(fileName, O_WRONLY | O_CREAT);
    if (fd < 0)
        return false;
    std::FILE* pFile = ftruncate(fd, 0) == 0 ? fdopen(fd, "w") : nullptr;
    if (!pFile) {
        close(fd);
        return false;
    }
    bool bWritten = std::fwrite(kBuiltInMacPrefixFileText.data(), 1, kBuiltInMacPrefixFileText.size(),
                                pFile) == kBuiltInMacPrefixFileText.size();
    bool bClosed = std::fclose(pFile) == 0;
    return bWritten && bClosed;
}

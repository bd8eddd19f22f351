#include "core/Settings.h"

#include "core/PlainFile.h"
#include "core/TokenReader.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

static_assert(kMaxRememberedPortLength == CTokenReader::kMaxTokenLength);

std::string ReadRememberedPort() {
    int fd = OpenPlainFile(kSettingsFileName, O_RDONLY);
    if (fd < 0)
        return {};
    std::FILE* pFile = fdopen(fd, "r");
    if (!pFile) {
        close(fd);
        return {};
    }
    // White space as the C locale has it, whatever locale the application set: bytes from 0x80 up are text
    // (Windows-1252 letters, or the no-break space 0xA0, which may stand in a name typed by hand).
    CTokenReader reader(pFile);
    std::string word;
    CTokenReader::Result result = reader.Next(word);
    std::fclose(pFile);
    // A first word longer than the limit is ignored rather than cut: its first 199 bytes would name some
    // other port, and the port list then falls back to its first entry as for a missing file.
    if (result != CTokenReader::Token)
        return {};
    // The name ends at a NUL byte, as a C string would.
    size_t nul = word.find('\0');
    if (nul != std::string::npos)
        word.resize(nul);
    return word;
}

void SaveRememberedPort(const std::string& port) {
    // Not O_TRUNC at open: a name that turns out not to be a plain file is left as it is.
    int fd = OpenPlainFile(kSettingsFileName, O_WRONLY | O_CREAT);
    if (fd < 0)
        return;
    if (ftruncate(fd, 0) == 0) {
        size_t done = 0;
        while (done < port.size()) {
            ssize_t n = write(fd, port.data() + done, port.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += size_t(n);
        }
    }
    close(fd);
}

#include "core/PlainFile.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int OpenPlainFile(const char* fileName, int flags) {
    int fd = open(fileName, flags | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

std::optional<std::string> ReadSmallPlainFile(const char* fileName, size_t nMaxBytes) {
    int fd = OpenPlainFile(fileName, O_RDONLY);
    if (fd < 0)
        return std::nullopt;
    std::string text;
    char buffer[4096];
    ssize_t n = 0;
    while (text.size() < nMaxBytes && (n = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, size_t(n));
    close(fd);
    if (n < 0)
        return std::nullopt;
    text.resize(std::min(text.size(), nMaxBytes));
    return text;
}

void ForEachSettingLine(std::string_view text, const std::function<bool(int, std::string_view)>& fn) {
    if (text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3);
    for (int nLine = 1; !text.empty(); ++nLine) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string_view::npos || line[first] == '#')
            continue;
        if (!fn(nLine, line.substr(first, line.find_last_not_of(" \t\r") - first + 1)))
            return;
    }
}

#include "links/PortName.h"

#include <algorithm>

namespace {

constexpr std::string_view kDevicePrefix = "/dev/";

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

} // namespace

std::string PortDevicePath(std::string_view strName) {
    // The loader takes the path as an argument of its own: one that began with "-" would be read as an
    // option. "./" in front names the same file.
    if (strName.starts_with('-') && strName.find('/') != std::string_view::npos)
        return "./" + std::string(strName);
    if (strName.empty() || strName.find('/') != std::string_view::npos)
        return std::string(strName);
    return std::string(kDevicePrefix) + std::string(strName);
}

bool IsSamePort(std::string_view a, std::string_view b) {
    if (a.empty() || b.empty())
        return false; // no name is no port
    std::string strA = PortDevicePath(a), strB = PortDevicePath(b);
    return std::equal(strA.begin(), strA.end(), strB.begin(), strB.end(),
                      [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

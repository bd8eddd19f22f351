#include "links/PortEnumeration.h"

#include "links/PortName.h"

#include <cstddef>
#include <filesystem>

namespace {

bool IsDigit(char ch) {
    return ch >= '0' && ch <= '9';
}

// -1, 0 or 1 as `left` sorts before, with or after `right`, taking runs of digits by value.
int CompareNatural(const std::string& left, const std::string& right) {
    size_t i = 0;
    size_t j = 0;
    while (i < left.size() && j < right.size()) {
        if (IsDigit(left[i]) && IsDigit(right[j])) {
            // Compare two runs of digits by value without converting them, so that no length overflows.
            while (i < left.size() && left[i] == '0')
                ++i;
            while (j < right.size() && right[j] == '0')
                ++j;
            size_t iEnd = i;
            size_t jEnd = j;
            while (iEnd < left.size() && IsDigit(left[iEnd]))
                ++iEnd;
            while (jEnd < right.size() && IsDigit(right[jEnd]))
                ++jEnd;
            if (iEnd - i != jEnd - j)
                return iEnd - i < jEnd - j ? -1 : 1;
            for (; i < iEnd; ++i, ++j) {
                if (left[i] != right[j])
                    return left[i] < right[j] ? -1 : 1;
            }
            continue;
        }
        if (left[i] != right[j])
            return static_cast<unsigned char>(left[i]) < static_cast<unsigned char>(right[j]) ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < left.size())
        return 1;
    if (j < right.size())
        return -1;
    return 0;
}

} // namespace

bool PortNameLess(const std::string& left, const std::string& right) {
    int order = CompareNatural(left, right);
    if (order != 0)
        return order < 0;
    // Equal by value (ttyS2 and ttyS02): the bytes decide.
    return left < right;
}

int FindPort(const std::vector<std::string>& names, const std::string& portName) {
    for (size_t i = 0; i < names.size(); ++i) {
        if (IsSamePort(names[i], portName))
            return int(i);
    }
    // Resolving a path reads links and folders only; the device is not opened. An empty name resolves to
    // nothing.
    std::error_code ec;
    std::filesystem::path target = std::filesystem::canonical(PortDevicePath(portName), ec);
    if (ec)
        return -1;
    for (size_t i = 0; i < names.size(); ++i) {
        std::filesystem::path listed = std::filesystem::canonical(PortDevicePath(names[i]), ec);
        if (!ec && listed == target)
            return int(i);
    }
    return -1;
}

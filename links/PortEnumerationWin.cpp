// Serial port enumeration on Windows: COM1 to COM255, probed by their default configuration. The device
// itself is not opened.
#include "links/PortEnumeration.h"

#include <cstdio>
#include <windows.h>

namespace {

constexpr int kLastComPort = 255;
constexpr DWORD kCommConfigSize = 52;

static_assert(sizeof(COMMCONFIG) >= kCommConfigSize, "the probe record must hold what the probe may write");

} // namespace

void EnumerateComPorts(std::vector<std::string>& names) {
    try {
        COMMCONFIG config{};
        for (int n = 1; n <= kLastComPort; ++n) {
            char name[8];
            std::snprintf(name, sizeof name, "COM%d", n);
            DWORD dwSize = kCommConfigSize;
            if (GetDefaultCommConfigA(name, &config, &dwSize))
                names.push_back(name);
        }
    } catch (...) {
        // Memory ran out while the list grew: the names appended so far stay.
    }
}

int ComPortExists(const std::string& portName) {
    COMMCONFIG config{};
    DWORD dwSize = kCommConfigSize;
    return !portName.empty() && GetDefaultCommConfigA(portName.c_str(), &config, &dwSize) ? 1 : 0;
}

int ComPortExists(const std::string& portName, const std::string&) {
    return ComPortExists(portName);
}

void EnumerateComPorts(std::vector<std::string>& names, const std::string&, const std::string&) {
    EnumerateComPorts(names);
}

// Serial port enumeration on Linux, from the tty class in sysfs.
#include "links/PortEnumeration.h"

#include "links/PortName.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/serial.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr const char* kSysClassTty = "/sys/class/tty";
constexpr const char* kDevDir = "/dev";
constexpr const char* kTtyDrivers = "/proc/tty/drivers";

// Reads a small sysfs attribute; false when it cannot be read.
bool ReadAttribute(const std::string& path, std::string& text) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st {};
    // An attribute is a regular file; anything else (a folder, a pipe) is not one.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return false;
    }
    char buffer[64];
    ssize_t n;
    do {
        n = read(fd, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n < 0)
        return false;
    text.assign(buffer, size_t(n));
    return true;
}

// Parses the leading decimal number of `text`; false when there is none or it is too long.
bool ParseNumber(const std::string& text, size_t& pos, unsigned long& value) {
    size_t start = pos;
    value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        if (pos - start >= 9)
            return false;
        value = value * 10 + unsigned(text[pos] - '0');
        ++pos;
    }
    return pos > start;
}

enum class EPortType { Known, Unknown, NotShown };

// The UART type that serial_core shows for its ports ("type"): 0 is PORT_UNKNOWN, a slot without a chip.
EPortType PortTypeFromSysfs(const std::string& ttyDir) {
    std::string text;
    if (!ReadAttribute(ttyDir + "/type", text))
        return EPortType::NotShown;
    size_t pos = 0;
    unsigned long type = 0;
    if (!ParseNumber(text, pos, type))
        return EPortType::NotShown;
    return type == PORT_UNKNOWN ? EPortType::Unknown : EPortType::Known;
}

// Older kernels do not show the type; the port itself tells it. An empty slot refuses to open (EIO) or
// answers PORT_UNKNOWN.
bool PortTypeFromDevice(const std::string& nodePath) {
    int fd = open(nodePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    serial_struct info{};
    bool bKnown = ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
    close(fd);
    return bKnown;
}

// The node must be a character device, and the very device that sysfs describes when sysfs gives its
// number ("dev" holds major:minor): a stale or hand-made node of the same name does not count.
bool IsDeviceNode(const std::string& nodePath, const std::string& ttyDir) {
    struct stat st {};
    if (stat(nodePath.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    std::string text;
    if (!ReadAttribute(ttyDir + "/dev", text))
        return true;
    size_t pos = 0;
    unsigned long nMajor = 0;
    unsigned long nMinor = 0;
    if (!ParseNumber(text, pos, nMajor) || pos >= text.size() || text[pos] != ':')
        return true;
    ++pos;
    if (!ParseNumber(text, pos, nMinor))
        return true;
    return major(st.st_rdev) == nMajor && minor(st.st_rdev) == nMinor;
}

bool HasBoundDriver(const std::string& ttyDir) {
    struct stat st {};
    return stat((ttyDir + "/device/driver").c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Whether the tty class entry `name` is a serial port that can be opened; its node path in `nodePath`.
bool IsSerialPort(const std::string& sysClassTty, const std::string& devDir, const std::string& name,
                  std::string& nodePath) {
    if (name.empty() || name[0] == '.')
        return false;
    std::string ttyDir = sysClassTty + "/" + name;
    if (!HasBoundDriver(ttyDir))
        return false;
    // sysfs writes a '/' of the device name as '!' (tty!foo is /dev/tty/foo).
    std::string nodeName = name;
    std::replace(nodeName.begin(), nodeName.end(), '!', '/');
    nodePath = devDir + "/" + nodeName;
    if (!IsDeviceNode(nodePath, ttyDir))
        return false;
    switch (PortTypeFromSysfs(ttyDir)) {
    case EPortType::Known:
        return true;
    case EPortType::Unknown:
        return false;
    case EPortType::NotShown:
        break;
    }
    // Only the 8250 family registers slots without a chip; other drivers register what they found.
    if (name.rfind("ttyS", 0) == 0)
        return PortTypeFromDevice(nodePath);
    return true;
}

// Whether a line of the tty driver table ("name /dev/path major minors type", minors one number or a range)
// describes a driver of serial lines that serves device `rdev`.
bool ServesSerialLine(const std::string& line, dev_t rdev) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; in >> field;)
        fields.push_back(std::move(field));
    if (fields.size() < 5)
        return false;
    const std::string& type = fields[fields.size() - 1];
    if (type != "serial" && type != "pty:slave")
        return false;
    const std::string& minors = fields[fields.size() - 2];
    size_t pos = 0;
    unsigned long nMajor = 0;
    unsigned long nFirst = 0;
    if (!ParseNumber(fields[fields.size() - 3], pos, nMajor) || pos != fields[fields.size() - 3].size())
        return false;
    pos = 0;
    if (!ParseNumber(minors, pos, nFirst))
        return false;
    unsigned long nLast = nFirst;
    if (pos < minors.size()) {
        if (minors[pos] != '-')
            return false;
        ++pos;
        if (!ParseNumber(minors, pos, nLast) || pos != minors.size())
            return false;
    }
    return major(rdev) == nMajor && minor(rdev) >= nFirst && minor(rdev) <= nLast;
}

} // namespace

int ComPortExists(const std::string& portName, const std::string& ttyDriversPath) {
    struct stat st {};
    if (portName.empty() || stat(PortDevicePath(portName).c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return 0;
    try {
        std::ifstream drivers(ttyDriversPath);
        for (std::string line; std::getline(drivers, line);) {
            if (ServesSerialLine(line, st.st_rdev))
                return 1;
        }
    } catch (...) {
        // Memory ran out: the port counts as absent, as any port that cannot be confirmed.
    }
    return 0;
}

int ComPortExists(const std::string& portName) {
    return ComPortExists(portName, kTtyDrivers);
}

void EnumerateComPorts(std::vector<std::string>& names, const std::string& sysClassTty,
                       const std::string& devDir) {
    std::vector<std::string> found;
    try {
        std::error_code ec;
        fs::directory_iterator it(sysClassTty, ec);
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            std::string nodePath;
            if (IsSerialPort(sysClassTty, devDir, it->path().filename().string(), nodePath))
                found.push_back(std::move(nodePath));
        }
    } catch (...) {
        // Memory ran out while the list grew: keep what was found.
    }
    // Sorting moves strings only; it does not allocate.
    std::sort(found.begin(), found.end(), PortNameLess);
    try {
        for (auto& name : found)
            names.push_back(std::move(name));
    } catch (...) {
        // The caller's list could not grow: it keeps the names appended so far.
    }
}

void EnumerateComPorts(std::vector<std::string>& names) {
    EnumerateComPorts(names, kSysClassTty, kDevDir);
}

#pragma once

#include <string>
#include <string_view>

// What a port name typed or chosen by the operator stands for. A name without "/" names a device
// ("ttyUSB0" is /dev/ttyUSB0); a name with "/" is a path as it stands (absolute, or relative to the working
// directory; one beginning with "-" gets "./" in front, so that it never looks like an option). Both the
// program's own port and the loader open this path.
std::string PortDevicePath(std::string_view strName);

// Whether two port names stand for the same port: either may be given as a device name or as its path,
// and ASCII letters compare without regard to case ("ttyusb0" matches "/dev/ttyUSB0"). An empty name matches
// nothing.
bool IsSamePort(std::string_view a, std::string_view b);

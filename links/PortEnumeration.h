#pragma once

#include <string>
#include <vector>

// Appends the serial ports that exist on this machine to `names`, which keeps what it already held. The
// names are what CUart::Open opens and what the loader's command line receives.
//
// Linux: device paths (/dev/ttyS0, /dev/ttyUSB0, /dev/ttyACM0, ...) of the tty devices that sysfs shows
// bound to a driver, in natural order (ttyS2 before ttyS10). A tty without a device behind it (virtual
// consoles, pseudo-terminals), a device without a driver, a UART slot of unknown type (the legacy ttyS
// slots that the 8250 driver registers whether or not a chip answers) and a name with no matching character
// device node are left out. Nothing is opened except, on kernels that do not show a port's type in sysfs, a
// ttyS node asked for its type.
//
// Windows: COM1 to COM255, those that answer the default-configuration probe, in ascending number.
//
// Any error ends the enumeration quietly: the names found up to then are kept.
void EnumerateComPorts(std::vector<std::string>& names);

// The same over another sysfs tty class folder and device folder (tests build a fake tree). Windows
// ignores both.
void EnumerateComPorts(std::vector<std::string>& names, const std::string& sysClassTty,
                       const std::string& devDir);

// 1 if `portName` (a device name or a path, as PortDevicePath reads it) is a serial port present on this
// machine, else 0. The port is not opened: opening raises DTR and RTS on most adapters, which a board on the
// line takes as a reset or a boot-mode request.
//
// Linux: a character device (links followed) that a serial tty driver or the pseudo-terminal driver's
// terminal side serves, by its numbers in the kernel's table of tty drivers (/proc/tty/drivers). The
// multiplexer, virtual consoles and the controlling terminal are not serial ports.
//
// Windows: the name answers the default-configuration probe.
int ComPortExists(const std::string& portName);

// The same against another table of tty drivers (tests write one). Windows ignores it.
int ComPortExists(const std::string& portName, const std::string& ttyDriversPath);

// Position in `names` of the port that `portName` stands for: the same name in either form and any letter
// case (IsSamePort), or else a name that leads to the same file once links are followed (a
// /dev/serial/by-id link and the node it names). -1 when none does. Nothing is opened.
int FindPort(const std::vector<std::string>& names, const std::string& portName);

// Natural order of port names: runs of digits compare by their value (ttyS2 < ttyS10, COM9 < COM10), the rest
// byte by byte. A strict weak order; names that differ only in leading zeros tie-break byte-wise, so the
// order is total and stable.
bool PortNameLess(const std::string& left, const std::string& right);

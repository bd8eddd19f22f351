#pragma once

#include <string>
#include <string_view>
#include <vector>

// The network card that leads to the board on a port, for the ARP check, from the optional file
// QAN640net.conf in the working directory. A line holds either one word, the card for every port ("eth1"),
// or a port and its card ("/dev/ttyUSB0 eth1"; the port as the port field takes it, any spelling of the
// same port matches). A port's own line wins over a one-word line; of several, the first counts. "#" begins
// a comment; lines of more words are ignored. No card (no file, no line for the port): the check uses the
// card the routes choose, and refuses to guess when the board's address is on-link through several.

inline constexpr char kNetCardFileName[] = "QAN640net.conf";

// The card for strPort from the file's text.
std::string NetCardFromText(std::string_view text, const std::string& strPort);

// The card for strPort from the file; empty when the file is missing, is no plain file or names none.
std::string ReadNetCard(const std::string& strPort, const char* fileName = kNetCardFileName);

// A station's slots: the file's port-and-card lines, in file order, a port listed again counting once.
struct SStationPort {
    std::string strPort;
    std::string strCard;
};
std::vector<SStationPort> StationPortsFromText(std::string_view text);
std::vector<SStationPort> ReadStationPorts(const char* fileName = kNetCardFileName);

#include "mac/NetCardFile.h"

#include "core/PlainFile.h"
#include "links/PortName.h"

#include <algorithm>
#include <vector>

namespace {

constexpr size_t kMaxFileBytes = 64 * 1024; // a station's list of ports; anything past it is ignored

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    size_t pos = 0;
    while (pos < line.size()) {
        size_t start = line.find_first_not_of(" \t\r\v\f", pos);
        if (start == std::string_view::npos)
            break;
        size_t end = line.find_first_of(" \t\r\v\f", start);
        words.push_back(line.substr(start, end == std::string_view::npos ? end : end - start));
        pos = end == std::string_view::npos ? line.size() : end;
    }
    return words;
}

// The words of the next line, its comment left out; text loses that line.
std::vector<std::string_view> NextLineWords(std::string_view& text) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    return Words(line.substr(0, line.find('#')));
}

} // namespace

std::string NetCardFromText(std::string_view text, const std::string& strPort) {
    std::string strAnyPort;
    bool bAnyPortSeen = false;
    while (!text.empty()) {
        std::vector<std::string_view> words = NextLineWords(text);
        if (words.size() == 2 && IsSamePort(words[0], strPort))
            return std::string(words[1]);
        if (words.size() == 1 && !bAnyPortSeen) {
            strAnyPort = words[0];
            bAnyPortSeen = true;
        }
    }
    return strAnyPort;
}

std::string ReadNetCard(const std::string& strPort, const char* fileName) {
    std::optional<std::string> text = ReadSmallPlainFile(fileName, kMaxFileBytes);
    return text ? NetCardFromText(*text, strPort) : std::string();
}

std::vector<SStationPort> StationPortsFromText(std::string_view text) {
    std::vector<SStationPort> ports;
    while (!text.empty()) {
        std::vector<std::string_view> words = NextLineWords(text);
        if (words.size() != 2)
            continue;
        // The card of a port listed twice is its first line's, as NetCardFromText reads it.
        bool bListed = std::any_of(ports.begin(), ports.end(), [&](const SStationPort& port) {
            return IsSamePort(words[0], port.strPort);
        });
        if (!bListed)
            ports.push_back({std::string(words[0]), std::string(words[1])});
    }
    return ports;
}

std::vector<SStationPort> ReadStationPorts(const char* fileName) {
    std::optional<std::string> text = ReadSmallPlainFile(fileName, kMaxFileBytes);
    return text ? StationPortsFromText(*text) : std::vector<SStationPort>();
}

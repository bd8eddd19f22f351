#include "provisioning/EepromCheckFile.h"

#include "core/PlainFile.h"

#include <sstream>
#include <string>

bool ReadBackFromText(std::string_view text) {
    std::istringstream lines{std::string(text)};
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string first, second, third;
        words >> first >> second >> third;
        if (first == "readback" && second == "off" && third.empty())
            return false;
    }
    return true;
}

bool ReadBackFromFile(const char* fileName) {
    std::optional<std::string> text = ReadSmallPlainFile(fileName, 64 * 1024);
    return !text || ReadBackFromText(*text);
}

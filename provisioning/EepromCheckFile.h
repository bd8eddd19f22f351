#pragma once

#include <string_view>

// Whether runs read the EEPROM back after writing it, from the optional file QAN640eeprom.conf in the
// working directory. Only a line "readback off" turns it off, for a site whose boot monitor lacks the
// commands the read-back uses; anything else (no file, other text) leaves it on, the safe side. "#" begins a
// comment.

inline constexpr char kEepromCheckFileName[] = "QAN640eeprom.conf";

bool ReadBackFromText(std::string_view text);
bool ReadBackFromFile(const char* fileName = kEepromCheckFileName);

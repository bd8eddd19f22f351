#pragma once

#include "core/TokenReader.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

// The vendor prefixes offered in the MAC address dialog live in a small text file in the working directory:
// white-space separated tokens, one per line as the program writes them. When the file is missing or holds
// no valid prefix, the built-in prefixes are offered and the file is written with them.

inline constexpr char kMacPrefixFileName[] = "QAN640mac.conf";

// Built-in prefixes in list order. The first is always offered and always the initial selection.
inline constexpr std::array<std::string_view, 4> kBuiltInMacPrefixes = {"02:3A:7C", "06:B1:4E", "0A:5D:22",
                                                                        "0E:91:C8"};

// The file as the program writes it: the first built-in prefix comes last.
inline constexpr std::string_view kBuiltInMacPrefixFileText = "06:B1:4E\n0A:5D:22\n0E:91:C8\n02:3A:7C\n";

// A valid prefix is exactly "XX:XX:XX" where each X is 0-9 or an upper-case A-F.
bool IsValidMacPrefix(std::string_view token);

struct CMacPrefixList {
    std::vector<std::string> m_entries;
    int m_nSelected = 0; // index of the entry to select
    bool m_bFromFile = false;
};

// Builds the list from the file: its valid prefixes in file order (repeats kept), with the first built-in
// prefix appended when the file does not hold it, selected at its first place. With no file or no valid
// prefix in it, the built-in prefixes in list order, and the file is (re)written with the built-in text;
// a file that cannot be written, or that could not be read to its end, and anything but a plain file in
// its place (a folder, a pipe) are left alone, and none of them is waited on. Never fails, never returns
// an empty list.
CMacPrefixList LoadMacPrefixList(const char* fileName = kMacPrefixFileName);

// Creates or truncates the file and writes the built-in text. False when the file could not be written
// completely, or something other than a plain file has its name.
bool WriteBuiltInMacPrefixFile(const char* fileName = kMacPrefixFileName);

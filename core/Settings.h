#pragma once

#include <cstddef>
#include <string>

// The one setting kept between sessions: the serial port of the last run, in "QAN640BootLoader.conf" in the
// working directory. The file holds the port field's bytes alone, with no line end.
inline constexpr const char* kSettingsFileName = "QAN640BootLoader.conf";

// Longest remembered name, in bytes.
inline constexpr size_t kMaxRememberedPortLength = 199;

// The first whitespace-delimited word of the file, so a file edited by hand may end with a line end or hold
// further lines. Empty when the file is missing, unreadable, not a plain file, holds only white space, or
// its first word is longer than kMaxRememberedPortLength.
std::string ReadRememberedPort();

// Replaces the file's content with exactly the bytes of `port`. A file that cannot be created or written is
// skipped without a message.
void SaveRememberedPort(const std::string& port);

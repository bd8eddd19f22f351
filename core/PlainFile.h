#pragma once

// The program's small files in the working directory are opened only when they are plain files, and never
// waited on: a pipe, a device or a folder that has taken a file's name is left alone.

// open() with flags (and mode 0666 when it creates). -1 when it cannot be opened (errno tells why) or is not
// a plain file (errno EINVAL).
int OpenPlainFile(const char* fileName, int flags);

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// The first nMaxBytes of a plain file (the rest is ignored); none when it cannot be opened or read.
std::optional<std::string> ReadSmallPlainFile(const char* fileName, size_t nMaxBytes);

// Each line of a settings file's text that says something, without the blanks (and carriage return) around it
// and a leading byte-order mark: blank lines and lines beginning with "#" are left out. fn gets the line's
// number (from 1) and its text, and returns false to stop.
void ForEachSettingLine(std::string_view text, const std::function<bool(int, std::string_view)>& fn);

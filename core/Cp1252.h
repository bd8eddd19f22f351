#pragma once

#include <QString>
#include <string>
#include <string_view>

// The log and every text of the program are Windows-1252 bytes; this turns them into text for the screen.
// 0x80-0x9F are the code page's own characters (0x80 is the euro sign), not C1 controls; the five unused
// positions show as U+FFFD.
QString DecodeCp1252(std::string_view bytes);

// The program's own UTF-8 texts (Portuguese messages) as log bytes; a character the code page lacks becomes
// "?".
std::string EncodeCp1252(std::string_view utf8);

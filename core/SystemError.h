#pragma once

#include <string>

// The C library's text for an error number, as UTF-8 whatever the locale's encoding. It is localized (the
// operator's language): put into the log it goes through EncodeCp1252 like the program's own texts.
std::string SystemErrorText(int nError);

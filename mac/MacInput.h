#pragma once

#include <QString>
#include <QStringView>
#include <string>
#include <string_view>
#include <vector>

// Outcome of checking the typed part of a MAC address (the last three bytes).
enum MacInputResult {
    MacInputOk = 0,
    MacInputInvalidChars = 1,
    MacInputTooFewDigits = 2,
    MacInputTooManyDigits = 3,
};

// Walks the typed text: hex digits are collected as typed, hyphens, blanks and colons are skipped wherever
// they stand, and any other character (anything outside ASCII included) ends the walk with
// MacInputInvalidChars, whatever digits came before it. After a complete walk the digit count decides.
// On MacInputOk, *pDigits (if given) holds the six digits in the case in which they were typed.
MacInputResult CheckMacSuffix(QStringView typed, std::string* pDigits = nullptr);

// The full address: the prefix as given, ":", then the six digits as three pairs joined by ":".
// "02:3A:7C" and "aabbcc" give "02:3A:7C:aa:bb:cc".
std::string BuildMacAddress(std::string_view prefix, std::string_view digits);

// Checks the typed text and, on MacInputOk, builds the full address with the prefix into fullAddress.
// fullAddress is written only on MacInputOk.
MacInputResult ValidateMacText(QStringView typed, std::string_view prefix, std::string& fullAddress);

// The status line's text for a result; empty for MacInputOk.
QString MacInputMessage(MacInputResult result);

// A whole address given in one text, for a front end without the dialog's prefix list ("02:3A:7C:12:34:56"):
// its first eight characters must be one of the offered prefixes (letter case aside; the address takes the
// offered spelling, as the dialog would), and the rest is judged like the dialog's typed part, with the same
// messages. On success fills fullAddress and returns an empty message.
QString ValidateWholeMacText(QStringView text, const std::vector<std::string>& offered,
                             std::string& fullAddress);

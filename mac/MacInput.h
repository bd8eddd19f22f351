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
    // A scanned whole address whose first three bytes are not among the offered prefixes.
    MacInputPrefixNotOffered = 4,
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

// A whole address as a barcode scanner types it from a label: twelve hex digits, any case, with ':' or '-'
// between them or nothing at all. On true, strPrefix holds the first three bytes spelt as the prefix file
// spells them ("02:3A:7C") and strDigits the last six digits as scanned.
bool SplitScannedMac(QStringView text, std::string& strPrefix, std::string& strDigits);

// Place of strPrefix among the offered prefixes, letter case aside; -1 when it is not offered.
int FindOfferedPrefix(std::string_view strPrefix, const std::vector<std::string>& offered);

// A whole address given in one text, for a front end without the dialog's prefix list: a scanned address
// (see SplitScannedMac), or the first eight characters one of the offered prefixes and the rest judged like
// the dialog's typed part ("02:3A:7C 12 34 56"). Either way the address takes the offered spelling of the
// prefix, as the dialog would, and the dialog's messages. On success fills fullAddress and returns an empty
// message.
QString ValidateWholeMacText(QStringView text, const std::vector<std::string>& offered,
                             std::string& fullAddress);

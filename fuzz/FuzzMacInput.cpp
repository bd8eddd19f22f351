// Any typed text (UTF-16, surrogates and all) through the MAC address checks, with the dialog's prefix
// and as a whole address.
//
// Holds for every input: an accepted text gives "PP:PP:PP:xx:xx:xx" built from the offered prefix and the
// six hex digits typed, in order; a refused one leaves the address untouched and has a message; the result
// agrees with a count of the text's digits and other characters.
#include "fuzz/FuzzCheck.h"
#include "mac/MacInput.h"
#include "mac/MacPrefixFile.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

bool IsHex(char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// The address's shape, and its last six digits being those typed.
void CheckAddress(const std::string& address, std::string_view prefix, QStringView typed) {
    FUZZ_CHECK(address.size() == 17 && address.starts_with(prefix));
    std::string digits;
    for (QChar c : typed)
        if (IsHex(c.unicode()))
            digits += char(c.unicode());
    FUZZ_CHECK(digits.size() == 6);
    FUZZ_CHECK(address.substr(8) ==
               ":" + digits.substr(0, 2) + ":" + digits.substr(2, 2) + ":" + digits.substr(4));
}

MacInputResult Expected(QStringView typed) {
    size_t nDigits = 0;
    for (QChar c : typed) {
        char16_t u = c.unicode();
        if (IsHex(u))
            ++nDigits;
        else if (u != u'-' && u != u' ' && u != u':')
            return MacInputInvalidChars;
    }
    return nDigits < 6 ? MacInputTooFewDigits : nDigits > 6 ? MacInputTooManyDigits : MacInputOk;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Even bytes as UTF-16 code units, so lone surrogates and every plane reach the checks.
    QString typed(qsizetype(size / 2), QChar());
    for (size_t i = 0; i + 1 < size; i += 2)
        typed[qsizetype(i / 2)] = QChar(char16_t(data[i] | data[i + 1] << 8));

    const std::string prefix(kBuiltInMacPrefixes[1]);
    std::string address = "untouched";
    MacInputResult result = ValidateMacText(typed, prefix, address);
    FUZZ_CHECK(result == Expected(typed));
    FUZZ_CHECK((result == MacInputOk) == MacInputMessage(result).isEmpty());
    if (result == MacInputOk)
        CheckAddress(address, prefix, typed);
    else
        FUZZ_CHECK(address == "untouched");

    // The same text as a whole address, against the offered list.
    const std::vector<std::string> offered(kBuiltInMacPrefixes.begin(), kBuiltInMacPrefixes.end());
    std::string whole = "untouched";
    QString message = ValidateWholeMacText(typed, offered, whole);
    if (message.isEmpty()) {
        std::string_view used = std::string_view(whole).substr(0, 8);
        FUZZ_CHECK(std::find(offered.begin(), offered.end(), used) != offered.end());
        std::string scannedPrefix, scannedDigits;
        if (SplitScannedMac(typed, scannedPrefix, scannedDigits)) {
            FUZZ_CHECK(QString::fromStdString(scannedPrefix).toUpper() ==
                       QString::fromStdString(std::string(used)));
            CheckAddress(whole, used, QString::fromStdString(scannedDigits));
        } else {
            FUZZ_CHECK(typed.left(8).toUpper() == QString::fromStdString(std::string(used)));
            CheckAddress(whole, used, QStringView(typed).mid(8));
        }
    } else {
        FUZZ_CHECK(whole == "untouched");
    }
    return 0;
}

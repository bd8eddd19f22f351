#include "mac/MacInput.h"

namespace {
bool IsHexDigit(char16_t ch) {
    return (ch >= u'0' && ch <= u'9') || (ch >= u'a' && ch <= u'f') || (ch >= u'A' && ch <= u'F');
}

bool IsSeparator(char16_t ch) {
    return ch == u'-' || ch == u' ' || ch == u':';
}

constexpr size_t kSuffixDigits = 6;
constexpr size_t kAddressDigits = 12;

char UpperAscii(char ch) {
    return ch >= 'a' && ch <= 'z' ? char(ch - 'a' + 'A') : ch;
}

bool SamePrefix(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (UpperAscii(a[i]) != UpperAscii(b[i]))
            return false;
    return true;
}
} // namespace

MacInputResult CheckMacSuffix(QStringView typed, std::string* pDigits) {
    std::string digits;
    // Only the count matters past six digits, so the collected string never grows beyond seven.
    size_t nDigits = 0;
    for (QChar qch : typed) {
        char16_t ch = qch.unicode();
        if (IsHexDigit(ch)) {
            if (nDigits++ < kSuffixDigits)
                digits.push_back(char(ch));
        } else if (!IsSeparator(ch)) {
            return MacInputInvalidChars;
        }
    }
    if (nDigits < kSuffixDigits)
        return MacInputTooFewDigits;
    if (nDigits > kSuffixDigits)
        return MacInputTooManyDigits;
    if (pDigits)
        *pDigits = std::move(digits);
    return MacInputOk;
}

std::string BuildMacAddress(std::string_view prefix, std::string_view digits) {
    std::string address(prefix);
    address += ':';
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && i % 2 == 0)
            address += ':';
        address += digits[i];
    }
    return address;
}

MacInputResult ValidateMacText(QStringView typed, std::string_view prefix, std::string& fullAddress) {
    std::string digits;
    MacInputResult result = CheckMacSuffix(typed, &digits);
    if (result == MacInputOk)
        fullAddress = BuildMacAddress(prefix, digits);
    return result;
}

QString MacInputMessage(MacInputResult result) {
    switch (result) {
    case MacInputInvalidChars:
        return QString::fromUtf8("Erro: Caracteres inválidos");
    case MacInputTooFewDigits:
        return QString::fromUtf8("Erro: Faltam dígitos");
    case MacInputTooManyDigits:
        return QString::fromUtf8("Erro: Muitos dígitos");
    case MacInputPrefixNotOffered:
        return QString::fromUtf8("Erro: Prefixo não oferecido");
    case MacInputOk:
        break;
    }
    return QString();
}

bool SplitScannedMac(QStringView text, std::string& strPrefix, std::string& strDigits) {
    std::string digits;
    for (QChar qch : text) {
        char16_t ch = qch.unicode();
        if (IsHexDigit(ch)) {
            if (digits.size() == kAddressDigits)
                return false;
            digits.push_back(char(ch));
        } else if (ch != u':' && ch != u'-') {
            return false;
        }
    }
    if (digits.size() != kAddressDigits)
        return false;
    strPrefix.clear();
    for (size_t i = 0; i < kSuffixDigits; ++i) {
        if (i > 0 && i % 2 == 0)
            strPrefix += ':';
        strPrefix += UpperAscii(digits[i]);
    }
    strDigits = digits.substr(kSuffixDigits);
    return true;
}

int FindOfferedPrefix(std::string_view strPrefix, const std::vector<std::string>& offered) {
    for (size_t i = 0; i < offered.size(); ++i)
        if (SamePrefix(strPrefix, offered[i]))
            return int(i);
    return -1;
}

QString ValidateWholeMacText(QStringView text, const std::vector<std::string>& offered,
                             std::string& fullAddress) {
    std::string strPrefix, strDigits;
    if (SplitScannedMac(text, strPrefix, strDigits)) {
        int nOffered = FindOfferedPrefix(strPrefix, offered);
        if (nOffered < 0)
            return MacInputMessage(MacInputPrefixNotOffered);
        fullAddress = BuildMacAddress(offered[size_t(nOffered)], strDigits);
        return QString();
    }
    constexpr qsizetype kPrefixLength = 8; // "XX:XX:XX"
    // In UTF-8 a character outside ASCII never matches a prefix's digit or colon.
    int nOffered = FindOfferedPrefix(text.left(kPrefixLength).toString().toStdString(), offered);
    if (nOffered < 0)
        return MacInputMessage(MacInputPrefixNotOffered);
    return MacInputMessage(ValidateMacText(text.mid(kPrefixLength), offered[size_t(nOffered)], fullAddress));
}

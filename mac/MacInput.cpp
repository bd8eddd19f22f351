#include "mac/MacInput.h"

namespace {
bool IsHexDigit(char16_t ch) {
    return (ch >= u'0' && ch <= u'9') || (ch >= u'a' && ch <= u'f') || (ch >= u'A' && ch <= u'F');
}

bool IsSeparator(char16_t ch) {
    return ch == u'-' || ch == u' ' || ch == u':';
}

constexpr size_t kSuffixDigits = 6;
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
    case MacInputOk:
        break;
    }
    return QString();
}

QString ValidateWholeMacText(QStringView text, const std::vector<std::string>& offered,
                             std::string& fullAddress) {
    constexpr qsizetype kPrefixLength = 8; // "XX:XX:XX"
    QString prefix = text.left(kPrefixLength).toString().toUpper();
    for (const std::string& strOffered : offered) {
        if (prefix != QString::fromStdString(strOffered))
            continue;
        MacInputResult result = ValidateMacText(text.mid(kPrefixLength), strOffered, fullAddress);
        return MacInputMessage(result);
    }
    return QString::fromUtf8("Erro: Prefixo não oferecido");
}

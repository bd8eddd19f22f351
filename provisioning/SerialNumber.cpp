#include "provisioning/SerialNumber.h"

#include "core/PlainFile.h"

#include <algorithm>
#include <unistd.h>

std::optional<SSerialRule> SerialRuleFromText(std::string_view text, std::string& strError) {
    std::optional<std::string> pattern;
    ForEachSettingLine(text, [&](int, std::string_view line) {
        pattern = std::string(line);
        return false;
    });
    if (!pattern) {
        strError = std::string(kSerialPatternFileName) + ": falta o padrão do número de série";
        return std::nullopt;
    }
    SSerialRule rule;
    rule.bRequired = true;
    rule.strPattern = *pattern;
    try {
        rule.pattern = std::regex(rule.strPattern, std::regex::ECMAScript);
    } catch (const std::regex_error&) {
        strError = std::string(kSerialPatternFileName) + ": \"" + rule.strPattern +
                   "\" não é uma expressão regular válida";
        return std::nullopt;
    }
    return rule;
}

std::optional<SSerialRule> ReadSerialRule(std::string& strError, const char* fileName) {
    std::optional<std::string> text = ReadSmallPlainFile(fileName, 64 * 1024);
    // A file that is there and cannot be read must not turn the requirement off.
    if (!text && access(fileName, F_OK) != 0)
        return SSerialRule();
    if (!text) {
        strError = std::string(kSerialPatternFileName) + ": não pode ser lido";
        return std::nullopt;
    }
    return SerialRuleFromText(*text, strError);
}

std::string SerialNumberError(const SSerialRule& rule, std::string_view serial) {
    if (serial.empty())
        return "Erro: Número de série não informado";
    // The record keeps every field on one line; a control character is a scanner's noise, not a serial.
    bool bControl = std::any_of(serial.begin(), serial.end(),
                                [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
    if (serial.size() > kMaxSerialLength || bControl)
        return "Erro: Número de série inválido";
    if (rule.bRequired) {
        try {
            if (!std::regex_match(serial.begin(), serial.end(), rule.pattern))
                return "Erro: Número de série fora do padrão (" + rule.strPattern + ")";
        } catch (const std::regex_error&) {
            // A pattern too complex for the text: no match is taken on a guess.
            return "Erro: Número de série fora do padrão (" + rule.strPattern + ")";
        }
    }
    return "";
}

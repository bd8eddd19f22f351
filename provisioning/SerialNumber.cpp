#include "provisioning/SerialNumber.h"

#include "core/PlainFile.h"

#include <algorithm>
#include <unistd.h>

namespace {

std::string_view TrimmedLine(std::string_view line) {
    size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
}

} // namespace

std::optional<SSerialRule> SerialRuleFromText(std::string_view text, std::string& strError) {
    if (text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3);
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = TrimmedLine(text.substr(0, nl));
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (line.empty() || line.front() == '#')
            continue;
        SSerialRule rule;
        rule.bRequired = true;
        rule.strPattern = line;
        try {
            rule.pattern = std::regex(rule.strPattern, std::regex::ECMAScript);
        } catch (const std::regex_error&) {
            strError = std::string(kSerialPatternFileName) + ": \"" + rule.strPattern +
                       "\" não é uma expressão regular válida";
            return std::nullopt;
        }
        return rule;
    }
    strError = std::string(kSerialPatternFileName) + ": falta o padrão do número de série";
    return std::nullopt;
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

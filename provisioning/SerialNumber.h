#pragma once

#include <optional>
#include <regex>
#include <string>
#include <string_view>

// The board's serial number, required by the optional file QAN640serial.conf in the working directory: its
// first line that is neither blank nor a comment ("#") is the site's pattern (ECMAScript regular expression),
// which the whole serial must match ("QAN[0-9]{8}"). Without the file no serial is asked for.
inline constexpr char kSerialPatternFileName[] = "QAN640serial.conf";
// Longer texts are refused before the pattern sees them: a scanner that sent two labels at once.
inline constexpr size_t kMaxSerialLength = 64;

struct SSerialRule {
    bool bRequired = false;
    std::string strPattern;
    std::regex pattern;
};

// The rule of the file's text; nothing, with strError (Portuguese, naming the file), for a file whose pattern
// is missing or not a regular expression.
std::optional<SSerialRule> SerialRuleFromText(std::string_view text, std::string& strError);
// The rule of the file in the working directory: not required without the file; nothing, with strError, for
// one that cannot be used.
std::optional<SSerialRule> ReadSerialRule(std::string& strError,
                                          const char* fileName = kSerialPatternFileName);

// Empty when the serial (blanks around it already taken off) is one the rule accepts, otherwise what the
// operator is told ("Erro: ...").
std::string SerialNumberError(const SSerialRule& rule, std::string_view serial);

#pragma once

#include <string>
#include <string_view>
#include <vector>

// RFC 4180 records (CR LF or LF ends, quoted fields may hold anything).
inline std::vector<std::vector<std::string>> ParseCsv(std::string_view text) {
    std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
    bool bQuoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (bQuoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"')
                rows.back().back() += text[++i];
            else if (c == '"')
                bQuoted = false;
            else
                rows.back().back() += c;
        } else if (c == '"') {
            bQuoted = true;
        } else if (c == ',') {
            rows.back().emplace_back();
        } else if (c == '\n') {
            rows.emplace_back(1);
        } else if (c != '\r') {
            rows.back().back() += c;
        }
    }
    if (rows.back() == std::vector<std::string>(1))
        rows.pop_back();
    return rows;
}

// SPDX-License-Identifier: GPL-2.0-or-later
// The small text helpers that the settings' parsers share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cardsim {

// A decimal number of at most `max`, digits only.
inline bool parse_decimal(const std::string& text, uint64_t max, uint64_t& out)
{
    if (text.empty() || text.size() > 19)
        return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + uint64_t(c - '0');
    }
    if (v > max)
        return false;
    out = v;
    return true;
}

inline std::vector<std::string> split(const std::string& text, char sep)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(sep, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

}  // namespace cardsim

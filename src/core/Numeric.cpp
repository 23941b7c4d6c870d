#include "core/Numeric.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kestrova {

namespace {

// Length of the leading number (after blanks), 0 when there is none.
size_t numberSpan(std::string_view t, size_t& start) {
    size_t i = 0;
    while (i < t.size() && (t[i] == ' ' || t[i] == '\t'))
        ++i;
    start = i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-'))
        ++i;
    size_t digits = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
        ++i;
        ++digits;
    }
    if (i < t.size() && t[i] == '.') {
        size_t j = i + 1;
        size_t frac = 0;
        while (j < t.size() && t[j] >= '0' && t[j] <= '9') {
            ++j;
            ++frac;
        }
        if (digits + frac > 0 && (frac > 0 || digits > 0)) {
            i = j;
            digits += frac;
        }
    }
    return digits > 0 ? i - start : 0;
}

} // namespace

double numericValue(std::string_view text) {
    size_t start = 0;
    size_t len = numberSpan(text, start);
    if (len == 0)
        return 0.0;
    std::string s(text.substr(start, len));
    if (!s.empty() && s[0] == '+')
        s.erase(0, 1);
    double v = std::strtod(s.c_str(), nullptr);
    return std::isfinite(v) ? v : 0.0;
}

bool startsWithNumber(std::string_view text) {
    size_t start = 0;
    return numberSpan(text, start) > 0;
}

std::string numberText(double value) {
    if (value == std::floor(value) && std::fabs(value) < 1e15) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.0f", value);
        return buf;
    }
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, r.ptr);
}

} // namespace kestrova

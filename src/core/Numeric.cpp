#include "core/Numeric.h"

#include <charconv>
#include <cmath>
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
    // Always plain decimal, never an exponent: the text is read back by
    // numericValue, which takes no exponent ("1e-04" would read as 1). The
    // fixed form is the shortest that reads back equal.
    if (value == 0)
        return "0";
    char buf[400]; // 309 digits before the point or 324 after it at most
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
    if (r.ec != std::errc())
        return "0";
    return std::string(buf, r.ptr);
}

} // namespace kestrova

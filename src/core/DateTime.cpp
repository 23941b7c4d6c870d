#include "core/DateTime.h"

#include <cstdio>

namespace kestrova {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's method).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, int& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t yy = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int>(yy + (m <= 2));
}

const std::int64_t kEpochDays = daysFromCivil(1899, 12, 30);

bool readInt(std::string_view t, size_t& i, int minDigits, int maxDigits, int& out) {
    int n = 0;
    int v = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9' && n < maxDigits) {
        v = v * 10 + (t[i] - '0');
        ++i;
        ++n;
    }
    out = v;
    return n >= minDigits;
}

bool validDate(int y, int m, int d) {
    if (y < 100 || y > 9999 || m < 1 || m > 12 || d < 1)
        return false;
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    int dm = days[m - 1] + (m == 2 && leap ? 1 : 0);
    return d <= dm;
}

} // namespace

DateTime fromFields(int year, int month, int day, int hour, int minute, int second) {
    std::int64_t days =
        daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kEpochDays;
    return days * 86400 + hour * 3600 + minute * 60 + second;
}

DateTime fromUnix(std::time_t t, const std::tm& lt) {
    (void)t;
    return fromFields(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min,
                      lt.tm_sec > 59 ? 59 : lt.tm_sec);
}

DateTime fromUnix(std::time_t t) {
    std::tm lt{};
    localtime_r(&t, &lt);
    return fromUnix(t, lt);
}

DateTime nowDateTime() {
    return fromUnix(std::time(nullptr));
}

std::string formatDateTime(DateTime value) {
    std::int64_t days = value / 86400;
    std::int64_t secs = value % 86400;
    if (secs < 0) {
        secs += 86400;
        --days;
    }
    int h = static_cast<int>(secs / 3600);
    int mi = static_cast<int>(secs / 60 % 60);
    int s = static_cast<int>(secs % 60);
    char buf[48];
    if (days == 0) {
        std::snprintf(buf, sizeof buf, "%d:%02d:%02d", h, mi, s);
        return buf;
    }
    int y;
    unsigned m, d;
    civilFromDays(days + kEpochDays, y, m, d);
    std::snprintf(buf, sizeof buf, "%04d/%02u/%02u %d:%02d:%02d", y, m, d, h, mi, s);
    return buf;
}

std::optional<DateTime> parseDateTime(std::string_view t) {
    size_t i = 0;
    auto skipBlanks = [&] {
        while (i < t.size() && t[i] == ' ')
            ++i;
    };
    skipBlanks();
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    bool haveDate = false;
    size_t save = i;
    int first = 0;
    if (!readInt(t, i, 1, 4, first))
        return std::nullopt;
    if (i < t.size() && t[i] == '/') {
        y = first;
        ++i;
        if (!readInt(t, i, 1, 2, mo) || i >= t.size() || t[i] != '/')
            return std::nullopt;
        ++i;
        if (!readInt(t, i, 1, 2, d))
            return std::nullopt;
        if (!validDate(y, mo, d))
            return std::nullopt;
        haveDate = true;
        skipBlanks();
        if (i == t.size())
            return fromFields(y, mo, d, 0, 0, 0);
    } else {
        i = save;
    }
    if (!readInt(t, i, 1, 2, h) || i >= t.size() || t[i] != ':')
        return std::nullopt;
    ++i;
    if (!readInt(t, i, 2, 2, mi) || i >= t.size() || t[i] != ':')
        return std::nullopt;
    ++i;
    if (!readInt(t, i, 2, 2, s))
        return std::nullopt;
    skipBlanks();
    if (i != t.size() || h > 23 || mi > 59 || s > 59)
        return std::nullopt;
    if (!haveDate)
        return static_cast<DateTime>(h * 3600 + mi * 60 + s);
    return fromFields(y, mo, d, h, mi, s);
}

DateTime utcFromUnix(std::time_t t) {
    return static_cast<DateTime>(t) - kEpochDays * 86400;
}

DateTime localFromUtc(DateTime utc) {
    if (utc == 0)
        return 0;
    return fromUnix(static_cast<std::time_t>(utc + kEpochDays * 86400));
}

DateTime utcFromLocal(DateTime local) {
    if (local == 0)
        return 0;
    std::int64_t days = local / 86400;
    std::int64_t secs = local % 86400;
    if (secs < 0) {
        secs += 86400;
        --days;
    }
    int y;
    unsigned m, d;
    civilFromDays(days + kEpochDays, y, m, d);
    std::tm fields{};
    fields.tm_year = y - 1900;
    fields.tm_mon = static_cast<int>(m) - 1;
    fields.tm_mday = static_cast<int>(d);
    fields.tm_hour = static_cast<int>(secs / 3600);
    fields.tm_min = static_cast<int>(secs / 60 % 60);
    fields.tm_sec = static_cast<int>(secs % 60);
    // Each reading of the fields that gives them back unchanged is a real
    // instant; of two (an hour repeated when clocks go back) the first.
    std::optional<std::time_t> best;
    for (int dst : {1, 0}) {
        std::tm t = fields;
        t.tm_isdst = dst;
        std::time_t r = std::mktime(&t);
        if (t.tm_year == fields.tm_year && t.tm_mon == fields.tm_mon &&
            t.tm_mday == fields.tm_mday && t.tm_hour == fields.tm_hour &&
            t.tm_min == fields.tm_min && t.tm_sec == fields.tm_sec && (!best || r < *best))
            best = r;
    }
    if (!best) { // a time skipped when clocks go forward
        std::tm t = fields;
        t.tm_isdst = -1;
        best = std::mktime(&t);
    }
    return utcFromUnix(*best);
}

std::string formatRecordDate(DateTime utc) {
    if (utc == 0)
        return formatDateTime(0);
    const std::time_t t = static_cast<std::time_t>(utc + kEpochDays * 86400);
    std::tm lt{};
    long offset = 0;
    if (localtime_r(&t, &lt) && lt.tm_gmtoff % 60 == 0)
        offset = lt.tm_gmtoff;
    else
        gmtime_r(&t, &lt); // an offset with seconds (old local mean time) is not written
    std::string out = formatDateTime(fromUnix(t, lt));
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    char buf[32];
    std::snprintf(buf, sizeof buf, " %c%02d%02d", offset < 0 ? '-' : '+',
                  static_cast<int>(minutes / 60 % 100), static_cast<int>(minutes % 60));
    return out + buf;
}

namespace {

// The offset at the end of a record date in seconds east of UTC, and the
// text before it.
bool splitOffset(std::string_view text, std::string_view& head, long& offset) {
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    if (text.size() < 6 || text[text.size() - 6] != ' ')
        return false;
    std::string_view o = text.substr(text.size() - 5);
    if (o[0] != '+' && o[0] != '-')
        return false;
    for (size_t i = 1; i < 5; ++i)
        if (o[i] < '0' || o[i] > '9')
            return false;
    const int h = (o[1] - '0') * 10 + (o[2] - '0');
    const int m = (o[3] - '0') * 10 + (o[4] - '0');
    if (h > 23 || m > 59)
        return false;
    offset = (o[0] == '-' ? -1L : 1L) * (h * 3600L + m * 60L);
    head = text.substr(0, text.size() - 6);
    return true;
}

} // namespace

bool hasUtcOffset(std::string_view text) {
    std::string_view head;
    long offset = 0;
    return splitOffset(text, head, offset);
}

std::optional<DateTime> parseRecordDate(std::string_view text) {
    std::string_view head;
    long offset = 0;
    if (!splitOffset(text, head, offset)) {
        std::optional<DateTime> local = parseDateTime(text);
        if (!local)
            return std::nullopt;
        return utcFromLocal(*local);
    }
    // The fields read as if in UTC, less the offset, are the instant.
    std::optional<DateTime> fields = parseDateTime(head);
    if (!fields)
        return std::nullopt;
    if (*fields == 0)
        return 0;
    return *fields - offset;
}

std::string logTimestamp() {
    std::time_t t = std::time(nullptr);
    std::tm lt{};
    localtime_r(&t, &lt);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d/%02d/%02d %02d:%02d:%02d", lt.tm_year + 1900,
                  lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec);
    return buf;
}

} // namespace kestrova

// Date-times as whole seconds on the day-number scale: seconds since
// 1899-12-30 00:00:00 local time; 0 means "absent".
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace kestrova {

using DateTime = std::int64_t;

// Local wall-clock fields to the scale, and back.
DateTime fromFields(int year, int month, int day, int hour, int minute, int second);

DateTime fromUnix(std::time_t t);
DateTime fromUnix(std::time_t t, const std::tm& local);
DateTime nowDateTime();

// "yyyy/mm/dd H:mm:ss"; the absent value is "0:00:00".
std::string formatDateTime(DateTime value);

// Reads the text form back: "yyyy/mm/dd H:mm:ss" (hour with or without a
// leading zero), a date alone (midnight) or a time alone (day 0).
std::optional<DateTime> parseDateTime(std::string_view text);

// Record dates name an instant, so a record means the same in every time
// zone. In a scan they are held on the UTC scale: seconds since 1899-12-30
// 00:00:00 UTC, 0 again meaning "absent".
DateTime utcFromUnix(std::time_t t);
// The local-scale value of a UTC-scale one, for what is shown.
DateTime localFromUtc(DateTime utc);
// The UTC-scale value of a local-scale one; an hour that occurs twice reads
// as its first occurrence.
DateTime utcFromLocal(DateTime local);

// "yyyy/mm/dd H:mm:ss +hhmm": local time with its offset from UTC; the
// absent value is "0:00:00".
std::string formatRecordDate(DateTime utc);

// Reads a record date to the UTC scale: with an offset as that instant,
// without one (older records, records from Windows) as local time.
std::optional<DateTime> parseRecordDate(std::string_view text);
// Whether text carries an offset (the form records are written in).
bool hasUtcOffset(std::string_view text);

// "yyyy/mm/dd hh:mm:ss" of now, for log lines.
std::string logTimestamp();

} // namespace kestrova

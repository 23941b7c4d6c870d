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

// "yyyy/mm/dd hh:mm:ss" of now, for log lines.
std::string logTimestamp();

} // namespace kestrova

// The texts that mail delivery builds: sender string, trace lines and the
// error window's diagnostic block.
#pragma once

#include <string>
#include <string_view>

namespace kestrova {

struct AppSettings;

// Title, trace lines and error window text are limited to this many CP932
// bytes in the log.
inline constexpr int kTraceLineLimit = 794;

// "name<address>" (name + "*" in a run without windows), followed by TAB
// user:password TAB method for the three SMTP AUTH modes when a user is set.
std::string senderString(const AppSettings& s);

// The method keyword for an AuthMode ("" for POP before SMTP or anything
// else).
std::string authKeyword(const std::string& authMode);

// One "*" per character of the password.
std::string maskedPassword(const std::string& password);

// CR LF -> two blanks, then CR, LF and TAB -> one blank each.
std::string flattenForLog(std::string_view text);

// line cut to the trace limit without splitting a character; "..." is
// appended when the cut line has fewer characters than compareWith.
std::string cutTraceLine(const std::string& line, std::string_view compareWith);

// "Mail送信:" (attempt 0) or "Mail送信(n):", the recipients padded to 29 bytes,
// ":添付=" and the attachment's name (or "無し") padded to 14 bytes, ":", text.
std::string mailTraceLine(int attempt, const std::string& mailTo, const std::string& attachment,
                          const std::string& text);

// "Msg 表示:" and the text.
std::string messageTraceLine(const std::string& text);

// The ten lines of the mail error window (the password masked).
std::string mailErrorText(const AppSettings& s, const std::string& mailTo,
                          const std::string& message);

} // namespace kestrova

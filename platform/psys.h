// Process-wide services: tick count, sleep, user language, clock seam.
#pragma once
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

namespace plat {

// Milliseconds from a monotonic clock, wrapping at 2^32 as Windows does.
uint32_t TickCount();
void SleepMs(uint32_t ms);

// The Windows language identifier (primary language in the low 10 bits,
// sublanguage above) of the user's locale, which on Windows is the locale
// of dates and numbers, not of messages: LC_ALL, LC_TIME or LANG.
// "C", "POSIX" and unknown languages give 0x0409 (English, United States).
uint16_t UserDefaultLangID();
// The same for a locale name such as "pl_PL.UTF-8".
uint16_t LangIDFromLocaleName(const char* name);

// What the user's locale says of numbers and dates, in UTF-8, read without
// touching the C library's own locale.
struct LocaleFormats {
  std::string DecimalPoint;  // "," for Polish
  std::string ThousandsSep;  // may be empty
  std::string DateFormat;    // strftime picture of a short date ("%d.%m.%Y")
};
// The locale of numbers (LC_ALL, LC_NUMERIC, LANG) and of dates (LC_ALL,
// LC_TIME, LANG); a locale the machine does not have counts as "C".
LocaleFormats UserLocaleFormats();

// The wall clock. Tests replace it to run at a fixed date.
using ClockFn = std::function<std::time_t()>;
std::time_t Now();
void SetClock(ClockFn clock);  // an empty function restores the real clock

}  // namespace plat

// Date arithmetic and date texts: validation, Julian day numbers,
// differences, day and month names, the DBF storage form (DTOS), today and
// the time of day. Every routine taking a date takes it in the current
// picture (see tzutils.h), at most 10 characters.
#pragma once
#include <cstdint>
#include <string>

struct TDateParts {
  int16_t Year = 0;
  uint8_t Month = 0;
  uint8_t Day = 0;
};

// A file's date and time as numbers.
struct TFileStamp {
  uint16_t Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
};

// Normalises a date text in place: true for a valid date (S in the picture,
// a four-digit year shortened to two while the century is off) and for the
// blank date (S becomes the picture's blank date); false leaves S unchanged.
bool CheckDate(std::string& S);
// CheckDate on a copy; the blank date is not valid.
bool IsValidDate(const std::string& S);
// REQUIRES: S in the internal form "MM/dd/yy" or "MM/dd/yyyy".
TDateParts DateToParts(const std::string& S);
// Julian day number (Julian calendar before 1582-10-15); 2000-01-01 is
// 2451545.
int32_t JulianDay(const TDateParts& D);
bool IsLeapYear(int Year);
// REQUIRES: Month in 1..12.
int DaysInMonth(int Year, int Month);
// Days from Date2 to Date1 (positive when Date1 is later). An invalid date
// is error 220 and gives 0; success sets LastErrorCode to 0.
int32_t DateDiff(const std::string& Date1, const std::string& Date2);
// The date text of year, month and day in the picture. A year of 99 or less
// is taken in the two-digit window. An impossible date is error 220; the
// text is returned all the same.
std::string DateFrom(int Year, int Month, int Day);
// 1 = Sunday ... 7 = Saturday.
int DOW(const std::string& Date);
// Day and month names in the language of DateFormat, as fixed-width slices
// (blank-padded, not trimmed; accented letters in OEM bytes). The blank
// date gives 10 (CDOW) or 9 (CMonth) blanks.
std::string CDOW(const std::string& Date);
std::string CMonth(const std::string& Date);
// The numbers of the date's parts; Year as written (two digits stay two).
// A part that is not a number gives 0.
int Month(const std::string& Date);
int Day(const std::string& Date);
int Year(const std::string& Date);
// "yyyyMMdd", the DBF storage form; the blank date gives 8 blanks.
std::string DTOS(const std::string& Date);
// Today's date in the picture, from the engine's clock (plat::Now).
std::string TodayText();
// The local time of day "hh:nn:ss".
std::string TimeStr();
// "hh:mm:ss" joined by TzTimeSep, each part two digits.
std::string TimeFrom(int H, int M, int S);
// The local date; DayOfWeek 1 = Sunday ... 7 = Saturday.
void GetDate(int& Year, int& Month, int& Day, int& DayOfWeek);
// Seconds since the system started.
uint32_t TickSeconds();
// A DOS packed date and time (date in the high word) as numbers.
TFileStamp UnpackFileDate(uint32_t FileDate);

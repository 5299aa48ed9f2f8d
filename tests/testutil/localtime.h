// A moment given by its local calendar date and time of day, daylight
// saving as the C library's zone rules have it on that day.
#pragma once
#include <ctime>

inline std::time_t LocalTime(int y, int mo, int d, int h = 12, int mi = 0, int s = 0) {
  struct tm t {};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

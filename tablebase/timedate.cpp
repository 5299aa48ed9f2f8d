#include "tablebase/timedate.h"

#include <array>
#include <string_view>

#include "platform/psys.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"

namespace {

DateState& D() { return Engine().dates; }

// The names keep the byte form the sibling programs' data has always had:
// accented letters in the West-European OEM page (850) for French and
// German, in page 866 for Russian.
using DayNames = std::array<const char*, 7>;
using MonthNames = std::array<const char*, 12>;

constexpr DayNames kDaysEnglish = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
constexpr DayNames kDaysItalian = {"Domenica", "Lunedi", "Martedi", "Mercoledi", "Giovedi", "Venerdi", "Sabato"};
constexpr DayNames kDaysFrench = {"Dimanche", "Lundi", "Mardi", "Mercredi", "Jeudi", "Vendredi", "Samedi"};
constexpr DayNames kDaysGerman = {"Sonntag", "Montag", "Dienstag", "Mittwoch", "Donnerstag", "Freitag", "Samstag"};
constexpr DayNames kDaysSpanish = {"Domingo", "Lunes", "Martes", "Miercoles", "Jueves", "Viernes", "Sabado"};
constexpr DayNames kDaysRussian = {
    "\x82\xAE\xE1\xAA\xE0\xA5\xE1\xA5\xAD\xEC\xA5",  // Воскресенье
    "\x8F\xAE\xAD\xA5\xA4\xA5\xAB\xEC\xAD\xA8\xAA",  // Понедельник
    "\x82\xE2\xAE\xE0\xAD\xA8\xAA",                  // Вторник
    "\x91\xE0\xA5\xA4\xA0",                          // Среда
    "\x97\xA5\xE2\xA2\xA5\xE0\xA3",                  // Четверг
    "\x8F\xEF\xE2\xAD\xA8\xE6\xA0",                  // Пятница
    "\x91\xE3\xA1\xA1\xAE\xE2\xA0",                  // Суббота
};

constexpr MonthNames kMonthsEnglish = {"January", "February", "March",     "April",   "May",      "June",
                                       "July",    "August",   "September", "October", "November", "December"};
constexpr MonthNames kMonthsItalian = {"Gennaio", "Febbraio", "Marzo",     "Aprile",  "Maggio",   "Giugno",
                                       "Luglio",  "Agosto",   "Settembre", "Ottobre", "Novembre", "Dicembre"};
constexpr MonthNames kMonthsFrench = {"Janvier", "F\x82vrier", "Mars",      "Avril",   "Mai",      "Juin",
                                      "Juillet", "Ao\x96t",    "Septembre", "Octobre", "Novembre", "D\x82" "cembre"};
constexpr MonthNames kMonthsGerman = {"Januar", "Februar", "M\x84rz",    "April",   "Mai",      "Juni",
                                      "Juli",   "August",  "September", "Oktober", "November", "Dezember"};
constexpr MonthNames kMonthsSpanish = {"Enero", "Febrero", "Marzo",      "Abril",   "Mayo",      "Junio",
                                       "Julio", "Agosto",  "Septiembre", "Octubre", "Noviembre", "Diciembre"};
constexpr MonthNames kMonthsRussian = {
    "\x9F\xAD\xA2\xA0\xE0\xEC",              // Январь
    "\x94\xA5\xA2\xE0\xA0\xAB\xEC",          // Февраль
    "\x8C\xA0\xE0\xE2",                      // Март
    "\x80\xAF\xE0\xA5\xAB\xEC",              // Апрель
    "\x8C\xA0\xA9",                          // Май
    "\x88\xEE\xAD\xEC",                      // Июнь
    "\x88\xEE\xAB\xEC",                      // Июль
    "\x80\xA2\xA3\xE3\xE1\xE2",              // Август
    "\x91\xA5\xAD\xE2\xEF\xA1\xE0\xEC",      // Сентябрь
    "\x8E\xAA\xE2\xEF\xA1\xE0\xEC",          // Октябрь
    "\x8D\xAE\xEF\xA1\xE0\xEC",              // Ноябрь
    "\x84\xA5\xAA\xA0\xA1\xE0\xEC",          // Декабрь
};

// By DateFormat 0..8: the language's tables and the slice widths.
struct Language {
  const DayNames* days;
  const MonthNames* months;
};
constexpr Language kLanguages[9] = {
    {&kDaysEnglish, &kMonthsEnglish}, {&kDaysEnglish, &kMonthsEnglish}, {&kDaysEnglish, &kMonthsEnglish},
    {&kDaysItalian, &kMonthsItalian}, {&kDaysFrench, &kMonthsFrench},   {&kDaysGerman, &kMonthsGerman},
    {&kDaysSpanish, &kMonthsSpanish}, {&kDaysFrench, &kMonthsFrench},   {&kDaysRussian, &kMonthsRussian},
};
constexpr int kDayWidth[9] = {9, 9, 9, 9, 8, 10, 9, 8, 11};
constexpr int kMonthWidth[9] = {9, 9, 9, 9, 9, 9, 10, 9, 8};

std::string Slice(const char* name, int width) {
  std::string s(name);
  s.resize(size_t(width), ' ');
  return s;
}

// The decimal value of a text of digits; false for anything else.
bool WholeNumber(std::string_view s, int& v) {
  if (s.empty()) return false;
  v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    if (v < 100000) v = v * 10 + (c - '0');
  }
  return true;
}

int NumberOr0(std::string_view s) {
  int v = 0;
  return WholeNumber(s, v) ? v : 0;
}

// A date argument in the internal form.
std::string Internal(const std::string& date) {
  std::string s = date.substr(0, 10);
  DateToMDY(s);
  return s;
}

bool IsBlankInternal(const std::string& s) { return AllTrim(s).empty() || s == BlankDate(0); }

std::string Sub(const std::string& s, size_t from, size_t n = std::string::npos) {
  return from < s.size() ? s.substr(from, n) : std::string();
}

std::string WithWidth(int v, size_t width) {
  std::string s = std::to_string(v);
  if (s.size() < width) s.insert(0, width - s.size(), ' ');
  return s;
}

std::string BlanksToZeros(std::string s) {
  for (auto& c : s)
    if (c == ' ') c = '0';
  return s;
}

std::string TwoDigits(int v) { return BlanksToZeros(WithWidth(v, 2)); }

}  // namespace

bool IsLeapYear(int Year) {
  if (Year % 400 == 0) return true;
  if (Year % 4 != 0) return false;
  return Year % 100 != 0;
}

int DaysInMonth(int Year, int Month) {
  switch (Month) {
    case 2: return IsLeapYear(Year) ? 29 : 28;
    case 4: case 6: case 9: case 11: return 30;
    default: return 31;
  }
}

bool CheckDate(std::string& S) {
  std::string s = AllTrim(S);
  DateToMDY(s);
  if (IsBlankInternal(s)) {
    S = BlankDate(D().DateFormat);
    return true;
  }
  if ((s.size() != 8 && s.size() != 10) || s[2] != '/' || s[5] != '/') return false;
  int year = 0, month = 0, day = 0;
  std::string ys = s.substr(6);
  if (!WholeNumber(ys, year) || !WholeNumber(s.substr(0, 2), month) || !WholeNumber(s.substr(3, 2), day))
    return false;
  if (month < 1 || month > 12 || day < 1 || day > 31) return false;
  if (month == 2 && day > 29) return false;
  if ((month == 4 || month == 6 || month == 9 || month == 11) && day > 30) return false;
  if (ys.size() == 2) year = CenturyOf(ys);
  if (month == 2 && day == 29 && !IsLeapYear(year)) return false;
  // Without the century a four-digit year is written with two.
  if (s.size() == 10 && !D().CenturyOn) s = s.substr(0, 6) + s.substr(8, 2);
  if (D().DateFormat != 0) MDYToDate(s);
  S = s;
  return true;
}

bool IsValidDate(const std::string& S) {
  std::string s = S.substr(0, 10);
  if (!CheckDate(s)) return false;
  return s != BlankDate(D().DateFormat);
}

TDateParts DateToParts(const std::string& S) {
  std::string s = BlanksToZeros(S);
  TDateParts p;
  p.Month = uint8_t(NumberOr0(Sub(s, 0, 2)));
  p.Day = uint8_t(NumberOr0(Sub(s, 3, 2)));
  if (s.size() >= 10) {
    p.Year = int16_t(NumberOr0(Sub(s, 6, 4)));
  } else {
    p.Year = int16_t(CenturyOf(Sub(s, 6, 2)));
  }
  return p;
}

int32_t JulianDay(const TDateParts& D) {
  int y = D.Year, m = D.Month, d = D.Day;
  int m1 = m < 3 ? m + 12 : m;
  int y1 = (y < 0 ? y + 4717 : y + 4716) - (m < 3 ? 1 : 0);
  int32_t a = (m1 + 1) * 153 / 5 + int32_t((uint32_t(uint16_t(y1)) * 1461u) >> 2) + d - 1524;
  int y2 = m < 3 ? y - 1 : y;
  // The 4000-year term is not Gregorian, but the sibling programs' day
  // numbers carry it, so it stays.
  int32_t b = a + 2 - y2 / 100 + y2 / 400 - y2 / 4000;
  return b >= 2299161 ? b : a;
}

int32_t DateDiff(const std::string& Date1, const std::string& Date2) {
  std::string d1 = Date1.substr(0, 10), d2 = Date2.substr(0, 10);
  if (!IsValidDate(d1) || !IsValidDate(d2)) {
    SetError(220, "\n[DateDiff(" + d1 + "," + d2 + ")]");
    return 0;
  }
  LastErrorCode() = 0;
  return JulianDay(DateToParts(Internal(d1))) - JulianDay(DateToParts(Internal(d2)));
}

std::string DateFrom(int Year, int Month, int Day) {
  std::string ms = WithWidth(Month, 2), ds = WithWidth(Day, 2);
  int fullYear = Year;
  std::string ys;
  if (Year <= 99) {
    std::string yy = BlanksToZeros(WithWidth(Year, 2));
    fullYear = CenturyOf(yy);
    ys = D().CenturyOn ? std::to_string(fullYear) : yy;
  } else {
    ys = WithWidth(Year, 4);
  }
  std::string s = BlanksToZeros(ms + "/" + ds + "/" + ys);
  MDYToDate(s);
  if (Month >= 1 && Month <= 12 && Day >= 1 && Day <= DaysInMonth(fullYear, Month)) {
    LastErrorCode() = 0;
  } else {
    SetError(220, "\n[DateFrom(" + BlanksToZeros(WithWidth(fullYear, 4)) + "," + ms + "," + ds + ")]");
  }
  return s;
}

int DOW(const std::string& Date) {
  TDateParts p = DateToParts(Internal(Date));
  int m = p.Month, d = p.Day, y = p.Year;
  int c = y / 100, k = y % 100;
  if (m < 3) {
    m += 12;
    if (k == 0) {
      k = 99;
      c -= 1;
    } else {
      k -= 1;
    }
  }
  int h = (d + (m + 1) * 26 / 10 + k + k / 4 + c / 4 - 2 * c) % 7;
  if (h < 0) h += 7;
  return h == 0 ? 7 : h;
}

std::string CDOW(const std::string& Date) {
  std::string s = Internal(Date);
  if (IsBlankInternal(s)) return std::string(10, ' ');
  int f = D().DateFormat % 9;
  return Slice((*kLanguages[f].days)[size_t(DOW(Date) - 1)], kDayWidth[f]);
}

std::string CMonth(const std::string& Date) {
  std::string s = Internal(Date);
  if (IsBlankInternal(s)) return std::string(9, ' ');
  int f = D().DateFormat % 9;
  int m = DateToParts(s).Month;
  if (m < 1 || m > 12) return std::string(9, ' ');
  return Slice((*kLanguages[f].months)[size_t(m - 1)], kMonthWidth[f]);
}

int Month(const std::string& Date) { return NumberOr0(Sub(Internal(Date), 0, 2)); }
int Day(const std::string& Date) { return NumberOr0(Sub(Internal(Date), 3, 2)); }
int Year(const std::string& Date) { return NumberOr0(Sub(Internal(Date), 6)); }

std::string DTOS(const std::string& Date) {
  std::string s = Internal(Date);
  // An empty date field holds blanks; a century in front of blank digits
  // would store a broken date.
  if (IsBlankInternal(s)) return std::string(8, ' ');
  std::string y = Sub(s, 6, 4);
  if (y.size() == 2) y = CenturyDigits(y) + y;
  return y + Sub(s, 0, 2) + Sub(s, 3, 2);
}

void GetDate(int& Year, int& Month, int& Day, int& DayOfWeek) {
  std::time_t now = plat::Now();
  struct tm tmv {};
  localtime_r(&now, &tmv);
  Year = tmv.tm_year + 1900;
  Month = tmv.tm_mon + 1;
  Day = tmv.tm_mday;
  DayOfWeek = tmv.tm_wday + 1;
}

std::string TodayText() {
  int y, m, d, w;
  GetDate(y, m, d, w);
  if (!D().CenturyOn) y %= 100;
  return DateFrom(y, m, d);
}

std::string TimeStr() {
  plat::DateTimeParts p = plat::LocalParts(plat::Now());
  return TwoDigits(p.hour) + ":" + TwoDigits(p.minute) + ":" + TwoDigits(p.second);
}

std::string TimeFrom(int H, int M, int S) {
  std::string sep(1, D().TzTimeSep);
  return TwoDigits(H) + sep + TwoDigits(M) + sep + TwoDigits(S);
}

uint32_t TickSeconds() { return plat::TickCount() / 1000; }

TFileStamp UnpackFileDate(uint32_t FileDate) {
  plat::DateTimeParts p = plat::UnpackDosDateTime(FileDate);
  return {uint16_t(p.year), uint16_t(p.month), uint16_t(p.day),
          uint16_t(p.hour), uint16_t(p.minute), uint16_t(p.second)};
}

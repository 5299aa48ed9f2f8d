#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/psys.h"
#include "tablebase/timedate.h"
#include "tablebase/tzutils.h"
#include "testutil/localtime.h"

namespace {

// The engine started on a fixed day (2026-06-15, so EpochYear is 1956).
class DatesTest : public ::testing::Test {
 protected:
  void SetUp() override { StartOn(2026, 6, 15); }
  void TearDown() override {
    plat::SetClock({});
    ResetEngineState();
  }
  static void StartOn(int y, int m, int d, int h = 12, int mi = 0, int s = 0) {
    std::time_t t = LocalTime(y, m, d, h, mi, s);
    plat::SetClock([t] { return t; });
    ResetEngineState();
  }
};

std::string Decode(const std::string& bytes, const char* codepage) {
  iconv_t cd = iconv_open("UTF-8", codepage);
  EXPECT_NE(cd, iconv_t(-1)) << codepage;
  std::string in = bytes, out(bytes.size() * 4, '\0');
  char* ip = in.data();
  char* op = out.data();
  size_t il = in.size(), ol = out.size();
  EXPECT_NE(iconv(cd, &ip, &il, &op, &ol), size_t(-1));
  iconv_close(cd);
  out.resize(out.size() - ol);
  return out;
}

TEST_F(DatesTest, RoundTripThroughEveryPicture) {
  struct Case {
    int format;
    const char* shortYear;
    const char* longYear;
  } cases[] = {
      {0, "11/05/24", "11/05/2024"}, {1, "24.11.05", "2024.11.05"}, {2, "05/11/24", "05/11/2024"},
      {3, "05-11-24", "05-11-2024"}, {4, "05.11.24", "05.11.2024"}, {5, "05.11.24", "05.11.2024"},
      {6, "05.11.24", "05.11.2024"}, {7, "05.11.24", "05.11.2024"}, {8, "05.11.24", "05.11.2024"},
  };
  for (bool century : {false, true}) {
    for (const auto& c : cases) {
      ResetEngineState();
      if (century) SetCentury();
      SetDate(c.format);
      SCOPED_TRACE(testing::Message() << "format " << c.format << " century " << century);
      // A year above 99 is always written with four digits.
      std::string text = DateFrom(century ? 2024 : 24, 11, 5);
      EXPECT_EQ(text, century ? c.longYear : c.shortYear);
      EXPECT_EQ(LastErrorCode(), 0);
      std::string mdy = text;
      DateToMDY(mdy);
      EXPECT_EQ(mdy, century ? "11/05/2024" : "11/05/24");
      MDYToDate(mdy);
      EXPECT_EQ(mdy, text);
      std::string checked = text;
      EXPECT_TRUE(CheckDate(checked));
      EXPECT_EQ(checked, text);
      EXPECT_EQ(DTOS(text), "20241105");
      EXPECT_EQ(Month(text), 11);
      EXPECT_EQ(Day(text), 5);
      EXPECT_EQ(Year(text), century ? 2024 : 24);
      EXPECT_EQ(DateFrom(24, 11, 5), text);
    }
  }
}

TEST_F(DatesTest, PicturesArePublishedForTheWindowLibrary) {
  SetCentury();
  SetDate(4);
  EXPECT_EQ(Engine().format.ShortDateFormat, "dd.MM.yyyy");
  EXPECT_EQ(Engine().format.DateSeparator, '.');
  SetDateFormat(1);
  EXPECT_EQ(Engine().format.ShortDateFormat, "yyyy.MM.dd");
  SetDateFormat(3);
  EXPECT_EQ(Engine().format.ShortDateFormat, "dd-MM-yyyy");
  EXPECT_EQ(Engine().format.DateSeparator, '-');
  SetDateFormat(9);
  EXPECT_EQ(Engine().dates.DateFormat, 0);
  EXPECT_EQ(Engine().format.ShortDateFormat, "MM/dd/yyyy");
  EXPECT_EQ(Engine().format.DateSeparator, '/');
}

TEST_F(DatesTest, BlankDates) {
  const char* expected[] = {"  /  /  ", "  .  .  ", "  /  /  ", "  -  -  ", "  .  .  ",
                            "  .  .  ", "  .  .  ", "  .  .  ", "  .  .  "};
  for (int f = 0; f < 9; ++f) EXPECT_EQ(BlankDate(f), expected[f]) << f;
  SetCentury();
  EXPECT_EQ(BlankDate(1), "    .  .  ");
  EXPECT_EQ(BlankDate(4), "  .  .    ");
  SetDate(4);
  std::string blank = "  .  .    ";
  EXPECT_TRUE(CheckDate(blank));
  EXPECT_EQ(blank, "  .  .    ");
  EXPECT_FALSE(IsValidDate(blank));
  EXPECT_EQ(CDOW(blank), std::string(10, ' '));
  EXPECT_EQ(CMonth(blank), std::string(9, ' '));
  EXPECT_EQ(DTOS(blank), std::string(8, ' '));
}

TEST_F(DatesTest, JulianDaysOfKnownDates) {
  struct Case {
    int16_t y;
    uint8_t m, d;
    int32_t jd;
  } cases[] = {
      {2000, 1, 1, 2451545}, {1582, 10, 15, 2299161}, {1582, 10, 4, 2299160}, {1, 1, 1, 1721424},
      {1970, 1, 1, 2440588}, {2024, 2, 29, 2460370},  {1900, 3, 1, 2415080},
  };
  for (const auto& c : cases) EXPECT_EQ(JulianDay({c.y, c.m, c.d}), c.jd) << c.y << "-" << int(c.m) << "-" << int(c.d);
  // The 4000-year term of the sibling programs' day numbers: a day short of
  // the proleptic Gregorian count from 4000-03-01 on.
  EXPECT_EQ(JulianDay({4000, 3, 1}) - JulianDay({4000, 2, 28}), 1);
}

TEST_F(DatesTest, LeapYears) {
  EXPECT_TRUE(IsLeapYear(2000));
  EXPECT_TRUE(IsLeapYear(2024));
  EXPECT_FALSE(IsLeapYear(1900));
  EXPECT_FALSE(IsLeapYear(2023));
}

TEST_F(DatesTest, DateDiffAcrossLeapDayBothWays) {
  SetCentury();
  SetDate(4);
  struct Case {
    const char* a;
    const char* b;
    int diff;
  } cases[] = {
      {"01.03.2024", "28.02.2024", 2}, {"28.02.2024", "01.03.2024", -2}, {"01.03.2023", "28.02.2023", 1},
      {"01.01.2000", "31.12.1999", 1}, {"31.12.1999", "01.01.2000", -1}, {"01.03.2000", "28.02.2000", 2},
      {"01.03.1900", "28.02.1900", 1},
  };
  for (const auto& c : cases) {
    LastErrorCode() = 99;
    EXPECT_EQ(DateDiff(c.a, c.b), c.diff) << c.a << " - " << c.b;
    EXPECT_EQ(LastErrorCode(), 0);
  }
}

TEST_F(DatesTest, InvalidDatesReportError220WithTheirMessages) {
  SetDate(4);
  AutoErrorHandlingScope off(false);
  EXPECT_EQ(DateDiff("31.04.24", "01.01.24"), 0);
  EXPECT_EQ(LastErrorCode(), 220);
  EXPECT_EQ(TakeLastErrorMessage(), "\n[DateDiff(31.04.24,01.01.24)]");
  EXPECT_EQ(DateDiff("01.01.24", "  .  .  "), 0);
  EXPECT_EQ(TakeLastErrorMessage(), "\n[DateDiff(01.01.24,  .  .  )]");
  EXPECT_EQ(DateFrom(2024, 2, 30), "30.02.2024");
  EXPECT_EQ(LastErrorCode(), 220);
  EXPECT_EQ(TakeLastErrorMessage(), "\n[DateFrom(2024, 2,30)]");
  DateFrom(23, 2, 29);
  EXPECT_EQ(LastErrorCode(), 220);
  EXPECT_EQ(TakeLastErrorMessage(), "\n[DateFrom(2023, 2,29)]");
  EXPECT_EQ(DateFrom(24, 2, 29), "29.02.24");
  EXPECT_EQ(LastErrorCode(), 0);
}

TEST_F(DatesTest, InvalidDateRaisesWhenRaisingIsOn) {
  SetDate(4);
  ErrorRaisesScope raises(true);
  try {
    DateDiff("30.02.24", "01.01.24");
    FAIL() << "no exception";
  } catch (const EZavivError& e) {
    EXPECT_STREQ(e.what(), "Error # 220 (Invalid parameter)\r\n\n[DateDiff(30.02.24,01.01.24)]");
  }
}

TEST_F(DatesTest, CheckDateRules) {
  SetDate(4);
  struct Case {
    const char* in;
    bool ok;
    const char* out;
  } cases[] = {
      {"31.04.24", false, "31.04.24"}, {"30.02.24", false, "30.02.24"}, {"29.02.23", false, "29.02.23"},
      {"29.02.24", true, "29.02.24"},  {"31.12.99", true, "31.12.99"},  {"5.3.24", true, "05.03.24"},
      {" 1.1.1", true, "01.01.01"},    {"00.01.24", false, "00.01.24"}, {"01.13.24", false, "01.13.24"},
      {"1a.01.24", false, "1a.01.24"}, {"05.11.2024", true, "05.11.24"}, {"29.02.1900", false, "29.02.1900"},
      {"  .  .  ", true, "  .  .  "},  {"", true, "  .  .  "},
  };
  for (const auto& c : cases) {
    std::string s = c.in;
    EXPECT_EQ(CheckDate(s), c.ok) << c.in;
    EXPECT_EQ(s, c.out) << c.in;
  }
  EXPECT_TRUE(IsValidDate("29.02.24"));
  EXPECT_FALSE(IsValidDate("  .  .  "));
  EXPECT_FALSE(IsValidDate("29.02.23"));
}

TEST_F(DatesTest, PictureToInternalForm) {
  SetDate(4);
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"5.3.24", "03/05/24"}, {"05.03.2024", "03/05/2024"}, {"  .  .  ", "  /  /  "},
      {"0503", "0503"},       {"5-3-24", "03/05/24"},
  };
  for (const auto& c : cases) {
    std::string s = c.in;
    DateToMDY(s);
    EXPECT_EQ(s, c.out) << c.in;
  }
  std::string withNul("05.03.24\0.1", 11);
  DateToMDY(withNul);
  EXPECT_EQ(withNul, "03/05/24");
  SetDate(1);
  std::string s = "2024.3.5";
  DateToMDY(s);
  EXPECT_EQ(s, "03/05/2024");
  SetCentury();
  s = "24.3.5";
  DateToMDY(s);
  EXPECT_EQ(s, "03/05/2024");
  MDYToDate(s);
  EXPECT_EQ(s, "2024.03.05");
}

TEST_F(DatesTest, CenturyWindowAroundTheEpoch) {
  EXPECT_EQ(Engine().dates.EpochYear, 1956);
  EXPECT_EQ(CenturyOf("55"), 2055);
  EXPECT_EQ(CenturyOf("56"), 1956);
  EXPECT_EQ(CenturyOf("00"), 2000);
  EXPECT_EQ(CenturyOf("99"), 1999);
  EXPECT_EQ(CenturyDigits("55"), "20");
  EXPECT_EQ(CenturyDigits("56"), "19");
  SetDate(4);
  EXPECT_EQ(DTOS("01.01.55"), "20550101");
  EXPECT_EQ(DTOS("01.01.56"), "19560101");

  StartOn(2000, 1, 1);
  EXPECT_EQ(Engine().dates.EpochYear, 1930);
  EXPECT_EQ(CenturyOf("29"), 2029);
  EXPECT_EQ(CenturyOf("30"), 1930);
  StartOn(2070, 12, 31);
  EXPECT_EQ(CenturyOf("00"), 2000);
  EXPECT_EQ(CenturyOf("99"), 2099);
}

TEST_F(DatesTest, DayOfWeekAndNames) {
  SetDate(5);
  EXPECT_EQ(DOW("01.01.24"), 2);
  EXPECT_EQ(DOW("29.02.00"), 3);  // Tuesday
  EXPECT_EQ(DOW("06.01.24"), 7);
  EXPECT_EQ(DOW("07.01.24"), 1);
  EXPECT_EQ(CDOW("01.01.24"), "Montag    ");
  EXPECT_EQ(CMonth("01.03.24"), "M\x84rz     ");
  EXPECT_EQ(Decode(CMonth("01.03.24"), "CP850"), "März     ");

  SetDate(4);
  EXPECT_EQ(CDOW("01.01.24"), "Lundi   ");
  EXPECT_EQ(CMonth("01.02.24"), "F\x82vrier  ");
  EXPECT_EQ(Decode(CMonth("01.08.24"), "CP850"), "Août     ");
  EXPECT_EQ(Decode(CMonth("01.12.24"), "CP850"), "Décembre ");

  SetDate(8);
  EXPECT_EQ(Decode(CDOW("31.12.23"), "CP866"), "Воскресенье");
  EXPECT_EQ(Decode(CMonth("01.09.24"), "CP866"), "Сентябрь");
  EXPECT_EQ(CMonth("01.05.24").size(), 8u);

  struct Case {
    int format;
    const char* day;
    const char* month;
  } cases[] = {
      {0, "Monday   ", "September"}, {1, "Monday   ", "September"}, {2, "Monday   ", "September"},
      {3, "Lunedi   ", "Settembre"}, {6, "Lunes    ", "Septiembre"}, {7, "Lundi   ", "Septembre"},
  };
  for (const auto& c : cases) {
    SetDate(c.format);
    std::string monday = DateFrom(2024, 9, 2);
    EXPECT_EQ(CDOW(monday), c.day) << c.format;
    EXPECT_EQ(CMonth(monday), c.month) << c.format;
  }
}

TEST_F(DatesTest, TodayAndTimeComeFromTheEngineClock) {
  StartOn(2024, 2, 29, 7, 5, 9);
  SetDate(4);
  EXPECT_EQ(TodayText(), "29.02.24");
  SetCentury();
  EXPECT_EQ(TodayText(), "29.02.2024");
  EXPECT_EQ(TimeStr(), "07:05:09");
  int y, m, d, w;
  GetDate(y, m, d, w);
  EXPECT_EQ(y, 2024);
  EXPECT_EQ(m, 2);
  EXPECT_EQ(d, 29);
  EXPECT_EQ(w, 5);  // Thursday
  EXPECT_EQ(TimeFrom(9, 5, 0), "09:05:00");
  EXPECT_EQ(TimeFrom(23, 59, 59), "23:59:59");
  Engine().dates.TzTimeSep = '.';
  EXPECT_EQ(TimeFrom(9, 5, 0), "09.05.00");
}

TEST_F(DatesTest, CountryFromTheUserLanguage) {
  struct Case {
    uint16_t lang;
    int country;
  } cases[] = {
      {0x0407, 5}, {0x0409, 0}, {0x0809, 2}, {0x0C09, 2}, {0x040A, 6}, {0x040C, 4},
      {0x0C0C, 7}, {0x080C, 4}, {0x0410, 3}, {0x0419, 8}, {0x0415, 0}, {0x0000, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(CountryFromLangID(c.lang), c.country) << std::hex << c.lang;
}

TEST_F(DatesTest, StartUpTakesFormatAndSeparatorsFromTheLocale) {
  const char* saved = std::getenv("LC_ALL");
  std::string keep = saved ? saved : "";
  struct Case {
    const char* locale;
    int country;
    char dec, thou;
  } cases[] = {
      {"de_DE.UTF-8", 5, ',', '.'}, {"ru_RU.UTF-8", 8, '.', ' '}, {"en_US.UTF-8", 0, '.', ','},
      {"fr_CA.UTF-8", 7, '.', ','}, {"pl_PL.UTF-8", 0, '.', ','}, {"it_IT", 3, ',', '.'},
  };
  for (const auto& c : cases) {
    setenv("LC_ALL", c.locale, 1);
    ResetEngineState();
    EXPECT_EQ(Engine().dates.Country, c.country) << c.locale;
    EXPECT_EQ(Engine().dates.DateFormat, c.country) << c.locale;
    EXPECT_EQ(Engine().text.TzDecimalSep, c.dec) << c.locale;
    EXPECT_EQ(Engine().text.TzThousandSep, c.thou) << c.locale;
  }
  if (saved) setenv("LC_ALL", keep.c_str(), 1);
  else unsetenv("LC_ALL");
}

TEST_F(DatesTest, FileDatesUnpack) {
  // 2024-02-29 13:45:58 in the DOS packed form.
  uint32_t packed = (uint32_t((2024 - 1980) << 9 | 2 << 5 | 29) << 16) | uint32_t(13 << 11 | 45 << 5 | 29);
  TFileStamp s = UnpackFileDate(packed);
  EXPECT_EQ(s.Year, 2024);
  EXPECT_EQ(s.Month, 2);
  EXPECT_EQ(s.Day, 29);
  EXPECT_EQ(s.Hour, 13);
  EXPECT_EQ(s.Minute, 45);
  EXPECT_EQ(s.Second, 58);
}

}  // namespace

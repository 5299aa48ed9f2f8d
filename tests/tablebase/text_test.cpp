#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"
#include "testutil/comma_locale.h"
#include "testutil/number_cases.h"

namespace {

class TextTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetEngineState(); }
  void TearDown() override { ResetEngineState(); }
  static void Separators(char dec, char thou) {
    Engine().text.TzDecimalSep = dec;
    Engine().text.TzThousandSep = thou;
  }
};

TEST_F(TextTest, AtCountsOverlappingAndFromTheRight) {
  struct Case {
    int n;
    const char* sub;
    const char* s;
    int pos;
  } cases[] = {
      {1, "ana", "banana", 2}, {2, "ana", "banana", 4}, {3, "ana", "banana", 0}, {-1, "an", "banana", 4},
      {-2, "an", "banana", 2}, {3, "an", "banana", 0}, {0, "a", "banana", 0},    {1, "", "banana", 0},
      {1, "a", "", 0},         {3, "aa", "aaaa", 3},   {-1, "aa", "aaaa", 3},    {-3, "aa", "aaaa", 1},
      {1, "banana", "ban", 0}, {-1, "b", "banana", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(At(c.n, c.sub, c.s), c.pos) << c.n << " " << c.sub << " in " << c.s;
}

TEST_F(TextTest, OccursCountsWithoutOverlap) {
  EXPECT_EQ(Occurs("a", "banana"), 3);
  EXPECT_EQ(Occurs("ana", "banana"), 1);
  EXPECT_EQ(Occurs("aa", "aaaaa"), 2);
  EXPECT_EQ(Occurs("", "banana"), 0);
  EXPECT_EQ(Occurs("a", ""), 0);
  EXPECT_EQ(RAt("an", "banana"), 4);
  EXPECT_EQ(RAt("x", "banana"), 0);
  EXPECT_EQ(RAt("", "banana"), 0);
}

TEST_F(TextTest, TrimsPadsAndCase) {
  EXPECT_EQ(RTrim(" a b \t\r\n"), " a b");
  EXPECT_EQ(LTrim("\x01 a "), "a ");
  EXPECT_EQ(AllTrim("   "), "");
  EXPECT_EQ(AllTrim(" x "), "x");
  EXPECT_EQ(PadR("ab", 5), "ab   ");
  EXPECT_EQ(PadR("abcdef", 3), "abcdef");
  EXPECT_EQ(PadR("ab", -1), "ab");
  EXPECT_EQ(Space(3), "   ");
  EXPECT_EQ(Space(0), "");
  EXPECT_EQ(Replicate('*', 4), "****");
  EXPECT_EQ(Replicate('*', -2), "");
  EXPECT_EQ(IIf(true, "a", "b"), "a");
  EXPECT_EQ(IIf(false, 1, 2), 2);
  // Polish letters in Windows-1250: ąćęłńóśźż / ĄĆĘŁŃÓŚŹŻ.
  const std::string lower = "\xB9\xE6\xEA\xB3\xF1\xF3\x9C\x9F\xBF";
  const std::string upper = "\xA5\xC6\xCA\xA3\xD1\xD3\x8C\x8F\xAF";
  EXPECT_EQ(Upper("za" + lower), "ZA" + upper);
  EXPECT_EQ(Lower("ZA" + upper), "za" + lower);
  EXPECT_TRUE(IsAlpha("\xB3\xF3"));
  EXPECT_FALSE(IsAlpha("1a"));
  EXPECT_FALSE(IsAlpha(""));
  EXPECT_EQ(UpperChar('\xBF'), '\xAF');
  EXPECT_EQ(LowerChar('\xA3'), '\xB3');
}

TEST_F(TextTest, StrBeforeAndStrBetween) {
  EXPECT_EQ(StrBetween("(", ")", "a(b)c(d)e"), "b)c(d");
  EXPECT_EQ(StrBetween("(", ")", "a(b"), "");
  EXPECT_EQ(StrBetween("(", ")", "a)b("), "");
  EXPECT_EQ(StrBetween("[", "]", "[]"), "");
  EXPECT_EQ(StrBetween("|", "|", "x|y|z"), "y");
  EXPECT_EQ(StrBetween("|", "|", "x|y"), "");
  EXPECT_EQ(StrBetween("<<", ">>", "<<a>>"), "a");
  EXPECT_EQ(StrBefore("=", "key=value"), "key");
  EXPECT_EQ(StrBefore("=", "novalue"), "");
}

TEST_F(TextTest, ValIntReadsTheLeadingWholeNumber) {
  struct Case {
    const char* s;
    int16_t v;
  } dot[] = {
      {"", 0},    {" +1,234", 1234}, {"-5", 0},  {"99999", 32767}, {"12 34", 12}, {"12abc", 12},
      {"$15", 15}, {"  + 7", 7},     {"+", 0},   {"32767", 32767}, {"0042", 42},  {"1,5", 15},
  };
  for (const auto& c : dot) EXPECT_EQ(ValInt(c.s), c.v) << "'" << c.s << "'";
  Separators(',', '.');
  EXPECT_EQ(ValInt("1.234"), 1234);
  EXPECT_EQ(ValInt("1,5"), 1);
}

TEST_F(TextTest, CleanNumberUnderBothSeparators) {
  struct Case {
    char dec;
    const char* in;
    const char* out;
  } cases[] = {
      {',', "-1.234,50", "-1234.50"}, {',', ",5", "0.5"},       {',', "- ,5", "-0.5"},   {',', "$ 1.000", "1000"},
      {',', "12,", "12"},             {',', "1 2", "1"},        {',', "", ""},           {',', "-", ""},
      {',', "+-3", "-3"},             {',', "1,2,3", "1.2"},   {'.', "-1,234.50", "-1234.50"},
      {'.', ".5", "0.5"},             {'.', "- .5", "-0.5"},    {'.', "1.2.3", "1.2.3"}, {'.', "12a", "12"},
      {'.', "--+- 7", "-7"},          {'.', "3-4", "3"},
  };
  for (const auto& c : cases) {
    Separators(c.dec, c.dec == ',' ? '.' : ',');
    std::string s = c.in;
    CleanNumber(s);
    EXPECT_EQ(s, c.out) << "'" << c.in << "' with '" << c.dec << "'";
  }
}

TEST_F(TextTest, ValNumberGivesTheSameNumberUnderBothSeparators) {
  struct Case {
    const char* comma;
    const char* dot;
    int32_t v;
  } cases[] = {
      {"1.234,56", "1,234.56", 1234}, {"-12,9", "-12.9", -12}, {",75", ".75", 0},
      {"7", "7", 7},                  {"", "", 0},             {"abc", "abc", 0},
      {"99.999.999.999", "99,999,999,999", 2147483647},
  };
  for (const auto& c : cases) {
    Separators(',', '.');
    EXPECT_EQ(ValNumber(c.comma), c.v) << c.comma;
    Separators('.', ',');
    EXPECT_EQ(ValNumber(c.dot), c.v) << c.dot;
  }
}

TEST_F(TextTest, RemoveKeyword) {
  struct Case {
    const char* kw;
    const char* in;
    bool removed;
    const char* out;
  } cases[] = {
      {"EXCLUSIVE", "EXCLUSIVE ALIAS X", true, "ALIAS X"},
      {"EXCLUSIVE", "EXCLUSIVE2", false, "EXCLUSIVE2"},
      {"exclusive", "alias x exclusive", true, "ALIAS X"},
      {"EXCLUSIVE", "EXCLUSIVE_A EXCLUSIVE", true, "EXCLUSIVE_A"},
      {"EXCLUSIVE", "EXCLUSIVE EXCLUSIVE", true, ""},
      {"EXCLUSIVE", "EXCLUSIVEX", false, "EXCLUSIVEX"},
      {"EXCLUSIVE", "EXCLUSIVE\\DATA", false, "EXCLUSIVE\\DATA"},
      {"EXCLUSIVE", "EXCLUSIVE/DATA", false, "EXCLUSIVE/DATA"},
      // The character before the keyword is not looked at.
      {"EXCLUSIVE", "NOEXCLUSIVE", true, "NO"},
      {"EXCLUSIVE", "EXCLUSIVE,ALIAS", true, ",ALIAS"},
      {"", "  alias x ", false, "ALIAS X"},
  };
  for (const auto& c : cases) {
    std::string s = c.in;
    EXPECT_EQ(RemoveKeyword(c.kw, s), c.removed) << c.in;
    EXPECT_EQ(s, c.out) << c.in;
  }
}

TEST_F(TextTest, StrIntAndStrFloat) {
  EXPECT_EQ(StrInt(42, 5), "   42");
  EXPECT_EQ(StrInt(-42, 2), "-42");
  EXPECT_EQ(StrInt(123456, 3), "123456");
  struct Case {
    int w, d;
    double v;
    const char* out;
  } cases[] = {
      {10, 2, 1234.5, "   1234.50"}, {10, 0, 1234.5, "      1235"}, {4, 1, 9.96, "10.0"},
      {1, 3, 9.9996, "10.000"},      {0, 2, 1e20, "100000000000000000000.00"},
  };
  for (const auto& c : cases) EXPECT_EQ(StrFloat(c.w, c.d, c.v), c.out) << c.v;
  EXPECT_EQ(StrFloat(40, 2, 1.0).size(), 30u);
  Separators(',', '.');
  EXPECT_EQ(StrFloat(8, 2, -1234.5), "-1234,50");
  EXPECT_EQ(StrFloat(5, 0, 12.0), "   12");
}

// The one formatter and StrFloat round the binary value, halves away from
// zero; StrFloat only puts in the user's decimal separator.
TEST_F(TextTest, NumbersRoundTheBinaryValueHalvesAwayFromZero) {
  for (const RoundingCase& c : kRoundingCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(FormatNumber(c.value, 0, c.decimals), c.text);
    EXPECT_EQ(FormatNumber(c.value, 20, c.decimals), RoundingText(c, 20));
    EXPECT_EQ(StrFloat(20, c.decimals, c.value), RoundingText(c, 20));
    Separators(',', '.');
    std::string comma = RoundingText(c, 20);
    std::replace(comma.begin(), comma.end(), '.', ',');
    EXPECT_EQ(StrFloat(20, c.decimals, c.value), comma);
    Separators('.', ',');
  }
}

// Away from the halves the text is the correctly rounded one.
TEST(FormatNumber, MatchesCorrectRoundingAwayFromHalves) {
  std::mt19937_64 rng(4242);
  for (int i = 0; i < 200000; ++i) {
    int decimals = int(rng() % 7);
    double v;
    switch (i % 3) {
      case 0: v = double(int64_t(rng() % 20000000000ULL) - 10000000000LL) / std::pow(10.0, int(rng() % 9)); break;
      case 1: v = std::ldexp(double(rng() % (1ULL << 53)), int(rng() % 80) - 70); break;
      default: v = double(int64_t(rng() % 2000001) - 1000000) / 100.0; break;
    }
    char exact[800];
    auto e = std::to_chars(exact, exact + sizeof exact, std::fabs(v), std::chars_format::fixed, decimals + 60);
    std::string digits(exact, e.ptr);
    size_t next = digits.find('.') + 1 + size_t(decimals);
    if (digits[next] == '5' && digits.find_first_not_of('0', next + 1) == std::string::npos) continue;
    char buf[800];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    std::string expect(buf, r.ptr);
    if (expect[0] == '-' && expect.find_first_not_of("-0.") == std::string::npos) expect.erase(0, 1);
    ASSERT_EQ(FormatNumber(v, 0, decimals), expect) << v << " " << decimals;
  }
}

// FormatNumberTo rounds in whole numbers where it can; every value gives
// the bytes of the general way: halves (odd multiples of 2^-(d+1)) and
// their neighbours, decimal texts ending in 5, any bit pattern, the edge
// where the scaled value leaves 64 bits, and values that round to zero.
TEST(FormatNumber, WholeNumberWayGivesTheGeneralBytes) {
  std::mt19937_64 rng(1250);
  const auto check = [](double v, int decimals) {
    char fast[kNumberTextMax], general[kNumberTextMax];
    const size_t n = FormatNumberTo(v, decimals, fast);
    const size_t g = FormatNumberGeneralTo(v, decimals, general);
    ASSERT_EQ(std::string(fast, n), std::string(general, g)) << std::hexfloat << v << " " << decimals;
  };
  for (int i = 0; i < 150000; ++i) {
    const int decimals = i % 5 == 0 ? int(rng() % 34) : int(rng() % 9);
    const double sign = rng() % 2 ? -1.0 : 1.0;
    double v;
    switch (i % 6) {
      case 0: v = std::ldexp(double(rng() % (1ULL << int(1 + rng() % 53)) | 1), -(decimals + 1)); break;
      case 1: {
        // d decimals and a 5 after them, as 2.675 for two: just off a half.
        std::string text = std::to_string(rng() % 100000000) + ".";
        for (int k = 0; k < decimals; ++k) text += char('0' + rng() % 10);
        text += '5';
        std::from_chars(text.data(), text.data() + text.size(), v);
        break;
      }
      case 2: {
        const uint64_t bits = rng();
        std::memcpy(&v, &bits, sizeof v);
        break;
      }
      case 3: v = std::ldexp(double(rng() % (1ULL << 53)), 64 - int(rng() % 12) - int(std::ceil(decimals * 3.3219))); break;
      case 4: v = double(rng() % 1000) * std::pow(10.0, -decimals - 1 - int(rng() % 3)); break;
      default: v = std::ldexp(double(rng() % (1ULL << 53)), int(rng() % 140) - 110); break;
    }
    v *= sign;
    check(v, decimals);
    check(std::nextafter(v, HUGE_VAL), decimals);
    check(std::nextafter(v, -HUGE_VAL), decimals);
  }
  for (double v : {0.0, -0.0, 5e-324, -5e-324, 0.5, -0.5, 1.5, 2.5, 9.995, 99.5, 1e19, 1.8446744073709552e19, 1e300, DBL_MAX,
                   HUGE_VAL, -HUGE_VAL, std::nan("")})
    for (int decimals : {-3, 0, 1, 2, 27, 28, 255, 300}) check(v, decimals);
}

TEST_F(TextTest, FileNameParts) {
  std::string dir, name, ext;
  FSplit("/data/ruv/Pracow.DBF", dir, name, ext);
  EXPECT_EQ(dir, "/data/ruv/");
  EXPECT_EQ(name, "Pracow");
  EXPECT_EQ(ext, ".DBF");
  FSplit("C:\\RUV\\DANE.X.MDX", dir, name, ext);
  EXPECT_EQ(dir, "C:\\RUV\\");
  EXPECT_EQ(name, "DANE.X");
  EXPECT_EQ(ext, ".MDX");
  FSplit("plain", dir, name, ext);
  EXPECT_EQ(dir, "");
  EXPECT_EQ(name, "plain");
  EXPECT_EQ(ext, "");
  FSplit("/a.b/c", dir, name, ext);
  EXPECT_EQ(name, "c");
  EXPECT_EQ(ext, "");

  EXPECT_EQ(DefaultExtension("/d/TABLE ", "DBF"), "/d/TABLE.DBF");
  EXPECT_EQ(DefaultExtension("/d/TABLE.TXT", "DBF"), "/d/TABLE.TXT");
  EXPECT_EQ(DefaultExtension("/d.x/TABLE", "DBF"), "/d.x/TABLE.DBF");
  EXPECT_EQ(ForceExtension("/d/TABLE.DBF", "MDX"), "/d/TABLE.MDX");
  EXPECT_EQ(ForceExtension("TABLE", "DBT"), "TABLE.DBT");
  EXPECT_EQ(StripExtension("/d/TABLE.DBF"), "/d/TABLE");

  EXPECT_EQ(FullPath("/a/b/../c/./d.dbf"), "/a/c/d.dbf");
  EXPECT_EQ(FullPath("\\a\\b\\"), "/a/b/");
  EXPECT_EQ(FullPath("/.."), "/");
  std::string cwd = std::filesystem::current_path().string();
  EXPECT_EQ(FullPath("x.dbf"), cwd + "/x.dbf");
}

TEST_F(TextTest, NumbersIgnoreTheCLibraryLocale) {
  CommaLocale loc;
  if (!loc.Active()) GTEST_SKIP() << "no locale with a decimal comma: " << loc.Why();
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.1f", 1.5);
  ASSERT_STREQ(probe, "1,5") << "the C library does not follow the locale";

  Separators('.', ',');
  EXPECT_EQ(StrFloat(8, 2, 1234.5), " 1234.50");
  EXPECT_EQ(ValNumber("1,234.56"), 1234);
  std::string s = "-1,234.50";
  CleanNumber(s);
  EXPECT_EQ(s, "-1234.50");
  EXPECT_EQ(ValInt("1,234"), 1234);

  Separators(',', '.');
  EXPECT_EQ(StrFloat(8, 2, 1234.5), " 1234,50");
  EXPECT_EQ(ValNumber("1.234,56"), 1234);
  s = "-1.234,50";
  CleanNumber(s);
  EXPECT_EQ(s, "-1234.50");
  EXPECT_EQ(ValInt("1.234"), 1234);
}

}  // namespace

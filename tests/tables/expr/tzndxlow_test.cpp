#include "tables/expr/tzndxlow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "tablebase/tzcommon.h"
#include "testutil/number_cases.h"

namespace {

std::string Hex(const BcdKey& k) {
  static const char* d = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : k) {
    s += d[b >> 4];
    s += d[b & 15];
    s += ' ';
  }
  s.pop_back();
  return s;
}

TEST(BcdKey, KnownKeysByteForByte) {
  struct Case {
    const char* text;
    int decimals;
    const char* hex;
  } cases[] = {
      {"0", 0, "34 01 00 00 00 00 00 00 00 00 00 00"},
      {"-0", 0, "34 01 00 00 00 00 00 00 00 00 00 00"},
      {"0.00", 2, "32 01 00 00 00 00 00 00 00 00 00 00"},
      {"1", 0, "35 29 10 00 00 00 00 00 00 00 00 00"},
      {"-1", 0, "35 A9 10 00 00 00 00 00 00 00 00 00"},
      {"0.05", 2, "33 05 50 00 00 00 00 00 00 00 00 00"},
      {"123.45", 2, "37 15 12 34 50 00 00 00 00 00 00 00"},
      {"  -123.45", 2, "37 95 12 34 50 00 00 00 00 00 00 00"},
      {"+7", 0, "35 29 70 00 00 00 00 00 00 00 00 00"},
      {"100", 0, "37 29 10 00 00 00 00 00 00 00 00 00"},
      {"1.50", 2, "35 0D 15 00 00 00 00 00 00 00 00 00"},
      {"1.00", 2, "35 29 10 00 00 00 00 00 00 00 00 00"},
      {"12345678901234567890123", 0, "4B 4D 12 34 56 78 90 12 34 56 78 90"},
      {"1.2.3", 2, "35 09 12 00 00 00 00 00 00 00 00 00"},
      {"12x4", 0, "36 29 12 00 00 00 00 00 00 00 00 00"},
  };
  for (const auto& c : cases) EXPECT_EQ(Hex(BcdKeyFromText(c.text, c.decimals)), c.hex) << c.text;
}

TEST(BcdKey, FromFloatFormatsWithTheDecimals) {
  EXPECT_EQ(Hex(BcdKeyFromFloat(2, 123.45)), "37 15 12 34 50 00 00 00 00 00 00 00");
  EXPECT_EQ(BcdKeyFromFloat(0, 0.0), BcdKeyFromText("0", 0));
  EXPECT_EQ(BcdKeyFromFloat(2, 0.0), BcdKeyFromText("0.00", 2));
  EXPECT_EQ(BcdKeyFromFloat(0, -1.0), BcdKeyFromText("-1", 0));
  EXPECT_EQ(BcdKeyFromFloat(2, 0.05), BcdKeyFromText("0.05", 2));
  // A number is keyed as it is written into its field.
  for (const RoundingCase& c : kRoundingCases)
    EXPECT_EQ(Hex(BcdKeyFromFloat(c.decimals, c.value)), Hex(BcdKeyFromText(c.text, c.decimals))) << c.text;
}

// BcdKeyFromFloat keys the rounded digits without writing them out; every
// value gives the bytes of the way through the text: whole numbers of 1 to
// 20 digits (trailing zeros among them) with 0 to 27 decimals, halves and
// their neighbours, any bit pattern, and the edge where the digits leave
// 64 bits.
TEST(BcdKey, FromFloatGivesTheBytesOfItsText) {
  std::mt19937_64 rng(2103);
  const auto check = [](double v, int decimals) {
    ASSERT_EQ(Hex(BcdKeyFromFloat(decimals, v)), Hex(BcdKeyFromFloatGeneral(decimals, v))) << std::hexfloat << v << " "
                                                                                           << decimals;
  };
  for (int i = 0; i < 100000; ++i) {
    const int decimals = i % 4 == 0 ? int(rng() % 30) : int(rng() % 7);
    const double sign = rng() % 2 ? -1.0 : 1.0;
    double v;
    switch (i % 5) {
      case 0: {
        uint64_t digits = rng() >> (rng() % 64);
        for (int k = int(rng() % 4); k > 0; --k) digits -= digits % 10;
        v = double(digits) / std::pow(10.0, decimals);
        break;
      }
      case 1: v = std::ldexp(double(rng() % (1ULL << int(1 + rng() % 53)) | 1), -(decimals + 1)); break;
      case 2: {
        const uint64_t bits = rng();
        std::memcpy(&v, &bits, sizeof v);
        break;
      }
      case 3: v = std::ldexp(double(rng() % (1ULL << 53)), 64 - int(rng() % 12) - int(std::ceil(decimals * 3.3219))); break;
      default: v = std::ldexp(double(rng() % (1ULL << 53)), int(rng() % 140) - 110); break;
    }
    v *= sign;
    check(v, decimals);
    check(std::nextafter(v, HUGE_VAL), decimals);
    check(std::nextafter(v, -HUGE_VAL), decimals);
  }
  for (double v : {0.0, -0.0, 5e-324, 0.5, -0.5, 1e15, 1e16, 1e19, 1.8446744073709552e19, 1e20, DBL_MAX, -HUGE_VAL,
                   std::nan("")})
    for (int decimals : {-1, 0, 1, 2, 26, 27, 28, 255}) check(v, decimals);
}

TEST(BcdKey, ComparisonCases) {
  EXPECT_LT(CompareBcdKeys(BcdKeyFromText("-2", 0), BcdKeyFromText("-1", 0)), 0);
  EXPECT_EQ(CompareBcdKeys(BcdKeyFromText("10", 0), BcdKeyFromText("9", 0)), 1);
  EXPECT_EQ(CompareBcdKeys(BcdKeyFromText("0.00", 2), BcdKeyFromText("0", 0)), 0);
  EXPECT_EQ(CompareBcdKeys(BcdKeyFromText("-0", 0), BcdKeyFromText("0.000", 3)), 0);
  EXPECT_EQ(CompareBcdKeys(BcdKeyFromText("0", 0), BcdKeyFromText("-0.01", 2)), 1);
  EXPECT_EQ(CompareBcdKeys(BcdKeyFromText("0", 0), BcdKeyFromText("0.01", 2)), -1);
  EXPECT_EQ(CompareBcdKeys(BcdKeyFromText("1.5", 1), BcdKeyFromText("1.50", 2)), 0);
}

// Key order must be numeric order for every value a field of one width and
// decimals can hold, or an index would return records out of order.
TEST(BcdKey, KeyOrderIsNumericOrderForRandomFieldValues) {
  struct Field {
    int width, decimals;
  } fields[] = {{10, 2}, {12, 0}, {8, 4}, {20, 6}, {5, 0}};
  std::mt19937_64 rng(12345);
  for (auto f : fields) {
    double scale = std::pow(10.0, f.decimals);
    int intDigits = f.width - f.decimals - (f.decimals ? 1 : 0) - 1;  // room for a sign
    double maxUnits = std::pow(10.0, intDigits + f.decimals) - 1;
    std::uniform_real_distribution<double> units(-maxUnits, maxUnits);
    std::uniform_int_distribution<int> magnitude(0, intDigits + f.decimals);
    std::vector<double> values;
    for (int i = 0; i < 4000; ++i) {
      // Mix uniform values with small magnitudes so that every exponent
      // shows up, plus exact zero and ties.
      double u = units(rng);
      if (i % 2) u = std::trunc(u) / std::pow(10.0, magnitude(rng));
      double v = std::round(u) / scale;
      values.push_back(v);
      if (i % 97 == 0) values.push_back(0.0);
      if (i % 89 == 0) values.push_back(v);
    }
    std::vector<BcdKey> keys;
    for (double v : values) keys.push_back(BcdKeyFromFloat(f.decimals, v));
    for (size_t i = 0; i + 1 < values.size(); ++i) {
      for (size_t j : {i + 1, (i * 7919) % values.size()}) {
        int expect = CompareFloats(values[i], values[j]);
        int got = CompareBcdKeys(keys[i], keys[j]);
        ASSERT_EQ(got, expect) << FormatNumber(values[i], 0, f.decimals) << " vs "
                               << FormatNumber(values[j], 0, f.decimals) << " N(" << f.width
                               << "," << f.decimals << ")";
      }
    }
    std::vector<size_t> byKey(values.size());
    for (size_t i = 0; i < byKey.size(); ++i) byKey[i] = i;
    std::stable_sort(byKey.begin(), byKey.end(),
                     [&](size_t a, size_t b) { return CompareBcdKeys(keys[a], keys[b]) < 0; });
    for (size_t i = 0; i + 1 < byKey.size(); ++i)
      ASSERT_LE(values[byKey[i]], values[byKey[i + 1]]);
  }
}

TEST(BcdKey, ExtremeMagnitudesSaturateInsteadOfWrapping) {
  std::vector<double> ordered = {-HUGE_VAL, -1e300, -1e210, -1e60, -1, -1e-40, 0,
                                 1e-40,      1,      1e60,   1e210, 1e300, HUGE_VAL};
  for (size_t i = 0; i + 1 < ordered.size(); ++i) {
    int c = CompareBcdKeys(BcdKeyFromFloat(0, ordered[i]), BcdKeyFromFloat(0, ordered[i + 1]));
    EXPECT_LE(c, 0) << ordered[i] << " vs " << ordered[i + 1];
  }
  EXPECT_LT(CompareBcdKeys(BcdKeyFromFloat(0, 1e60), BcdKeyFromFloat(0, 1e210)), 0);
  std::string tiny = "0." + std::string(60, '0') + "1";
  BcdKey t = BcdKeyFromText(tiny, 70);
  EXPECT_EQ(CompareBcdKeys(t, BcdKeyFromText("0", 0)), 1);
  EXPECT_EQ(CompareBcdKeys(t, BcdKeyFromText("0.0001", 4)), -1);
  EXPECT_EQ(BcdKeyFromFloat(2, std::nan("")), BcdKeyFromText("0", 2));
}


TEST(ReadNumber, ReadsThePrefixThatIsANumber) {
  struct Case {
    const char* text;
    double v;
  } cases[] = {{"  12.50", 12.5}, {"-3", -3},  {"+4.25", 4.25}, {"", 0},     {"   ", 0},
               {"12abc", 12},     {"abc", 0},   {"1.5E3", 1500}, {"1E", 1},   {".5", 0.5},
               {"-.", 0},         {"1e400", 1.7976931348623157e308}};
  for (const auto& c : cases) EXPECT_EQ(ReadNumber(c.text), c.v) << c.text;
}

TEST(Julian, RoundTripOverEveryDayOfYears1To9999) {
  double expected = kFirstJulian;
  for (int y = 1; y <= 9999; ++y)
    for (int m = 1; m <= 12; ++m)
      for (int d = 1; d <= 31; ++d) {
        double j = JulianFromYMD(y, m, d);
        if (j == kInvalidJulian) continue;
        ASSERT_EQ(j, expected) << y << "-" << m << "-" << d;
        int yy, mm, dd;
        ASSERT_TRUE(JulianToYMD(j, yy, mm, dd));
        ASSERT_EQ(yy * 10000 + mm * 100 + dd, y * 10000 + m * 100 + d);
        ASSERT_EQ(JulianToDtos(j), ZeroPadded(y, 4) + ZeroPadded(m, 2) + ZeroPadded(d, 2));
        expected += 1;
      }
  EXPECT_EQ(expected - 1, kLastJulian);
}

TEST(Julian, ValidityAndBounds) {
  EXPECT_EQ(JulianFromDtos("20000101"), 2451545);
  EXPECT_NE(JulianFromDtos("20000229"), kInvalidJulian);
  EXPECT_EQ(JulianFromDtos("19000229"), kInvalidJulian);
  EXPECT_EQ(JulianFromDtos("        "), kInvalidJulian);
  EXPECT_EQ(JulianFromDtos("00000101"), kInvalidJulian);
  EXPECT_EQ(JulianFromDtos("00010101"), kFirstJulian);
  EXPECT_EQ(JulianFromDtos("99991231"), kLastJulian);
  EXPECT_EQ(JulianFromDtos("20001301"), kInvalidJulian);
  EXPECT_EQ(JulianFromDtos("20000100"), kInvalidJulian);
  EXPECT_EQ(JulianFromDtos("2000011"), kInvalidJulian);
  EXPECT_EQ(JulianFromDtos("2000-1-1"), kInvalidJulian);
  int y, m, d;
  EXPECT_FALSE(JulianToYMD(kFirstJulian - 1, y, m, d));
  EXPECT_FALSE(JulianToYMD(kLastJulian + 1, y, m, d));
  EXPECT_FALSE(JulianToYMD(kInvalidJulian, y, m, d));
  EXPECT_FALSE(JulianToYMD(std::nan(""), y, m, d));
  EXPECT_TRUE(JulianToYMD(kLastJulian + 0.5, y, m, d));
  EXPECT_EQ(JulianToDtos(kFirstJulian - 1), "        ");
  EXPECT_EQ(JulianToDtos(kInvalidJulian), "        ");
}

TEST(Julian, DateTextInEveryPicture) {
  double j = JulianFromYMD(2024, 3, 5);
  struct Case {
    int fmt;
    bool century;
    const char* text;
    const char* blank;
  } cases[] = {
      {0, false, "03/05/24", "  /  /  "},     {0, true, "03/05/2024", "  /  /    "},
      {1, false, "24.03.05", "  .  .  "},     {1, true, "2024.03.05", "    .  .  "},
      {2, true, "05/03/2024", "  /  /    "}, {3, false, "05-03-24", "  -  -  "},
      {4, true, "05.03.2024", "  .  .    "}, {5, false, "05.03.24", "  .  .  "},
      {6, true, "05.03.2024", "  .  .    "}, {8, true, "05/03/2024", "  /  /    "},
      {7, true, "", ""},                      {9, false, "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(JulianToDateText(j, c.fmt, c.century), c.text) << c.fmt;
    EXPECT_EQ(JulianToDateText(kFirstJulian - 1, c.fmt, c.century), c.blank) << c.fmt;
    EXPECT_EQ(JulianToDateText(kInvalidJulian, c.fmt, c.century), c.blank) << c.fmt;
  }
  EXPECT_EQ(JulianToDateText(kFirstJulian, 4, true), "01.01.0001");
  EXPECT_EQ(JulianToDateText(kLastJulian, 4, true), "31.12.9999");
}

TEST(Soundex, ClassicExamples) {
  struct Case {
    const char* text;
    const char* code;
  } cases[] = {{"Robert", "R163"},   {"Rupert", "R163"},  {"Tymczak", "T522"},
               {"Ashcraft", "A226"}, {"Pfister", "P236"}, {"Lee", "L000"},
               {"Honeyman", "H555"}, {"rubin", "R150"},   {"", "0000"},
               {"1abc", "1120"},     {"B-b-b", "B000"},   {"Gutierrez", "G362"}};
  for (const auto& c : cases) EXPECT_EQ(Soundex(c.text), c.code) << c.text;
}

}  // namespace

namespace {

// Field texts take a short path; it must give the double from_chars gives.
TEST(ReadNumber, ShortFieldTextsReadAsFromCharsReadsThem) {
  std::mt19937_64 rng(99);
  for (int i = 0; i < 200000; ++i) {
    int decimals = int(rng() % 8);
    double v = double(int64_t(rng() % 2000000000000000ULL) - 1000000000000000LL) / std::pow(10.0, decimals + int(rng() % 6));
    std::string text = FormatNumber(v, 0, decimals);
    double expect = 0;
    std::from_chars(text.data(), text.data() + text.size(), expect);
    ASSERT_EQ(ReadNumber(text), expect) << text;
    ASSERT_EQ(ReadNumber("  " + text + "  "), expect) << text;
  }
}

}  // namespace

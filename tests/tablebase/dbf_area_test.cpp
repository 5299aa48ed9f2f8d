// Work areas: selection, USE and its keywords, field queries, the typed
// buffer, Peek/Poke, Replace that keeps what nobody changed.
#include <charconv>
#include <filesystem>
#include <functional>
#include <cstring>
#include <random>

#include "dbf_testutil.h"
#include "platform/byteorder.h"
#include "platform/codepage.h"
#include "tablebase/tzcommon.h"
#include "testutil/number_cases.h"

namespace {

using dbftest::TableTest;

class AreaTest : public TableTest {
 protected:
  // ORDERS.DBF: NAZWA C10, ILE N12 (no decimals), CENA N8.2, DATA D,
  // OK L, with `n` records "rec<i>".
  void MakeOrders(int n) {
    Create("orders.dbf", {F("nazwa", 'C', 10), F("ile", 'N', 12), F("cena", 'N', 8, 2), F("data", 'D'), F("ok", 'L')});
    USE(Path("orders") + " EXCLUSIVE", nullptr, 0);
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    for (int i = 1; i <= n; ++i) {
      SetC(1, "rec" + std::to_string(i));
      SetI(2, i * 10);
      SetN(3, i + 0.25);
      Append();
      ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    }
    CloseArea();
  }
  std::string RecordBytes(int rec) {
    auto b = Bytes(Path("orders.dbf"));
    size_t hl = plat::readLE16(b.data() + 8), rl = plat::readLE16(b.data() + 10);
    return std::string(b.begin() + std::ptrdiff_t(hl + size_t(rec - 1) * rl), b.begin() + std::ptrdiff_t(hl + size_t(rec) * rl));
  }
};

TEST_F(AreaTest, SelectZeroTakesTheLowestFreeSlot) {
  MakeOrders(1);
  for (int i = 1; i <= 3; ++i) {
    Select(i);
    USE(Path("orders") + " ALIAS A" + std::to_string(i), nullptr, 0);
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  }
  Select(0);
  EXPECT_EQ(CurrentArea(), 4);
  for (int i = 4; i <= kPublicAreas; ++i) {
    Select(i);
    USE(Path("orders") + " ALIAS A" + std::to_string(i), nullptr, 0);
    ASSERT_EQ(LastErrorCode(), 0) << i << LastErrorMessage();
  }
  Select(7);
  Select(0);
  EXPECT_EQ(LastErrorCode(), 220);
  EXPECT_EQ(LastErrorMessage(), "No free workarea available [Select(0)]");
  EXPECT_EQ(CurrentArea(), 7);
  Select(201);
  EXPECT_EQ(LastErrorMessage(), "Invalid workarea selected = [Select(201)]");
  CloseAll();
  EXPECT_EQ(CurrentArea(), 1);
  EXPECT_EQ(WorkAreaOf(200), nullptr);
}

TEST_F(AreaTest, UseKeywordsAliasAndDuplicates) {
  MakeOrders(2);
  USE(Path("orders") + " alias ord exclusive", nullptr, 0);
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  EXPECT_EQ(Alias(), "ORD");
  EXPECT_TRUE(CurrentWorkArea()->Exclusive);
  EXPECT_EQ(FileNameOnly(DbfName()), "ORDERS.DBF");
  CloseArea();

  USE(Path("orders"), nullptr, 0);
  EXPECT_EQ(Alias(), "ORDERS");
  EXPECT_FALSE(CurrentWorkArea()->Exclusive);
  Select(2);
  USE(Path("orders"), nullptr, 0);
  EXPECT_EQ(LastErrorCode(), 220);
  EXPECT_EQ(LastErrorMessage(), "Alias name \"ORDERS\" already in use. [USE]");
  EXPECT_EQ(CurrentWorkArea(), nullptr);

  // An empty command only closes.
  Select(1);
  USE("  ", nullptr, 0);
  EXPECT_EQ(LastErrorCode(), 0);
  EXPECT_EQ(CurrentWorkArea(), nullptr);
}

TEST_F(AreaTest, CallerBufferMustHaveTheTypedSize) {
  MakeOrders(1);
  // 1 + C10 (11) + N12 (4) + N8.2 (8) + D (11) + L (1)
  char buf[36];
  USE(Path("orders") + " alias ord exclusive", buf, 35);
  EXPECT_EQ(LastErrorCode(), 266);
  // The message names the table as the command left it, without its keywords.
  EXPECT_EQ(LastErrorMessage(), "Database record/buffer size mismatch: " + Upper(Path("orders")) +
                                    " [USE()]\n\rRecord Size=36, Buffer Size=35");
  EXPECT_EQ(CurrentWorkArea(), nullptr);
  USE(Path("orders"), nullptr, 36);
  EXPECT_EQ(LastErrorCode(), 220);
  USE(Path("orders"), buf, 36);
  ASSERT_EQ(LastErrorCode(), 0);
  EXPECT_EQ(TypedRecordSize(*CurrentWorkArea()), 36);
  EXPECT_EQ(FieldAddress(0), buf);
  EXPECT_EQ(std::string(buf + 2, 4), "rec1");
}

TEST_F(AreaTest, FieldQueries) {
  MakeOrders(1);
  USE(Path("orders"), nullptr, 0);
  EXPECT_EQ(FieldCount(), 5);
  EXPECT_EQ(FieldType(3), 'N');
  EXPECT_EQ(FieldDec(3), 2);
  EXPECT_EQ(Field(4), "DATA");
  EXPECT_EQ(FieldLen(4), 8);
  SetCentury();
  EXPECT_EQ(FieldLen(4), 10);
  EXPECT_EQ(CurrentWorkArea()->Fields[3].Len, 8);
  EXPECT_EQ(FieldNo("cena  "), 3);
  EXPECT_EQ(FieldNo("nazwaXXXXXXX"), 0);
  EXPECT_EQ(FieldNo("Ok"), 5);
  EXPECT_EQ(RecSize(), 1 + 10 + 12 + 8 + 8 + 1);
  struct Bad {
    const char* expect;
    std::function<void()> call;
  } bad[] = {
      {"Invalid field number. [FieldType(6)]", [] { EXPECT_EQ(FieldType(6), ' '); }},
      {"Invalid field number. [FieldLen(0)]", [] { EXPECT_EQ(FieldLen(0), 0); }},
      {"Invalid field number. [Field(9)]", [] { EXPECT_EQ(Field(9), ""); }},
      {"Invalid field number. [FieldAddress(6)]", [] { EXPECT_EQ(FieldAddress(6), nullptr); }},
  };
  for (auto& b : bad) {
    b.call();
    EXPECT_EQ(LastErrorCode(), 220);
    EXPECT_EQ(LastErrorMessage(), b.expect);
  }
  CloseArea();
  EXPECT_EQ(FieldCount(), 0);
  EXPECT_EQ(LastErrorCode(), 215);
  EXPECT_EQ(LastErrorMessage(), "No database in use [FieldCount()]  WorkArea = 1");
}

// Numeric texts of the usual form are read digit by digit; every text must
// still give what the general conversion of the trimmed text gives (bit for
// bit: -0 stays -0), and anything else the same 0 as before.
// A numeric field's value as the general conversion reads its text: the
// text without surrounding blanks (and NULs) and a leading "+", as a whole,
// and 0 when that is no number.
std::string TrimmedNumber(std::string t) {
  while (!t.empty() && (t.back() == ' ' || t.back() == '\0')) t.pop_back();
  size_t b = t.find_first_not_of(std::string(" \0", 2));
  t = b == std::string::npos ? std::string() : t.substr(b);
  if (!t.empty() && t[0] == '+') t.erase(0, 1);
  return t;
}
template <class T>
T GeneralNumber(const std::string& text) {
  std::string t = TrimmedNumber(text);
  T v = 0;
  auto r = std::from_chars(t.data(), t.data() + t.size(), v);
  return r.ec == std::errc() && r.ptr == t.data() + t.size() ? v : T(0);
}
const auto generalFloat = GeneralNumber<double>;
const auto generalInt = GeneralNumber<int32_t>;

TEST_F(AreaTest, NumericTextsReadAsTheGeneralConversionReadsThem) {
  const std::vector<std::string> texts = {
      "12.50", "-0.00", "+3.25", "-.5", ".5", "5.", "1e3", "1 2", "-", "", "0.1", "0.3", "007", "-007.50",
      "123456789012345", "12345678901234.5", "1234567890123456", "9007199254740993", "99999.999999999",
      "0.000000000000001", "999999999", "-999999999", "1000000000", "2147483647", "2147483648", "-2147483648",
      std::string("\0\0 12", 5), std::string("12\0", 3), "--5", "+-5", "- 5", "1.2.3", "inf", "nan", "0x10"};
  Create("numbers.dbf", {F("f", 'N', 20, 2), F("i", 'N', 20)});
  USE(Path("numbers") + " EXCLUSIVE", nullptr, 0);
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  for (size_t r = 1; r <= texts.size(); ++r) {
    Append();
    // Right-aligned as written, and left-aligned as other programs may.
    const std::string& t = texts[r - 1];
    Poke(std::string(20 - t.size(), ' ') + t, 1, int32_t(r));
    Poke(t + std::string(20 - t.size(), ' '), 2, int32_t(r));
  }
  for (size_t r = 1; r <= texts.size(); ++r) {
    GO(int32_t(r));
    const std::string& t = texts[r - 1];
    const double want = generalFloat(t), got = GetN(1);
    EXPECT_EQ(std::memcmp(&want, &got, sizeof want), 0) << "\"" << t << "\": " << got << " for " << want;
    EXPECT_EQ(GetI(2), generalInt(t)) << "\"" << t << "\"";
  }
}

// Numbers of every width up to 16 and every decimal count, right-aligned as
// the engine writes them, cut, or with a byte changed, behind a text of
// digits, read as the general conversion reads them.
TEST_F(AreaTest, RandomNumberTextsReadAsTheGeneralConversionReadsThem) {
  struct Column {
    uint8_t len, dec;
  };
  const std::vector<Column> columns = {{1, 0},  {2, 0},  {3, 1},  {4, 1}, {5, 2},  {8, 0},  {8, 2},
                                       {10, 2}, {10, 9}, {12, 0}, {12, 4}, {15, 3}, {16, 0}, {16, 2}, {16, 14}};
  std::vector<FieldEntry> fields = {F("t", 'C', 9)};
  for (size_t i = 0; i < columns.size(); ++i)
    fields.push_back(F(("n" + std::to_string(i)).c_str(), 'N', columns[i].len, columns[i].dec));
  Create("random.dbf", fields);
  USE(Path("random") + " EXCLUSIVE", nullptr, 0);
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  std::mt19937 rng(2024);
  const std::string bytes = std::string(" -+.0123456789e", 15) + '\0';
  auto pick = [&](size_t n) { return size_t(rng() % n); };
  auto text = [&](const Column& c) {
    std::string t;
    if (pick(4) == 0) {
      for (size_t i = 0; i < c.len; ++i) t += bytes[pick(bytes.size())];
      return t;
    }
    const size_t digits = 1 + pick(c.len);
    for (size_t i = 0; i < digits; ++i) t += char('0' + pick(10));
    if (c.dec > 0) {
      if (t.size() <= c.dec) t.insert(0, c.dec + 1 - t.size(), '0');
      t.insert(t.size() - c.dec, ".");
    }
    if (pick(3) == 0) t.insert(0, "-");
    t = t.size() > c.len ? t.substr(t.size() - c.len) : std::string(c.len - t.size(), pick(8) ? ' ' : '\0') + t;
    if (pick(4) == 0) t[pick(t.size())] = bytes[pick(bytes.size())];
    return t;
  };
  std::vector<std::vector<std::string>> written;
  for (int32_t r = 1; r <= 4000; ++r) {
    Append();
    Poke(std::string(9, char('0' + r % 10)), 1, r);
    written.emplace_back();
    for (size_t i = 0; i < columns.size(); ++i) {
      written.back().push_back(text(columns[i]));
      Poke(written.back().back(), int(i + 2), r);
    }
  }
  for (int32_t r = 1; r <= 4000; ++r) {
    GO(r);
    for (size_t i = 0; i < columns.size(); ++i) {
      const std::string& t = written[size_t(r - 1)][i];
      const int field = int(i + 2);
      if (columns[i].dec > 0) {
        const double want = generalFloat(t), got = GetN(field);
        ASSERT_EQ(std::memcmp(&want, &got, sizeof want), 0) << "\"" << t << "\": " << got << " for " << want;
      } else {
        ASSERT_EQ(GetI(field), generalInt(t)) << "\"" << t << "\"";
      }
    }
  }
}

TEST_F(AreaTest, PeekAndPokeWithAndWithoutCache) {
  MakeOrders(5);
  for (uint16_t cache : {uint16_t(0), uint16_t(100)}) {
    SCOPED_TRACE(cache);
    DbSettings().PeekCacheSize = cache;
    USE(Path("orders"), nullptr, 0);
    EXPECT_EQ(Peek(1, 2), "rec2      ");
    EXPECT_EQ(Peek(0, 2), " ");
    EXPECT_EQ(Peek(1, 6), "");
    EXPECT_EQ(Peek(6, 1), "");
    if (cache) {
      EXPECT_EQ(Db().Peek.Count, 100 / 40);  // whole records of 40 bytes
    }
    GO(2);
    Poke("XYZ", 1, 2);
    EXPECT_EQ(LastErrorCode(), 1200);  // shared and not locked
    ASSERT_TRUE(RLock());
    Poke("ABCDEFGHIJKLMN", 1, 2);
    EXPECT_EQ(LastErrorCode(), 0);
    Poke("*", 0, 2);
    EXPECT_EQ(Peek(1, 2), "ABCDEFGHIJ");
    EXPECT_EQ(Peek(0, 2), "*");
    Unlock();
    CloseArea();
    EXPECT_EQ(RecordBytes(2).substr(0, 11), "*ABCDEFGHIJ");
    EXPECT_EQ(plat::readLE32(Bytes(Path("orders.dbf")).data() + 4), 5u);
    // Put it back for the next round.
    USE(Path("orders") + " EXCLUSIVE", nullptr, 0);
    Poke(" rec2      ", 0, 2);
    Poke("rec2      ", 1, 2);
    CloseArea();
  }
}

TEST_F(AreaTest, PeekCacheBelongsToOneAlias) {
  MakeOrders(4);
  DbSettings().PeekCacheSize = 1000;
  USE(Path("orders") + " ALIAS A", nullptr, 0);
  EXPECT_EQ(Peek(1, 1), "rec1      ");
  EXPECT_EQ(Db().Peek.Alias, "A");
  EXPECT_EQ(Db().Peek.Count, 4);
  Select(2);
  USE(Path("orders") + " ALIAS B", nullptr, 0);
  EXPECT_EQ(Peek(1, 3), "rec3      ");
  EXPECT_EQ(Db().Peek.Alias, "B");
  EXPECT_EQ(Db().Peek.First, 3);
  CloseArea();
  EXPECT_TRUE(Db().Peek.Alias.empty());
}

TEST_F(AreaTest, ReplaceKeepsTheBytesOfUntouchedFields) {
  MakeOrders(2);
  // Values the typed form cannot hold: a number beyond 32 bits, a blank
  // number, an "N" logical, an impossible date, and text in OEM bytes that
  // have no ANSI round trip.
  std::string rec = RecordBytes(1);
  std::string odd = " ";
  odd += std::string("\xB0\xB1\xB2 ok", 6) + "    ";  // box-drawing bytes
  odd += "  9999999999";                               // ILE
  odd += "        ";                                   // CENA blank
  odd += "20241399";                                   // DATA impossible
  odd += "N";
  ASSERT_EQ(odd.size(), rec.size());
  {
    auto b = Bytes(Path("orders.dbf"));
    size_t hl = plat::readLE16(b.data() + 8);
    std::memcpy(b.data() + hl, odd.data(), odd.size());
    WriteBytes(Path("orders.dbf"), b);
  }
  USE(Path("orders"), nullptr, 0);
  ASSERT_TRUE(RLock());
  SetN(3, 7.499);  // only CENA changes
  Replace();
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  // The typed buffer holds the record as a read gives it: the stored
  // rounding of the new value, and every other field as it was.
  EXPECT_EQ(GetN(3), 7.5);
  const std::string replaced(FieldAddress(0), TypedRecordSize(*CurrentWorkArea()));
  SKIP(0);
  EXPECT_EQ(std::string(FieldAddress(0), TypedRecordSize(*CurrentWorkArea())), replaced);
  Unlock();
  CloseArea();
  std::string want = odd;
  want.replace(1 + 10 + 12, 8, "    7.50");
  EXPECT_EQ(RecordBytes(1), want);
  // The other record is untouched.
  EXPECT_EQ(RecordBytes(2).substr(0, 11), " rec2      ");
}

// A date slot shorter than an earlier text (the century switched off)
// keeps stale characters after its length; they are no change of the date,
// which would otherwise be stored again through the two-digit-year window.
TEST_F(AreaTest, ReplaceIgnoresBytesBeyondATextSlotsLength) {
  MakeOrders(1);
  {
    auto b = Bytes(Path("orders.dbf"));
    size_t hl = plat::readLE16(b.data() + 8);
    std::memcpy(b.data() + hl + 1 + 10 + 12 + 8, "18990704", 8);
    WriteBytes(Path("orders.dbf"), b);
  }
  Engine().dates.CenturyOn = true;
  USE(Path("orders") + " EXCLUSIVE", nullptr, 0);
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  Engine().dates.CenturyOn = false;
  SKIP(0);
  char* day = FieldAddress(4);
  ASSERT_EQ(std::string(day + 1, uint8_t(day[0])), "07/04/99");
  SetC(1, "changed");
  Replace();
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  CloseArea();
  EXPECT_EQ(RecordBytes(1).substr(1 + 10 + 12 + 8, 8), "18990704");
  EXPECT_EQ(RecordBytes(1).substr(1, 10), "changed   ");
}

// After ClearRecord or StoreUserBuffer the record buffer holds no record as
// read: Replace writes the typed buffer whole, not only what differs from
// that buffer.
TEST_F(AreaTest, ReplaceAfterClearRecordOrStoreUserBufferWritesEveryField) {
  const struct {
    const char* what;
    void (*prepare)();
    std::string want;
  } cases[] = {
      {"ClearRecord", [] { ClearRecord(), SetI(2, 77); }, "                     77    0.00        F"},
      {"StoreUserBuffer", [] { SetI(2, 77), StoreUserBuffer(); }, " rec1                77    1.25        F"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MakeOrders(1);
    USE(Path("orders") + " EXCLUSIVE", nullptr, 0);
    c.prepare();
    Replace();
    EXPECT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    CloseArea();
    EXPECT_EQ(RecordBytes(1), c.want);
  }
}

// A date text is stored only when it is a date; any other text, of the
// picture's length or not, stores the blank date.
TEST_F(AreaTest, DateTextsThatAreNoDateStoreTheBlankDate) {
  MakeOrders(0);
  USE(Path("orders") + " EXCLUSIVE", nullptr, 0);
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  struct Case {
    bool century;
    int format;
    const char* text;
    const char* stored;
  } cases[] = {
      {true, 4, "29.02.2024", "20240229"}, {true, 4, "31.02.2024", "        "}, {true, 4, "29.02.2023", "        "},
      {true, 4, "01.13.2024", "        "}, {true, 4, "1a.01.2024", "        "}, {true, 4, "01.  .2024", "        "},
      {true, 4, "31.04.2024", "        "}, {true, 0, "02/30/2024", "        "}, {true, 0, "04/30/2024", "20240430"},
      {true, 1, "2024.02.31", "        "}, {false, 4, "31.02.24", "        "},   {false, 4, "15.03.24", "20240315"},
      {true, 4, "31.02.24", "        "},   {true, 4, "15.03.24", "20240315"},
  };
  for (const Case& c : cases) {
    Engine().dates.CenturyOn = c.century;
    SetDateFormat(c.format);
    SetC(4, c.text);
    Append();
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  }
  CloseArea();
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(RecordBytes(int(i) + 1).substr(1 + 10 + 12 + 8, 8), cases[i].stored) << cases[i].text;
}

// Every day of every month in each picture, as written or with another of
// the separators: the day when the calendar has it (from the year 1),
// else the blank date.
TEST_F(AreaTest, PictureDatesStoreTheirDayOrTheBlankDate) {
  MakeOrders(0);
  USE(Path("orders") + " EXCLUSIVE", nullptr, 0);
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  Engine().dates.CenturyOn = true;
  const auto two = [](int v) { return std::string(1, char('0' + v / 10)) + char('0' + v % 10); };
  std::vector<std::pair<std::string, std::string>> cases;  // text, stored
  for (int format = 0; format <= 8; ++format) {
    SetDateFormat(format);
    for (int year : {0, 1900, 2000, 2023, 2024, 9999})
      for (int month = 0; month <= 13; ++month)
        for (int day = 0; day <= 32; ++day) {
          const std::string y = two(year / 100) + two(year % 100), m = two(month), d = two(day);
          const char sep = "/./-....."[format];  // the picture's separator
          const std::string text = format == 0 ? m + sep + d + sep + y
                                   : format == 1 ? y + sep + m + sep + d
                                                 : d + sep + m + sep + y;
          const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
          const int days[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
          const bool valid = year >= 1 && month >= 1 && month <= 12 && day >= 1 && day <= days[month - 1];
          const std::string stored = valid ? y + m + d : "        ";
          std::string other = text;
          std::replace(other.begin(), other.end(), sep, format % 2 ? '/' : '-');
          for (const std::string& t : {text, other}) {
            SetC(4, t);
            Append();
            ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
            cases.emplace_back(t, stored);
          }
        }
  }
  CloseArea();
  const auto b = Bytes(Path("orders.dbf"));
  const size_t hl = plat::readLE16(b.data() + 8), rl = plat::readLE16(b.data() + 10);
  for (size_t i = 0; i < cases.size(); ++i)
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(b.data()) + hl + i * rl + 1 + 10 + 12 + 8, 8), cases[i].second)
        << cases[i].first;
}

// Numbers are stored, and a search text is made, by the one rounding.
TEST_F(AreaTest, NumbersAreStoredAndSearchedAsTheyRound) {
  Create("liczby.dbf", {F("n0", 'N', 20, 0), F("n1", 'N', 20, 1), F("n2", 'N', 20, 2), F("n3", 'N', 20, 3)});
  USE(Path("liczby") + " EXCLUSIVE", nullptr, 0);
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  for (const RoundingCase& c : kRoundingCases) {
    SetI(1, 0);
    for (int field = 2; field <= 4; ++field) SetN(field, 0);
    if (c.decimals > 0) SetN(c.decimals + 1, c.value);
    Append();
    // A field without decimals takes whole numbers: its text goes in as stored.
    if (c.decimals == 0) Poke(RoundingText(c, 20), 1, RecNo());
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  }
  for (size_t i = 0; i < std::size(kRoundingCases); ++i) {
    const RoundingCase& c = kRoundingCases[i];
    SCOPED_TRACE(c.text);
    const int field = c.decimals + 1;
    EXPECT_EQ(Peek(field, int32_t(i + 1)), RoundingText(c, 20));
    ASSERT_TRUE(Locate(Field(field), c.value, false, 1, false));
    EXPECT_EQ(Peek(field, RecNo()), RoundingText(c, 20));
  }
}

TEST_F(AreaTest, ReplaceNeedsTheRecordLockInASharedArea) {
  MakeOrders(2);
  USE(Path("orders"), nullptr, 0);
  SetC(1, "zmiana");
  Replace();
  EXPECT_EQ(LastErrorCode(), 1200);
  EXPECT_EQ(LastErrorMessage(), "Record #1 in " + DbfName() + " [REPLACE]");
  ASSERT_TRUE(RLock());
  SetC(1, "zmiana");
  Replace();
  EXPECT_EQ(LastErrorCode(), 0);
  EXPECT_EQ(Peek(1, 1), "zmiana    ");
  GO(3);
  Replace();
  EXPECT_EQ(LastErrorCode(), 212);
}

TEST_F(AreaTest, OemTablesStoreCp852AndShowAnsi) {
  const std::string polish = "\xA3\xF3\x9F\xE6";  // Łóźć in Windows-1250
  Create("pl.dbf", {F("t", 'C', 6)});
  for (bool ansi : {false, true}) {
    DbSettings().AnsiTables = ansi;
    USE(Path("pl") + " EXCLUSIVE", nullptr, 0);
    SetC(1, polish);
    Append();
    EXPECT_EQ(GetC(1).substr(0, 4), polish);
    CloseArea();
  }
  DbSettings().AnsiTables = false;
  USE(Path("pl"), nullptr, 0);
  EXPECT_EQ(Peek(1, 1).substr(0, 4), plat::AnsiToOem(polish));
  EXPECT_EQ(Peek(1, 2).substr(0, 4), polish);
  EXPECT_EQ(GetC(1).substr(0, 4), polish);
}

TEST_F(AreaTest, MdxFlagAndReadOnlyOpens) {
  MakeOrders(1);
  auto before = Bytes(Path("orders.dbf"));
  DbSettings().OpenModeOverride = plat::kAccessRead | plat::kShareDenyNone;
  USE(Path("orders"), nullptr, 0);
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  DbSettings().OpenModeOverride = 65535;
  EXPECT_FALSE(GetMdxFlag());
  SetMdxFlag(true);
  EXPECT_TRUE(GetMdxFlag());
  CloseArea();
  EXPECT_EQ(LastErrorCode(), 0);
  EXPECT_EQ(Bytes(Path("orders.dbf")), before);

  USE(Path("orders"), nullptr, 0);
  SetMdxFlag(true);
  EXPECT_EQ(CurrentWorkArea()->WriteState, kWsChanged);
  CloseArea();
  EXPECT_EQ(Bytes(Path("orders.dbf"))[28], 1);
}

TEST_F(AreaTest, InMemoryTableWithoutTheVirtualLayer) {
  Hooks().VirtualFile = nullptr;
  char buf[20];
  USE("list VIRTUAL FILE", buf, sizeof buf);
  EXPECT_EQ(LastErrorCode(), 1101);
  EXPECT_EQ(CurrentWorkArea(), nullptr);
}

TEST_F(AreaTest, InMemoryTableThroughTheHook) {
  std::vector<uint8_t> ops;
  Hooks().VirtualFile = [&](WorkArea& a) {
    ops.push_back(a.VOp);
    if (a.VOp == kVOpWrite) a.RecCount = std::max(a.RecCount, a.VRecNo);
  };
  char buf[20];
  USE("list VIRTUAL FILE ASCENDING TO EMS", buf, sizeof buf);
  ASSERT_EQ(LastErrorCode(), 0);
  WorkArea* a = CurrentWorkArea();
  EXPECT_TRUE(a->Virtual);
  EXPECT_EQ(a->VMode, 3);
  EXPECT_EQ(a->VStorage, 2);
  EXPECT_EQ(Alias(), "LIST");
  EXPECT_EQ(Peek(1, 1), "");
  EXPECT_EQ(LastErrorCode(), 1100);
  EXPECT_FALSE(RLock());
  EXPECT_EQ(LastErrorCode(), 1100);
  Append();
  EXPECT_EQ(LastErrorCode(), 0);
  CloseArea();
  EXPECT_EQ(ops, (std::vector<uint8_t>{kVOpOpen, kVOpWrite, kVOpClose}));
}

TEST_F(AreaTest, InMemoryAliasAndOrderKeywords) {
  Hooks().VirtualFile = [](WorkArea&) {};
  char buf[8];
  USE("scratch.tmp LINKED LIST ALIAS work DESCENDING", buf, sizeof buf);
  ASSERT_EQ(LastErrorCode(), 0);
  EXPECT_EQ(Alias(), "WORK");
  EXPECT_EQ(CurrentWorkArea()->VMode, 4);
  EXPECT_EQ(DbfName(), "SCRATCH.TMP");
  Select(2);
  USE("work.x VIRTUAL FILE", buf, sizeof buf);
  EXPECT_EQ(LastErrorCode(), 220);
  EXPECT_EQ(CurrentWorkArea(), nullptr);
  USE("other VIRTUAL FILE", nullptr, 8);
  EXPECT_EQ(LastErrorCode(), 220);
}

TEST_F(AreaTest, RecordTranslatorsOfUseTranslated) {
  Create("tr.dbf", {F("t", 'C', 4)});
  DbSettings().AnsiTables = true;
  // Stored in lower case, shown in upper case.
  auto up = [](char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) p[i] = char(std::toupper(uint8_t(p[i])));
  };
  auto down = [](char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) p[i] = char(std::tolower(uint8_t(p[i])));
  };
  UseTranslated(Path("tr") + " EXCLUSIVE", nullptr, 0, up, down);
  ASSERT_EQ(LastErrorCode(), 0);
  SetC(1, "AbCd");
  Append();
  EXPECT_EQ(GetC(1), "ABCD");
  EXPECT_EQ(Peek(1, 1), "abcd");
  CloseArea();
  USE(Path("tr"), nullptr, 0);
  EXPECT_EQ(GetC(1), "abcd");  // the translators belonged to that USE only
}

TEST_F(AreaTest, MemoFilesOpenAndCloseThroughTheHooks) {
  DbSettings().DefaultVersionByte = 0x8B;
  Create("memo.dbf", {F("a", 'C', 2), F("m", 'M')});
  std::vector<std::string> calls;
  Hooks().Memo.Open = [&](const std::string& name) { calls.push_back("open " + FileNameOnly(name)); };
  Hooks().Memo.Close = [&] { calls.push_back("close"); };
  USE(Path("memo"), nullptr, 0);
  ASSERT_EQ(LastErrorCode(), 0);
  CloseArea();
  Hooks().Memo.Open = [&](const std::string&) { LastErrorCode() = 1007; };
  USE(Path("memo") + " exclusive", nullptr, 0);
  EXPECT_EQ(LastErrorCode(), 1007);
  EXPECT_EQ(LastErrorMessage(), "Problem opening memo file [USE(" + Upper(Path("memo")) + ",<@Buffer>,0)]");
  EXPECT_EQ(CurrentWorkArea(), nullptr);
  EXPECT_EQ(calls, (std::vector<std::string>{"open MEMO", "close", "close"}));
}

TEST_F(AreaTest, AUseThatFailsAfterTheOpenLeavesTheSlotEmptyWhicheverWayErrorsTravel) {
  struct Case {
    const char* what;
    std::function<void()> damage;
    uint16_t code;
  } cases[] = {
      {"the memo file cannot be opened",
       [&] { Hooks().Memo.Open = [](const std::string&) { SetError(1007, "no memo"); }; }, 1007},
      {"the first record cannot be read",
       [&] { std::filesystem::resize_file(Path("orders.dbf"), std::filesystem::file_size(Path("orders.dbf")) - 5); },
       213},
  };
  for (const Case& c : cases)
    for (const bool raise : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (raise ? ", raised" : ", recorded"));
      CloseAll();
      DbSettings().DefaultVersionByte = 0x8B;
      Create("orders.dbf", {F("nazwa", 'C', 10), F("m", 'M')});
      USE(Path("orders") + " EXCLUSIVE", nullptr, 0);
      Append();
      CloseArea();
      c.damage();
      SetAutoErrorHandling(raise);
      SetErrorRaises(true);
      if (raise)
        EXPECT_THROW(USE(Path("orders") + " EXCLUSIVE", nullptr, 0), EZavivError);
      else
        USE(Path("orders") + " EXCLUSIVE", nullptr, 0);
      SetAutoErrorHandling(false);
      EXPECT_EQ(LastErrorCode(), c.code);
      EXPECT_EQ(CurrentWorkArea(), nullptr);
      // No handle of the failed open is left to keep the table from others.
      Hooks().Memo.Open = nullptr;
      Select(2);
      USE(Path("orders") + " EXCLUSIVE", nullptr, 0);
      EXPECT_NE(LastErrorCode(), 32);
      CloseArea();
      Select(1);
    }
}

}  // namespace

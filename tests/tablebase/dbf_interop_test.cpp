// Outside readers and writers: tables the engine writes read back the same
// in dbfread, and tables python3-dbf writes open in the engine.
#include <cstring>

#include "dbf_testutil.h"
#include "platform/byteorder.h"
#include "platform/codepage.h"
#include "tablebase/tzcommon.h"

namespace {

using dbftest::kDumpWithDbfread;
using dbftest::RunPython;
using dbftest::TableTest;

class InteropTest : public TableTest {};

TEST_F(InteropTest, DbfreadReadsWhatTheEngineWrites) {
  const std::string polish = "Za\xBF\xF3\xB3\xE6 g\xEA\x9Cl\xB9 ja\x9F\xF1";  // Windows-1250
  struct Case {
    const char* what;
    uint8_t version;
    bool ansi;
    const char* encoding;
  } cases[] = {
      {"dBASE III, OEM", 0x03, false, "cp852"},
      {"dBASE IV with memo, ANSI", 0x8B, true, "cp1250"},
      {"FoxPro with memo, OEM", 0xF5, false, "cp852"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DbSettings().DefaultVersionByte = c.version;
    DbSettings().AnsiTables = c.ansi;
    SetCentury();
    SetDate(4);
    std::vector<FieldEntry> fields = {F("nazwa", 'C', 20), F("kwota", 'N', 10, 2), F("ile", 'N', 6), F("data", 'D'),
                                      F("ok", 'L')};
    if (c.version != 0x03) fields.push_back(F("uwagi", 'M'));
    std::string name = std::string("t") + std::to_string(c.version) + ".dbf";
    Create(name, fields);
    USE(Path(name) + " EXCLUSIVE", nullptr, 0);
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    struct Row {
      std::string text;
      double amount;
      int32_t qty;
      std::string date;
      bool ok, deleted;
    } rows[] = {
        {polish, 1234.5, 42, "29.02.2024", true, false},
        {"plain", -0.75, -7, "  .  .    ", false, true},
        {"", 99999.99, 0, "01.01.1999", true, false},
        {"no date", 2.5, 1, "31.02.2024", false, false},
    };
    for (const auto& r : rows) {
      SetC(1, r.text);
      SetN(2, r.amount);
      SetI(3, r.qty);
      SetC(4, r.date);
      SetL(5, r.ok);
      *FieldAddress(0) = r.deleted;
      Append();
      ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    }
    CloseArea();
    std::string out;
    ASSERT_EQ(RunPython(dir_, kDumpWithDbfread, {Path(name), c.encoding}, out), 0) << out;
    std::string memoField = c.version != 0x03 ? ",UWAGI:M:10:0" : "";
    std::string memoValue = c.version != 0x03 ? "|None" : "";
    std::string want = "fields NAZWA:C:20:0,KWOTA:N:10:2,ILE:N:6:0,DATA:D:8:0,OK:L:1:0" + memoField + "\n" +
                       "  " + plat::Win1250ToUtf8(polish) + "|1234.5|42|2024-02-29|True" + memoValue + "\n" +
                       "  |99999.99|0|1999-01-01|True" + memoValue + "\n" +
                       "  no date|2.5|1|None|False" + memoValue + "\n" +
                       "* plain|-0.75|-7|None|False" + memoValue + "\n";
    EXPECT_EQ(out, want);
  }
}

// Stored bytes that are no value read as 0 or false; a zero or false the
// caller replaces them with must still reach the file.
TEST_F(InteropTest, ReplaceWithZeroOrFalseOverwritesBytesThatAreNoValue) {
  Create("odd.dbf", {F("ni", 'N', 6), F("nf", 'N', 8, 2), F("fi", 'F', 6), F("ff", 'F', 10, 3), F("ok", 'L')});
  const struct {
    const char* what;
    char fill;         // fills each number field ...
    const char* text;  // ... with this right-aligned at its end
    char logical;
  } cases[] = {
      {"stars", '*', "", '?'},
      {"letters", ' ', "abc", ' '},
      {"blank", ' ', "", 'x'},
      {"NULs", '\0', "", '\0'},
  };
  const int widths[] = {6, 8, 6, 10};
  USE(Path("odd") + " EXCLUSIVE", nullptr, 0);
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  for (size_t i = 0; i < std::size(cases); ++i) Append();
  CloseArea();
  auto b = Bytes(Path("odd.dbf"));
  const size_t hl = plat::readLE16(b.data() + 8), rl = plat::readLE16(b.data() + 10);
  for (size_t r = 0; r < std::size(cases); ++r) {
    std::string rec = " ";
    for (int w : widths) {
      std::string field(size_t(w), cases[r].fill);
      field.replace(field.size() - std::strlen(cases[r].text), std::string::npos, cases[r].text);
      rec += field;
    }
    rec += cases[r].logical;
    ASSERT_EQ(rec.size(), rl);
    std::memcpy(b.data() + hl + r * rl, rec.data(), rl);
  }
  WriteBytes(Path("odd.dbf"), b);

  USE(Path("odd"), nullptr, 0);
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  for (size_t r = 0; r < std::size(cases); ++r) {
    GO(int32_t(r + 1));
    ASSERT_TRUE(RLock());
    SetI(1, 0);
    SetN(2, 0);
    SetI(3, 0);
    SetN(4, 0);
    SetL(5, false);
    Replace();
    ASSERT_EQ(LastErrorCode(), 0) << cases[r].what << ": " << LastErrorMessage();
    Unlock();
  }
  CloseArea();
  b = Bytes(Path("odd.dbf"));
  for (size_t r = 0; r < std::size(cases); ++r)
    EXPECT_EQ(std::string(b.begin() + std::ptrdiff_t(hl + r * rl), b.begin() + std::ptrdiff_t(hl + (r + 1) * rl)),
              "      0    0.00     0     0.000F")
        << cases[r].what;
  std::string out;
  ASSERT_EQ(RunPython(dir_, kDumpWithDbfread, {Path("odd.dbf"), "cp1250"}, out), 0) << out;
  std::string want = "fields NI:N:6:0,NF:N:8:2,FI:F:6:0,FF:F:10:3,OK:L:1:0\n";
  for (size_t r = 0; r < std::size(cases); ++r) want += "  0|0.0|0.0|0.0|False\n";
  EXPECT_EQ(out, want);
}

// A date text the date check accepts is stored as the date check writes
// it; one with the year 0 is no date to any reader.
TEST_F(InteropTest, DatesAreStoredAsTheDateCheckWritesThem) {
  Create("dates.dbf", {F("data", 'D')});
  const struct {
    bool century;
    int format;
    const char* text;
    const char* stored;
  } cases[] = {
      {true, 4, "1 .02.2024", "20240201"}, {true, 4, " 1. 2.2024", "20240201"}, {false, 4, " 1. 2.24", "20240201"},
      {false, 4, "1 .02.24", "20240201"},  {true, 1, "2024. 2. 1", "20240201"}, {true, 0, " 2/ 1/2024", "20240201"},
      {true, 4, "01.01.0000", "        "},
  };
  for (const auto& c : cases) {
    Engine().dates.CenturyOn = c.century;
    SetDate(c.format);
    USE(Path("dates") + " EXCLUSIVE", nullptr, 0);
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    SetC(1, c.text);
    Append();
    ASSERT_EQ(LastErrorCode(), 0) << c.text << ": " << LastErrorMessage();
    CloseArea();
  }
  auto b = Bytes(Path("dates.dbf"));
  const size_t hl = plat::readLE16(b.data() + 8);
  std::string want = "fields DATA:D:8:0\n";
  for (size_t r = 0; r < std::size(cases); ++r) {
    EXPECT_EQ(std::string(b.begin() + std::ptrdiff_t(hl + r * 9 + 1), b.begin() + std::ptrdiff_t(hl + r * 9 + 9)),
              cases[r].stored)
        << cases[r].text;
    want += cases[r].stored[0] == ' ' ? "  None\n" : "  2024-02-01\n";
  }
  std::string out;
  ASSERT_EQ(RunPython(dir_, kDumpWithDbfread, {Path("dates.dbf"), "cp1250"}, out), 0) << out;
  EXPECT_EQ(out, want);
}

TEST_F(InteropTest, TablesPythonDbfWritesOpenInTheEngine) {
  const char* kWrite = R"(import sys, datetime, dbf
t = dbf.Table(sys.argv[1], 'name C(20); amount N(10,2); qty N(6,0); when D; flag L', dbf_type='db3', codepage='cp1250')
t.open(dbf.READ_WRITE)
t.append(('Zażółć', 12.5, 7, datetime.date(2024, 2, 29), True))
t.append(('abc', -3.25, -12, None, False))
t.append(('third', 0, 123456, datetime.date(1999, 12, 31), None))
t.close()
)";
  std::string out;
  ASSERT_EQ(RunPython(dir_, kWrite, {Path("py.dbf")}, out), 0) << out;
  auto before = Bytes(Path("py.dbf"));

  SetCentury();
  SetDate(4);
  DbSettings().AnsiTables = true;
  USE(Path("py"), nullptr, 0);
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  ASSERT_EQ(FieldCount(), 5);
  const struct {
    const char* name;
    char type;
    int len, dec;
  } fields[] = {{"NAME", 'C', 20, 0}, {"AMOUNT", 'N', 10, 2}, {"QTY", 'N', 6, 0}, {"WHEN", 'D', 10, 0}, {"FLAG", 'L', 1, 0}};
  for (int i = 1; i <= 5; ++i) {
    EXPECT_EQ(Field(i), fields[i - 1].name);
    EXPECT_EQ(FieldType(i), fields[i - 1].type);
    EXPECT_EQ(FieldLen(i), fields[i - 1].len);
    EXPECT_EQ(FieldDec(i), fields[i - 1].dec);
  }
  EXPECT_EQ(RecCount(), 3);
  EXPECT_EQ(RTrim(GetC(1)), "Za\xBF\xF3\xB3\xE6");
  EXPECT_DOUBLE_EQ(GetN(2), 12.5);
  EXPECT_EQ(GetI(3), 7);
  EXPECT_EQ(GetC(4), "29.02.2024");
  EXPECT_TRUE(*FieldAddress(5));
  SKIP(1);
  EXPECT_EQ(RTrim(GetC(1)), "abc");
  EXPECT_DOUBLE_EQ(GetN(2), -3.25);
  EXPECT_EQ(GetI(3), -12);
  EXPECT_EQ(GetC(4), "  .  .    ");
  EXPECT_FALSE(*FieldAddress(5));

  // One field changes; every other byte stays, except the header date.
  ASSERT_TRUE(RLock());
  SetI(3, 555);
  Replace();
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  Unlock();
  CloseArea();
  auto after = Bytes(Path("py.dbf"));
  ASSERT_EQ(after.size(), before.size());
  size_t hl = plat::readLE16(before.data() + 8), rl = plat::readLE16(before.data() + 10);
  size_t qtyAt = hl + rl + 1 + 20 + 10;
  for (size_t i = 0; i < before.size(); ++i) {
    if (i >= 1 && i <= 3) continue;
    if (i >= qtyAt && i < qtyAt + 6) continue;
    EXPECT_EQ(after[i], before[i]) << "byte " << i;
  }
  EXPECT_EQ(std::string(after.begin() + std::ptrdiff_t(qtyAt), after.begin() + std::ptrdiff_t(qtyAt + 6)), "   555");
  EXPECT_EQ(after[1], 126);
  EXPECT_EQ(after[2], 3);
  EXPECT_EQ(after[3], 15);
  ASSERT_EQ(RunPython(dir_, kDumpWithDbfread, {Path("py.dbf"), "cp1250"}, out), 0) << out;
  EXPECT_NE(out.find("  abc|-3.25|555|None|False\n"), std::string::npos) << out;
}

}  // namespace

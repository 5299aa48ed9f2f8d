// Locate, Continue and LocateFields: the comparison options on Polish text
// in an OEM table, numbers and dates in their stored forms, hidden
// records, memo search through the memo hook, and in-memory tables.
#include <functional>
#include <string>
#include <vector>

#include "dbf_testutil.h"
#include "platform/codepage.h"
#include "tablebase/tzcommon.h"

namespace {

using dbftest::TableTest;

// Windows-1250 bytes of UTF-8 source text.
std::string W(const char* utf8) { return plat::Utf8ToWin1250Lossy(utf8); }

struct Row {
  const char* name;
  const char* city;
  double amount;
  int32_t count;
  const char* date;
  bool ok;
  bool deleted;
};

const Row kRows[] = {
    {"SMITHSON", "Rome", 12.5, 7, "15.03.2026", true, false},
    {"ŻÓŁW", "Łódź", 1234.56, -3, "01.01.1999", true, false},
    {"żółw", "Kraków", 0.1, 0, "29.02.2024", false, false},
    {"Śliwa", "Gdańsk", -7.25, 12, "31.12.2025", true, false},
    {"SMITH", "ROME", 99.99, 5, "15.03.2026", false, false},
    {"Ćma", "Rome", 1, 1, "02.02.2002", true, true},
    {"Ćma", "Poznań", 2, 2, "03.03.2003", true, false},
};

class LocateTest : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    SetDateFormat(4);
    SetCentury();
    // OEM (CP852) on disk, as the engine writes by default.
    Create("osoby.dbf", {F("nazwisko", 'C', 10), F("miasto", 'C', 12), F("kwota", 'N', 10, 2), F("ile", 'N', 5),
                         F("data", 'D'), F("ok", 'L')});
    USE(Path("osoby") + " EXCLUSIVE", nullptr, 0);
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    for (const Row& r : kRows) {
      *FieldAddress(0) = 0;
      SetC(1, W(r.name));
      SetC(2, W(r.city));
      SetN(3, r.amount);
      SetI(4, r.count);
      SetC(5, r.date);
      SetL(6, r.ok);
      Append();
      ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
      if (r.deleted) DeleteRec();
    }
    CloseArea();
    USE(Path("osoby"), nullptr, 0);
    ASSERT_EQ(LastErrorCode(), 0);
  }
  // The record Locate stands on, 0 when it found nothing.
  static int32_t Found(bool found) { return found ? RecNo() : 0; }
};

TEST_F(LocateTest, OptionsOnPolishTextInAnOemTable) {
  // "Ż" of record 2 is stored in CP852 (header 225 bytes, records 47).
  ASSERT_EQ(Bytes(Path("osoby.dbf"))[225 + 47 + 1], 0xBD);
  struct Case {
    const char* field;
    LocateValue value;
    bool noCase, exact;
    int32_t expected;
  } cases[] = {
      {"NAZWISKO", W("SMITH"), false, false, 1},
      {"NAZWISKO", W("SMITH"), false, true, 5},
      {"nazwisko EXACT", W("SMITH"), false, false, 5},
      {"NAZWISKO CONTAINED", W("ITHS"), false, false, 1},
      {"NAZWISKO", W("smith"), true, false, 1},
      {"NAZWISKO", W("smith"), false, false, 0},
      {"NAZWISKO", W("żółw"), false, false, 3},
      {"NAZWISKO", W("żółw"), true, false, 2},
      {"NAZWISKO NOCASE", W("ŻÓŁW"), false, false, 2},
      {"NAZWISKO", W("ŻÓŁW"), false, true, 2},
      {"NAZWISKO", W("Żół"), false, true, 0},
      {"NAZWISKO CONTAINED", W("ÓŁ"), false, false, 2},
      {"NAZWISKO CONTAINED", W("óŁ"), true, false, 2},
      {"NAZWISKO CONTAINED", W("liw"), false, false, 4},
      {"MIASTO", W("Łódź"), false, false, 2},
      {"MIASTO CONTAINED NOCASE", W("AŃS"), false, false, 4},
      {"MIASTO", W("Łódź   "), false, false, 2},
      {"MIASTO", W(""), false, false, 1},
      {"  MIASTO   ", W("Kra"), false, false, 3},
      {"KWOTA", 1234.56, false, false, 2},
      {"KWOTA", -7.25, false, false, 4},
      {"KWOTA", std::string("0.1"), false, false, 3},
      {"KWOTA", int64_t(3), false, false, 0},
      {"KWOTA", int64_t(1), false, false, 6},
      {"ILE", int64_t(-3), false, false, 2},
      {"ILE", 12.0, false, false, 4},
      {"DATA", std::string("29.02.2024"), false, false, 3},
      {"OK", false, false, false, 3},
      {"OK", true, false, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.field) + " #" + std::to_string(&c - cases));
    EXPECT_EQ(Found(Locate(c.field, c.value, c.noCase, 1, c.exact)), c.expected);
    EXPECT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    if (c.expected == 0) {
      EXPECT_TRUE(dEOF());
    }
  }
}

TEST_F(LocateTest, NumbersMatchWhateverTheDecimalSeparator) {
  Engine().text.TzDecimalSep = ',';
  Engine().text.TzThousandSep = '.';
  EXPECT_EQ(Found(Locate("KWOTA", 1234.56, false, 1, false)), 2);
  EXPECT_EQ(Found(Locate("KWOTA", std::string("0,1"), false, 1, false)), 3);
  EXPECT_EQ(Found(Locate("KWOTA EXACT", 99.99, false, 1, false)), 5);
}

TEST_F(LocateTest, ContinueWalksTheMatchesAndHiddenRecordsAreSkipped) {
  EXPECT_EQ(Found(Locate("MIASTO", W("ROME"), true, 1, false)), 1);
  Continue();
  EXPECT_EQ(RecNo(), 5);
  Continue();
  EXPECT_EQ(RecNo(), 6);  // deleted, but shown
  Continue();
  EXPECT_TRUE(dEOF());
  // The failed search ended it.
  Continue();
  EXPECT_EQ(LastErrorCode(), 220);
  EXPECT_EQ(LastErrorMessage(), "Call to CONTINUE not preceeded by call to LOCATE. [Continue]");

  SetIgnoreDel(true);
  EXPECT_EQ(Found(Locate("NAZWISKO", W("Ćma"), false, 1, false)), 7);
  EXPECT_EQ(Found(Locate("MIASTO", W("Rome"), false, 2, false)), 0);
  EXPECT_EQ(Found(Locate("NAZWISKO", W("S"), false, 50, false)), 0);
  EXPECT_TRUE(dEOF());
}

// The search belongs to the area and the open it was started on; anywhere
// else Continue knows of no search (its field number would index another
// table's fields).
TEST_F(LocateTest, ContinueElsewhereKnowsNoSearch) {
  Create("jedno.dbf", {F("x", 'C', 1)});
  const std::string notPreceded = "Call to CONTINUE not preceeded by call to LOCATE. [Continue]";
  struct Case {
    const char* what;
    std::function<void()> elsewhere;
  } cases[] = {
      {"another area", [&] { Select(2), USE(Path("jedno"), nullptr, 0); }},
      {"another table in the area", [&] { USE(Path("jedno"), nullptr, 0); }},
      {"the table reopened", [&] { USE(Path("osoby"), nullptr, 0); }},
      {"the table closed, opened in another area", [&] { CloseArea(), Select(2), USE(Path("osoby"), nullptr, 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CloseAll();
    USE(Path("osoby"), nullptr, 0);
    ASSERT_TRUE(Locate("OK", true, false, 1, false));
    c.elsewhere();
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    const int32_t at = RecNo();
    Continue();
    EXPECT_EQ(LastErrorCode(), 220);
    EXPECT_EQ(LastErrorMessage(), notPreceded);
    EXPECT_EQ(RecNo(), at);
  }
  // Back in its own area the search goes on.
  CloseAll();
  USE(Path("osoby"), nullptr, 0);
  ASSERT_TRUE(Locate("OK", true, false, 1, false));
  Select(2);
  USE(Path("jedno"), nullptr, 0);
  Select(1);
  Continue();
  EXPECT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  EXPECT_EQ(RecNo(), 2);
}

TEST_F(LocateTest, SearchSeesWhatAnotherAreaWrote) {
  Select(2);
  USE(Path("osoby") + " ALIAS OTHER", nullptr, 0);
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  GO(4);
  ASSERT_TRUE(RLock());
  SetC(1, W("Nowak"));
  Replace();
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  Select(1);
  EXPECT_EQ(Found(Locate("NAZWISKO", W("Nowak"), false, 1, false)), 4);
}

TEST_F(LocateTest, BadFieldsAreReported) {
  struct Case {
    const char* field;
    uint16_t code;
    const char* message;
  } cases[] = {
      {"PENSJA", 220, "Unrecognized field name [Locate/Count/Sum(PENSJA)]"},
      {"PENSJA NOCASE", 220, "Unrecognized field name [Locate/Count/Sum(PENSJA)]"},
      {"NOCASE", 220, "Unrecognized field name [Locate/Count/Sum(NOCASE)]"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(Locate(c.field, W("x"), false, 1, false));
    EXPECT_EQ(LastErrorCode(), c.code);
    EXPECT_EQ(LastErrorMessage(), c.message);
  }
  EXPECT_FALSE(Locate("   ", W("x"), false, 1, false));
  EXPECT_EQ(LastErrorCode(), 0);
  EXPECT_EQ(LocateCountSum(""), 0);
  EXPECT_EQ(LastErrorMessage(), "No field name specified [Locate/Count/Sum]");
  Select(9);
  EXPECT_FALSE(Locate("NAZWISKO", W("x"), false, 1, false));
  EXPECT_EQ(LastErrorCode(), 215);
}

TEST_F(LocateTest, LocateFieldsMatchesAllFieldsOnOneRecord) {
  GO(3);
  // Record 1 matches the name only (its city is "Rome").
  EXPECT_TRUE(LocateFields("NAZWISKO;MIASTO", {W("SMITH"), W("ROME")}, false, true, false));
  EXPECT_EQ(RecNo(), 5);
  GO(3);
  EXPECT_TRUE(LocateFields("NAZWISKO;MIASTO", {W("SMITH"), W("ROME")}, false, false, false));
  EXPECT_EQ(RecNo(), 3);
  EXPECT_FALSE(LocateFields("NAZWISKO;MIASTO;OK", {W("SMITH"), W("ROME"), true}, false, true, false));
  EXPECT_EQ(RecNo(), 3);
  EXPECT_TRUE(LocateFields("MIASTO", {W("Gda")}, false, true, false));
  EXPECT_EQ(RecNo(), 4);

  // The relation is held off during the search and put back unrun.
  int runs = 0;
  SetRelation([&] { ++runs; });
  runs = 0;
  EXPECT_TRUE(LocateFields("NAZWISKO;ILE", {W("Ć"), int64_t(2)}, false, true, false));
  EXPECT_EQ(RecNo(), 7);
  EXPECT_EQ(runs, 0);
  SKIP(0);
  EXPECT_EQ(runs, 1);
}

TEST_F(LocateTest, MemoSearchGoesThroughTheMemoHook) {
  DbSettings().DefaultVersionByte = 0x83;
  Create("notes.dbf", {F("id", 'N', 3), F("tekst", 'M')});
  USE(Path("notes") + " EXCLUSIVE", nullptr, 0);
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  for (int32_t block : {0, 5, 9}) {
    SetI(1, block);
    SetI(2, block);
    Append();
  }
  const std::vector<int32_t> asked_expected{5, 9};
  EXPECT_FALSE(Locate("TEKST", W("x"), false, 1, false));
  EXPECT_EQ(LastErrorCode(), 220);
  EXPECT_EQ(LastErrorMessage(), "MEMO unit not linked in [Count/Sum/Continue]");

  // A memo layer that serves fixed texts; an OEM table's memos hold CP852.
  struct Lines : TextDevice {
    std::vector<std::string> lines;
    size_t next = 0;
    void Open(bool) override { next = 0; }
    bool ReadLine(std::string& line) override {
      if (next >= lines.size()) return false;
      line = plat::AnsiToOem(lines[next++]);
      return true;
    }
    void Write(std::string_view) override {}
    void Close() override {}
  };
  std::vector<int32_t> asked;
  Hooks().Memo.AssignMemo = [&](TextFile& file, int32_t& ref) {
    asked.push_back(ref);
    auto d = std::make_unique<Lines>();
    d->lines = ref == 9 ? std::vector<std::string>{W("Pierwsza linia"), W("Druga: Źródło")}
                        : std::vector<std::string>{W("nic")};
    file.Assign(std::move(d));
  };
  EXPECT_EQ(Found(Locate("TEKST", W("źródło"), true, 1, false)), 3);
  EXPECT_EQ(asked, asked_expected);
  EXPECT_EQ(Found(Locate("TEKST", W("źródło"), false, 1, false)), 0);
  EXPECT_EQ(Found(Locate("TEKST", W("ga: Ź"), false, 1, false)), 3);
}

TEST_F(LocateTest, InMemoryTablesSearchTheirTypedRecords) {
  CloseArea();
  char buf[1 + 11 + 8] = {};
  USE("lista VIRTUAL FILE", buf, sizeof buf);
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  WorkArea& a = *CurrentWorkArea();
  a.Fields = {F("NAME", 'C', 10), F("KWOTA", 'N', 8, 2)};
  a.Fields[1].Pos = 11;
  LayoutTypedRecord(a);
  for (auto [name, amount] : {std::pair{"Łukasz", 1.5}, {"Zofia", 2.25}, {"łukasz", 3.0}}) {
    SetC(1, W(name));
    SetN(2, amount);
    Append();
  }
  EXPECT_EQ(Found(Locate("NAME", W("ŁUKASZ"), true, 1, false)), 1);
  Continue();
  EXPECT_EQ(RecNo(), 3);
  EXPECT_EQ(Found(Locate("KWOTA", 2.25, false, 1, false)), 2);
  EXPECT_EQ(Found(Locate("NAME EXACT", W("Zofia"), false, 1, false)), 2);
}

}  // namespace

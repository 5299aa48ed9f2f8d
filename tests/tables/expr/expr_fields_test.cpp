// Expressions over real tables: fields and alias->field references, the
// record functions, result lengths of keys, filters and WHILE conditions
// through the engine's hooks.
#include <random>

#include "tables/expr/expr_testutil.h"
#include "tablebase/tzcommon.h"
#include "tables/memo/memo.h"
#include "tablebase/tzdbflow.h"

namespace {

using exprtest::Cp;
using exprtest::DbfField;
using exprtest::Eval;
using exprtest::ExpectValues;
using exprtest::ExprTest;
using exprtest::Oem;
using exprtest::WriteDbf;

class FieldsTest : public ExprTest {
 protected:
  void SetUp() override {
    ExprTest::SetUp();
    WriteDbf(Path("osoby.dbf"),
             {{"NAZWISKO", 'C', 20, 0},
              {"DATA", 'D', 8, 0},
              {"KWOTA", 'N', 10, 2},
              {"ILOSC", 'N', 5, 0},
              {"AKTYWNY", 'L', 1, 0},
              {"UPPER", 'C', 5, 0}},
             {{Oem("Żółkiewski"), "20240305", "1234.50", "3", "T", "abc"},
              {Oem("Łęcki"), "        ", "-0.75", "", "n", "def"},
              {"Nowak", "19991231", "", "12", "y", ""},
              {"Abacki", "20000229", "99.99", "-4", "F", "ghi"}},
             {false, true, false, false});
    WriteDbf(Path("miasta.dbf"), {{"KOD", 'C', 6, 0}, {"NAZWA", 'C', 15, 0}},
             {{"00-001", "Warszawa"}, {"30-001", Oem("Kraków")}});
    WriteDbf(Path("pusta.dbf"), {{"TEKST", 'C', 4, 0}, {"D", 'D', 8, 0}, {"N", 'N', 6, 1}, {"L", 'L', 1, 0}},
             {});
  }
};

TEST_F(FieldsTest, FieldsOfTheCurrentRecord) {
  Open(1, "osoby.dbf alias os");
  ExpectValues({
      {"NAZWISKO", 'C', Cp("Żółkiewski") + std::string(10, ' ')},
      {"UPPER(TRIM(NAZWISKO))", 'C', Cp("ŻÓŁKIEWSKI")},
      {"UPPER(NAZWISKO) + DTOS(DATA)", 'C', Cp("ŻÓŁKIEWSKI          20240305")},
      {"DTOC(DATA)", 'C', "05.03.2024"},
      {"KWOTA * 2", 'N', "2469"},
      {"STR(KWOTA, 10, 2)", 'C', "   1234.50"},
      {"ILOSC + 1", 'N', "4"},
      {"AKTYWNY", 'L', "T"},
      {"RECNO()", 'N', "1"},
      {"DELETED()", 'L', "F"},
      // A field shadows a function of its name unless "(" follows.
      {"UPPER", 'C', "abc  "},
      {"UPPER(UPPER)", 'C', "ABC  "},
      {"upper ( upper )", 'C', "ABC  "},
  });
  GO(2);
  ExpectValues({
      {"DELETED()", 'L', "T"},
      {"RECNO()", 'N', "2"},
      {"DTOS(DATA)", 'C', "        "},
      {"DATA > CTOD('31.12.9999')", 'L', "T"},
      {"KWOTA", 'N', "-0.75"},
      {"ILOSC", 'N', "0"},
      {"AKTYWNY", 'L', "F"},
  });
  GO(3);
  ExpectValues({{"AKTYWNY", 'L', "T"}, {"KWOTA", 'N', "0"}, {"DTOC(DATA + 1)", 'C', "01.01.2000"}});
}

// Keys that only join fields (as they are, upper-cased, DTOS of a date)
// are built without the evaluator's machine; each must give the bytes the
// machine gives, which a trailing empty text forces it to run.
TEST_F(FieldsTest, JoinedFieldKeysGiveTheMachinesBytes) {
  std::vector<std::vector<std::string>> rows = {
      {Oem("żółw łąka"), "20240305"}, {Oem("ŚĆŹ"), "        "}, {"Nowak", "20230229"}, {"x", "20231301"},
      {"y", "00000101"},   {"z", "00010101"},   {"q", "99991231"}, {"w", "2023 1 5"},  {"v", "20240229"},
      {"u", "20240131"},   {"t", "20230428"},   {std::string("a\0b", 3), "20240101"}, {"s", "20:40101"}};
  // Long texts, upper-cased sixteen bytes at a time: every byte but NUL,
  // the 7-bit ones alone, and a NUL in a later block.
  std::string every, seven, late(40, 'k');
  for (int c = 1; c < 256; ++c) every += char(c);
  for (int c = 1; c < 128; ++c) seven += char(c);
  late[30] = '\0';
  rows.push_back({"r", "20240101", every, seven});
  rows.push_back({"r", "20240101", seven, late});
  WriteDbf(Path("klucze.dbf"),
           {{"NAZWISKO", 'C', 12, 0}, {"DATA", 'D', 8, 0}, {"IMIE", 'C', 250, 0}, {"OPIS", 'C', 40, 0}}, rows);
  const std::vector<std::string> keys = {"UPPER(NAZWISKO)+DTOS(DATA)", "NAZWISKO+DTOS(DATA)", "DTOS(DATA)",
                                         "UPPER(NAZWISKO)", "DTOS(DATA)+UPPER(NAZWISKO)+NAZWISKO",
                                         "UPPER(IMIE)+DTOS(DATA)", "UPPER(IMIE)", "UPPER(OPIS)+DTOS(DATA)"};
  for (bool oem : {true, false}) {
    DbSettings().AnsiTables = !oem;
    Open(1, "klucze.dbf");
    for (const auto& key : keys) {
      ExprRecord* fast = AssignExpr(key);
      ExprRecord* machine = AssignExpr(key + "+''");
      ASSERT_TRUE(fast && machine) << key;
      EXPECT_FALSE(fast->Parts.empty()) << key;
      EXPECT_TRUE(machine->Parts.empty()) << key;
      for (int r = 1; r <= int(rows.size()); ++r) {
        GO(r);
        const std::string want = ExprText(Evaluate(machine));
        EXPECT_EQ(ExprText(Evaluate(fast)), want) << key << " record " << r;
      }
      FreeExpr(fast);
      FreeExpr(machine);
    }
    CloseAll();
  }
}

// Numeric, date and logical expressions run as plain numbers without the
// work stack; each must give the machine's bytes and errors, over field
// texts of every kind other programs leave in a table.
TEST_F(FieldsTest, PlainNumberExpressionsGiveTheMachinesResults) {
  std::mt19937 rng(15);
  const auto pick = [&](const std::vector<std::string>& from) { return from[rng() % from.size()]; };
  const auto number = [&](int width, int dec) {
    const int kind = int(rng() % 5);
    if (kind == 0) return pick({"", "*", "************", "-0.00", "+12", "12.5 ", "1E3", " 1-2", "\t7", "-", ".5"});
    std::string t = FormatNumber((double(rng() % 2000001) - 1000000.0) / (kind == 1 ? 1.0 : 100.0), 0, dec);
    if (t.size() > size_t(width)) return std::string(size_t(width), '*');
    if (kind == 4) {
      // NULs before the digits, or one byte of the text changed.
      t = std::string(size_t(width) - t.size(), rng() % 2 ? '\0' : ' ') + t;
      t[rng() % t.size()] = std::string(" -+.0123456789e\0", 16)[rng() % 16];
    }
    return t;
  };
  std::vector<std::vector<std::string>> rows;
  for (int r = 0; r < 400; ++r) {
    std::string date = pick({"", "20230229", "00000000", "2023 1 5", "99991231"});
    if (rng() % 3 != 0) date = JulianToDtos(JulianFromYMD(1900 + int(rng() % 150), 1 + int(rng() % 12), 1 + int(rng() % 31)));
    // Sixteen digits, below and above 2^52.
    const std::string big = std::to_string((uint64_t(rng()) << 32 | rng()) % 10000000000000000u);
    rows.push_back({number(12, 2), number(6, 0), number(10, 4), date, pick({"T", "t", "Y", "y", "F", "n", " ", "?"}),
                    number(12, 2), rng() % 2 ? big : number(16, 0)});
  }
  // KWOTA stands where fewer than sixteen record bytes end with it, SUMA,
  // of the same kind, where more do.
  WriteDbf(Path("liczby.dbf"),
           {{"KWOTA", 'N', 12, 2},
            {"ILOSC", 'N', 6, 0},
            {"CENA", 'F', 10, 4},
            {"DATA", 'D', 8, 0},
            {"AKTYWNY", 'L', 1, 0},
            {"SUMA", 'N', 12, 2},
            {"DUZA", 'N', 16, 0}},
           rows);
  Open(1, "liczby.dbf");
  const std::vector<std::string> exprs = {
      "KWOTA",
      "CENA",
      "DUZA",
      "ILOSC * 100 + KWOTA",
      "SUMA - KWOTA",
      "-KWOTA * 2 - CENA",
      "SUMA - ILOSC * 3",
      "ILOSC * 100 + SUMA",
      "SUMA + ILOSC * 1000000 + DUZA",
      "(SUMA - ILOSC) * -3 + CENA * (2 - 5) - 7",
      "CENA - CENA + ILOSC",
      "-(SUMA + 7)",
      "ILOSC * SUMA",
      "SUMA * SUMA - CENA",
      "SUMA * 1.5",
      "DUZA * 1000 + 1",
      "KWOTA / ILOSC + CENA / (KWOTA - KWOTA)",
      "AKTYWNY .AND. KWOTA > 1000 .AND. DATA >= CTOD('01.01.2000')",
      ".NOT. AKTYWNY .OR. DATA - 30 < CTOD('31.12.1999') .OR. DATA = CTOD('')",
      "DATA + ILOSC",
      "ILOSC + DATA - DATA",
      "AKTYWNY = (KWOTA <> CENA) .AND. AKTYWNY <> .F.",
      "KWOTA = ILOSC .OR. KWOTA <= ILOSC .OR. CENA >= 5 .OR. DATA <= DATA - 1 .OR. DATA > CTOD('1.1.1')",
  };
  for (const auto& text : exprs) {
    ExprRecord* fast = AssignExpr(text);
    ExprRecord* machine = AssignExpr(text);
    ASSERT_TRUE(fast && machine) << text;
    ASSERT_FALSE(fast->Fast.empty()) << text;
    machine->Fast.clear();
    const size_t size = fast->ResultType == 'L' ? sizeof(int32_t) : sizeof(double);
    for (int r = 1; r <= int(rows.size()); ++r) {
      GO(r);
      LastErrorCode() = 0;
      const std::string want(static_cast<const char*>(Evaluate(machine)), size);
      const uint16_t wantError = LastErrorCode();
      LastErrorCode() = 0;
      EXPECT_EQ(std::string(static_cast<const char*>(Evaluate(fast)), size), want) << text << " record " << r;
      EXPECT_EQ(LastErrorCode(), wantError) << text << " record " << r;
      // The key of an index on it: from the fields' digits where they decide it.
      if (fast->ResultType == 'N') {
        EXPECT_EQ(EvaluateNumericKey(fast, fast->ResultDec), BcdKeyFromFloatGeneral(fast->ResultDec, ExprNumber(want.data())))
            << text << " record " << r;
      }
    }
    FreeExpr(fast);
    FreeExpr(machine);
  }
}

struct KeyCase {
  std::string text;
  char type;
  uint16_t len;
  uint8_t dec;
};

TEST_F(FieldsTest, ResultLengthAndDecimalsOfKeys) {
  Open(1, "osoby.dbf");
  KeyCase cases[] = {
      {"NAZWISKO", 'C', 20, 0},
      {"UPPER(NAZWISKO)", 'C', 20, 0},
      {"LTRIM(NAZWISKO)", 'C', 20, 0},
      {"DTOS(DATA)", 'C', 8, 0},
      {"UPPER(NAZWISKO)+DTOS(DATA)", 'C', 0, 0},
      {"SUBSTR(NAZWISKO, 1, 5)", 'C', 0, 0},
      {"KWOTA", 'N', 10, 2},
      {"ILOSC", 'N', 5, 0},
      {"ROUND(KWOTA, 2)", 'N', 13, 2},
      {"KWOTA + ILOSC", 'N', 5, 2},
      {"ILOSC + KWOTA", 'N', 10, 2},
      {"DATA", 'D', 8, 0},
      {"AKTYWNY", 'L', 1, 0},
  };
  for (const auto& c : cases) {
    auto o = Eval(c.text);
    ASSERT_TRUE(o.compiled) << c.text << o.message;
    EXPECT_EQ(o.type, c.type) << c.text;
    EXPECT_EQ(o.len, c.len) << c.text;
    EXPECT_EQ(o.dec, c.dec) << c.text;
  }
}

TEST_F(FieldsTest, AliasFieldAcrossWorkAreas) {
  Open(1, "osoby.dbf alias os");
  Open(2, "miasta.dbf");
  GO(2);
  Select(1);
  ExpectValues({
      {"MIASTA->NAZWA", 'C', Cp("Kraków") + std::string(9, ' ')},
      {"TRIM(NAZWISKO) + '/' + TRIM(miasta  ->NAZWA)", 'C', Cp("Żółkiewski/Kraków")},
  });
}

TEST_F(FieldsTest, AliasReferenceRules) {
  Open(1, "osoby.dbf alias os");
  Open(200, "miasta.dbf alias ostatni");
  Select(1);
  auto o = Eval("OSTATNI->KOD");
  EXPECT_TRUE(o.compiled) << o.message;
  EXPECT_EQ(o.value, "00-001");
  struct Bad {
    std::string text;
  } bad[] = {{"NIEMA->KOD"}, {"OSTATNI->NIEMA"}, {"OS->KOD"}, {"KOD"}};
  for (const auto& b : bad) {
    auto e = Eval(b.text);
    EXPECT_FALSE(e.compiled) << b.text;
    EXPECT_EQ(e.error, 351) << b.text;
  }
  // A closed alias reads as unknown.
  Select(200);
  CloseArea();
  Select(1);
  EXPECT_FALSE(Eval("OSTATNI->KOD").compiled);
}

TEST_F(FieldsTest, EmptyTableFieldsReadBlank) {
  Open(1, "pusta.dbf");
  ExpectValues({
      {"'[' + TEKST + ']'", 'C', "[    ]"},
      {"DTOS(D)", 'C', "        "},
      {"N", 'N', "0"},
      {"L", 'L', "F"},
      {"RECNO()", 'N', "0"},
  });
}

TEST_F(FieldsTest, ExpressionOutlivingItsTableReadsBlankOrReportsOverflow) {
  Open(1, "miasta.dbf");
  ExprRecord* r = AssignExpr("NAZWA");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(std::string(ExprText(Evaluate(r))), "Warszawa       ");
  // The same alias now holds a table whose first field is longer than the
  // string work area was sized for.
  WriteDbf(Path("dlugie.dbf"), {{"KOD", 'C', 6, 0}, {"NAZWA", 'C', 40, 0}}, {{"x", std::string(40, 'd')}});
  Open(1, "dlugie.dbf alias miasta");
  LastErrorCode() = 0;
  EXPECT_EQ(std::string(ExprText(Evaluate(r))), "");
  EXPECT_EQ(LastErrorCode(), 354);
  EXPECT_EQ(TakeLastErrorMessage(), "Working pool overflow [PARSER/Allocate]");
  CloseArea();
  LastErrorCode() = 0;
  EXPECT_EQ(std::string(ExprText(Evaluate(r))), "");
  EXPECT_EQ(LastErrorCode(), 0);
  FreeExpr(r);
}

TEST_F(FieldsTest, MemoFieldsReadAsTheirLinesJoined) {
  std::vector<FieldEntry> fields = {{"ID", 'N', 3, 0}, {"UWAGI", 'M', 10, 0}};
  WorkArea scratch;
  CreateDbf(scratch, Path("notatki.dbf"), fields);
  Open(1, "notatki.dbf exclusive");
  // An OEM table keeps its memo text in CP852; expressions see it in the
  // engine's code page, as they see its fields.
  const int32_t block = AddMemo(Oem("Źródło\r\nsecond\r\n") + std::string(300, 'm'));
  ASSERT_GT(block, 0) << LastErrorMessage();
  for (int32_t ref : {block, 0}) {
    std::memcpy(FieldAddress(2), &ref, sizeof ref);
    Append();
  }
  GO(1);
  ExprRecord* r = AssignExpr("UWAGI");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->ResultType, 'M');
  EXPECT_EQ(r->ResultLen, 256);
  std::string text = ExprText(Evaluate(r));
  EXPECT_EQ(text, Cp("Źródłosecond") + std::string(255 - 12, 'm'));
  GO(2);
  EXPECT_EQ(std::string(ExprText(Evaluate(r))), "");
  FreeExpr(r);
  EXPECT_FALSE(Eval("UWAGI + 'x'").compiled);
  EXPECT_FALSE(Eval("UPPER(UWAGI)").compiled);
}

TEST_F(FieldsTest, FilterExpressionHidesRecordsDuringSkip) {
  Open(1, "osoby.dbf");
  WorkArea* a = CurrentWorkArea();
  a->FilterExpr = AssignExpr("ILOSC > 0 .AND. .NOT. DELETED()");
  ASSERT_NE(a->FilterExpr, nullptr);
  std::vector<int32_t> seen;
  for (GoTop(); !dEOF(); SKIP(1)) seen.push_back(RecNo());
  EXPECT_EQ(seen, (std::vector<int32_t>{1, 3}));
  seen.clear();
  for (GoBottom(); !dBOF(); SKIP(-1)) seen.push_back(RecNo());
  EXPECT_EQ(seen, (std::vector<int32_t>{3, 1}));
  // Closing the area frees the expression through the hooks.
  EXPECT_EQ(Engine().expr.Ring.size(), 1u);
  CloseArea();
  EXPECT_TRUE(Engine().expr.Ring.empty());
}

TEST_F(FieldsTest, WhileExpressionStopsAScan) {
  Open(1, "osoby.dbf");
  WorkArea* a = CurrentWorkArea();
  a->WhileExpr = AssignExpr("RECNO() < 3");
  ASSERT_NE(a->WhileExpr, nullptr);
  GoTop();
  SKIP(10);
  EXPECT_EQ(RecNo(), 3);
  EXPECT_TRUE(dEOF());
  Engine().db.Hooks.Expr.Free(a->WhileExpr);
  EXPECT_EQ(a->WhileExpr, nullptr);
}

}  // namespace

namespace {

// An in-memory table keeps its record in the typed form: numbers as
// floats or integers, dates as text in the picture.
TEST_F(FieldsTest, InMemoryTableFieldsReadFromTheTypedRecord) {
  auto area = std::make_unique<WorkArea>();
  WorkArea& a = *area;
  a.Virtual = true;
  a.Alias = "MEM";
  a.Fields = {{"TXT", 'C', 5, 0}, {"KW", 'N', 8, 2}, {"IL", 'N', 4, 0}, {"OK", 'L', 1, 0}, {"DT", 'D', 8, 0}};
  a.TypedOffsets = {1, 7, 15, 19, 20};
  a.TypedStore.assign(31, '\0');
  a.Typed = a.TypedStore.data();
  a.TypedSize = 31;
  a.Rec = a.Typed;
  a.RecLen = 31;
  a.RecCount = 1;
  a.RecNo = 1;
  char* t = a.Typed;
  t[1] = 3;
  std::memcpy(t + 2, "abc", 3);
  double kw = 12.5;
  std::memcpy(t + 7, &kw, 8);
  int32_t il = 7;
  std::memcpy(t + 15, &il, 4);
  t[19] = 1;
  t[20] = 10;
  std::memcpy(t + 21, "05.03.2024", 10);
  Engine().db.Areas[3] = std::move(area);
  Open(1, "miasta.dbf");
  ExpectValues({
      {"MEM->TXT", 'C', "abc"},
      {"MEM->KW + MEM->IL", 'N', "19.5"},
      {"MEM->OK", 'L', "T"},
      {"DTOS(MEM->DT)", 'C', "20240305"},
  });
  // A typed buffer too short for a slot reads blank, never past its end.
  ExprRecord* r = AssignExpr("DTOS(MEM->DT)");
  ASSERT_NE(r, nullptr);
  a.TypedSize = 25;
  EXPECT_EQ(std::string(ExprText(Evaluate(r))), "        ");
  FreeExpr(r);
  Engine().db.Areas[3].reset();
}

}  // namespace

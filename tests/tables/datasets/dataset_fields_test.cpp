// Field values of every DBF type through the dataset's field objects and
// by name as DBF text, and the table structure as text: tables created from
// field lines (with the definition correction) and read back as lines.
#include "dataset_testutil.h"

namespace {

using dstest::DatasetTest;
using dstest::Cp;
using dstest::Row;

const std::vector<std::string> kAllTypes = {"nazwa, C, 75, 0", "kod, N, 2, 0",     "cena, N, 8, 2",
                                            "waga, F, 10, 3",  "data, D, 8, 0",    "aktywny, L, 1, 0",
                                            "miejscowos, C, 12, 0"};
const std::vector<std::string> kNames = {"nazwa", "kod", "cena", "waga", "data", "aktywny", "miejscowos"};

class DatasetFieldsTest : public DatasetTest {
 protected:
  void SetUp() override {
    DatasetTest::SetUp();
    MakeTable("f.dbf", kAllTypes, {{"ABC", "5", "12.50", "1.250", "20241105", "T", plat::AnsiToOem(Cp("Kraków"))}, {"", "", "", "", "", "F"}});
    d_.SetDbfFileName(Path("f"));
    d_.Open();
  }
  TTzDbf d_{"Tab"};
};

TEST_F(DatasetFieldsTest, EachTypeHasItsFieldClassAndValue) {
  struct Case {
    const char* name;
    TFieldType type;
    int size;
    std::string text, dbfText;
  } cases[] = {
      {"nazwa", TFieldType::ftString, 75, "ABC", "ABC" + std::string(72, ' ')},
      {"kod", TFieldType::ftInteger, 2, "5", " 5"},
      {"cena", TFieldType::ftFloat, 8, "12.5", "    12.5"},
      {"waga", TFieldType::ftFloat, 10, "1.25", "      1.25"},
      {"data", TFieldType::ftDate, 0, "05.11.2024", "05.11.2024"},
      {"aktywny", TFieldType::ftBoolean, 0, "True", "T"},
      {"miejscowosc", TFieldType::ftString, 12, Cp("Kraków"), Cp("Kraków") + "      "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TField& f = d_.FieldByName(std::string(c.name).substr(0, 10));
    EXPECT_EQ(f.DataType(), c.type);
    EXPECT_EQ(f.Size(), c.size);
    EXPECT_FALSE(f.IsNull());
    EXPECT_EQ(f.AsString(), c.text);
    EXPECT_EQ(d_.FieldStr(c.name), c.dbfText);
  }
  EXPECT_NE(dynamic_cast<TTzIntegerField*>(&d_.FieldByName("kod")), nullptr);
  EXPECT_NE(dynamic_cast<TTzFloatField*>(&d_.FieldByName("cena")), nullptr);
  EXPECT_NE(dynamic_cast<TTzDateField*>(&d_.FieldByName("data")), nullptr);
  EXPECT_EQ(d_.FieldByName("kod").AsInteger(), 5);
  EXPECT_DOUBLE_EQ(d_.FieldByName("cena").AsFloat(), 12.5);
  EXPECT_EQ(d_.FieldByName("cena").AsInteger(), 12);
  EXPECT_TRUE(d_.FieldBool("aktywny"));
  int y, m, day;
  DecodeDate(d_.FieldByName("data").AsDateTime(), y, m, day);
  EXPECT_EQ(y * 10000 + m * 100 + day, 20241105);

  d_.Next();  // blanks
  EXPECT_TRUE(d_.FieldByName("data").IsNull());
  EXPECT_EQ(d_.FieldStr("data"), "  .  .    ");
  EXPECT_EQ(d_.FieldStr("kod"), " 0");
  EXPECT_EQ(d_.FieldStr("aktywny"), "F");
  EXPECT_EQ(d_.FieldStr("nazwa"), std::string(75, ' '));
}

TEST_F(DatasetFieldsTest, WrittenValuesReachTheFileAsDbfText) {
  d_.Edit();
  d_.FieldByName("cena").SetAsFloat(1.23456);
  d_.FieldByName("waga").SetAsString("-2.5");
  d_.FieldByName("kod").SetAsString("42");
  d_.FieldByName("data").SetAsString("  .  .    ");  // the blank picture clears
  d_.FieldByName("aktywny").SetAsBoolean(false);
  d_.SetFieldStr("nazwa", Cp("Zażółć gęślą jaźń"));
  d_.Post();
  d_.Next();
  d_.SetFieldStr("data", "29.02.2024");
  d_.SetFieldBool("aktywny", true);
  d_.SetFieldInt("cena", 7);
  d_.Post();
  EXPECT_EQ(Row(d_, {"data", "aktywny", "cena"}), "29.02.2024|True|7");
  EXPECT_THROW(d_.SetFieldStr("data", "31.02.2024"), EDatabaseError);
  d_.Cancel();
  d_.Close();
  EXPECT_EQ(Stored("f", 3, 1), "    1.23");
  EXPECT_EQ(Stored("f", 5, 1), "        ");
  EXPECT_EQ(Stored("f", 6, 2), "T");
  EXPECT_EQ(dstest::Dbfread(Path("f.dbf"), "cp852", "'|'.join(str(v) for v in r.values())"),
            plat::Win1250ToUtf8(Cp("Zażółć gęślą jaźń")) + "|42|1.23|-2.5|None|False|Kraków\n"
                                                             "|0|7.0|0.0|2024-02-29|True|\n");
}

TEST_F(DatasetFieldsTest, TwoDigitYearsGetTheirCentury) {
  Engine().dates.CenturyOn = false;
  SetDateFormat(2);
  EXPECT_EQ(d_.FieldByName("data").AsString(), "05/11/24");
  d_.SetFieldStr("data", "06/12/25");
  d_.Post();
  EXPECT_EQ(d_.FieldStr("data"), "06/12/25");
  EXPECT_EQ(Stored("f", 5, 1), "20251206");
}

TEST_F(DatasetTest, InstallationTableIsReadByNameInWindows1250) {
  // The program's installation tables are ANSI tables; its other tables
  // keep OEM text. Either reads back as Windows-1250.
  const std::string name = Cp("Zakład Usług Łódź"), town = Cp("Łódź");
  for (const TTzTableLanguage language : {TTzTableLanguage::tlAnsi, TTzTableLanguage::tlOem}) {
    const bool ansi = language == TTzTableLanguage::tlAnsi;
    DbSettings().AnsiTables = ansi;
    MakeTable("ruv_inst.dbf", {"nazwa, C, 75, 0", "miasto, C, 30, 0"},
              {{ansi ? name : plat::AnsiToOem(name), ansi ? town : plat::AnsiToOem(town)}});
    TTzDbf inst("Ruv_inst");
    inst.TableLanguage = language;
    inst.SetDbfFileName(Path("ruv_inst.dbf"));
    inst.Open();
    EXPECT_EQ(inst.FieldStr("nazwa"), PadR(name, 75));
    EXPECT_EQ(inst.FieldStr("miasto"), PadR(town, 30));
    inst.Close();
  }
}

TEST_F(DatasetTest, TableIsCreatedFromFieldLinesWithCorrectedDefinitions) {
  TTzDbf d("Tab");
  d.DbfFields = {"nazwa, C, 75, 0", "kwota, N, 25, 20", "x, Q, 5, 0",     "pom, X, 1, 0",  "ilosc, N, 3, 2",
                 "opis, C, 300, 0", "n1, N, 1, 1",      "obraz, G, 10, 0", " data , d, 8, 0"};
  d.SetDbfFileName(Path("nowa"));
  d.Open();
  EXPECT_EQ(log_.texts.size(), 6u);
  EXPECT_EQ(log_.texts.at(0),
            "Invalid field definition for Tab: kwota,N,25,20. Will use corrected definition: kwota,N,20,18");
  d.FillDbfFields();
  const std::vector<std::string> expected = {"nazwa, C, 75, 0", "kwota, N, 20, 18", "x, C, 5, 0",
                                             "ilosc, N, 3, 1",  "opis, C, 254, 0",  "n1, N, 1, 0",
                                             "obraz, M, 10, 0", "data, D, 8, 0"};
  EXPECT_EQ(d.DbfFields, expected);
  EXPECT_EQ(log_.texts.size(), 6u);  // the table holds valid definitions
}

TEST_F(DatasetTest, TableThatCannotBeCreatedIsReported) {
  SetAutoErrorHandling(false);
  struct Case {
    std::vector<std::string> lines;
    std::vector<std::string> messages;
  } cases[] = {
      {{}, {"FieldList.Count is <= 0 trying to create a database"}},
      {{"nazwa, C, 75, 0", "kod N 2 0"}, {}},
  };
  for (const auto& c : cases) {
    log_.texts.clear();
    TTzDbf d("Tab");
    d.DbfFields = c.lines;
    d.SetDbfFileName(Path("brak"));
    EXPECT_THROW(d.Open(), EDatabaseError);
    std::vector<std::string> expected = c.messages;
    expected.push_back("Could not create \"" + Path("brak.DBF") + "\"");
    EXPECT_EQ(log_.texts, expected);
    EXPECT_FALSE(std::filesystem::exists(Path("brak.DBF")));
  }
}

}  // namespace

// Memo fields of the table component in each memo-file flavour: written and
// read by name through blob streams, converted in OEM tables, emptied by a
// stream without data, and read by an outside reader.
#include "dataset_testutil.h"

namespace {

using dstest::Cp;
using dstest::DatasetTest;

// The memo texts python3-dbfread reads, one per line (it reads a dBASE IV
// memo's length as if it did not count the block header, so the zeros
// after the text go).
std::string DbfreadMemos(const std::string& path) {
  return dstest::Dbfread(path, "cp852", "repr(r['UWAGI'].rstrip('\\x00'))");
}

TEST_F(DatasetTest, MemoFieldsAreWrittenAndReadByName) {
  const std::string polish = Cp("Zażółć gęślą\r\njaźń");
  struct Case {
    const char* what;
    uint8_t version;
    bool outsideReader;  // blob-stream memos of dBASE III files keep a form of their own
  } cases[] = {{"dBASE III", 0x83, false}, {"dBASE IV", 0x8B, true}, {"FoxPro", 0xF5, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DbSettings().DefaultVersionByte = c.version;
    const std::string file = Path(std::string("m") + std::to_string(c.version) + ".dbf");
    TTzDbf d("Memo");
    d.DbfFields = {"nazwa, C, 10, 0", "uwagi, M, 10, 0"};
    d.SetDbfFileName(file);
    d.Open();
    EXPECT_EQ(d.FieldByName("uwagi").DataType(), TFieldType::ftMemo);
    d.Append();
    d.SetFieldStr("nazwa", "A");
    d.SetFieldStr("uwagi", polish);
    d.Post();
    d.Append();
    d.SetFieldStr("nazwa", "B");
    d.FieldByName("uwagi").SetAsString("drugi");
    d.Post();
    d.Close();
    d.Open();
    EXPECT_EQ(d.FieldStr("uwagi"), polish);
    d.Next();
    EXPECT_EQ(d.FieldStr("uwagi"), "drugi");
    if (c.outsideReader) {
      EXPECT_EQ(DbfreadMemos(file), "'Zażółć gęślą\\r\\njaźń'\n'drugi'\n");
    }

    // A write stream opened in browse: the record goes into edit; without
    // data it empties the field.
    d.CreateBlobStream(d.FieldByName("uwagi"), TBlobStreamMode::bmWrite).reset();
    EXPECT_EQ(d.State(), TDataSetState::dsEdit);
    EXPECT_TRUE(d.Modified());
    d.Post();
    EXPECT_EQ(d.FieldStr("uwagi"), "");
    d.Prior();
    EXPECT_EQ(d.FieldStr("uwagi"), polish);
    d.Close();

    TTzDbf ro("Ro");
    ro.ReadOnly = true;
    ro.SetDbfFileName(file);
    ro.Open();
    EXPECT_EQ(ro.FieldStr("uwagi"), polish);
    EXPECT_THROW(ro.CreateBlobStream(ro.FieldByName("uwagi"), TBlobStreamMode::bmWrite), EDatabaseError);
    EXPECT_THROW(ro.CreateBlobStream(ro.FieldByName("nazwa"), TBlobStreamMode::bmRead), EDatabaseError);
  }
}

}  // namespace

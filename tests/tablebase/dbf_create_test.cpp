// Exact bytes of created tables and memo stubs, the read side of the
// dialects CreateDbf does not make, and the header bytes a table came with.
#include <cstring>

#include "dbf_testutil.h"
#include "platform/byteorder.h"
#include "platform/codepage.h"

namespace {

using dbftest::TableTest;

std::vector<uint8_t> Hex(const char* s) {
  std::vector<uint8_t> out;
  unsigned v;
  int n;
  while (std::sscanf(s, " %2x%n", &v, &n) == 1) {
    out.push_back(uint8_t(v));
    s += n;
  }
  return out;
}

void Add(std::vector<uint8_t>& v, const std::vector<uint8_t>& more) { v.insert(v.end(), more.begin(), more.end()); }
void Zeros(std::vector<uint8_t>& v, size_t n) { v.insert(v.end(), n, 0); }

// A 32-byte descriptor as dBASE III/IV and FoxPro write it.
std::vector<uint8_t> Desc32(const char* name, char type, uint8_t len, uint8_t dec) {
  std::vector<uint8_t> d(32, 0);
  std::memcpy(d.data(), name, std::strlen(name));
  d[11] = uint8_t(type);
  d[16] = len;
  d[17] = dec;
  return d;
}
std::vector<uint8_t> Desc48(const char* name, char type, uint8_t len, uint8_t dec) {
  std::vector<uint8_t> d(48, 0);
  std::memcpy(d.data(), name, std::strlen(name));
  d[32] = uint8_t(type);
  d[33] = len;
  d[34] = dec;
  return d;
}

class CreateTest : public TableTest {
 protected:
  std::vector<FieldEntry> Fields(bool memo) {
    std::vector<FieldEntry> f = {F("nazwa", 'C', 10), F("Kwota", 'N', 8, 2), F("data", 'd', 3), F("ok", 'L', 5, 4)};
    if (memo) f.push_back(F("uwagi", 'M'));
    return f;
  }
  std::vector<uint8_t> Descriptors(bool memo, bool level7) {
    auto D = level7 ? Desc48 : Desc32;
    std::vector<uint8_t> v;
    Add(v, D("NAZWA", 'C', 10, 0));
    Add(v, D("KWOTA", 'N', 8, 2));
    Add(v, D("DATA", 'D', 8, 0));
    Add(v, D("OK", 'L', 1, 0));
    if (memo) Add(v, D("UWAGI", 'M', 10, 0));
    return v;
  }
};

TEST_F(CreateTest, DbaseIIIWithoutMemo) {
  DbSettings().DefaultVersionByte = 0x03;
  auto fields = Fields(false);
  WorkArea scratch;
  CreateDbf(scratch, Path("t3"), fields);
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  // 2026-03-15: year byte 126; header 32 + 4 * 32 + 1 = 161; record 28.
  std::vector<uint8_t> want = Hex("03 7E 03 0F 00 00 00 00 A1 00 1C 00");
  Zeros(want, 20);
  Add(want, Descriptors(false, false));
  Add(want, Hex("0D 1A"));
  EXPECT_EQ(Bytes(Path("t3.DBF")), want);
  // The caller's entries come back normalised.
  EXPECT_EQ(fields[0].Name, "NAZWA");
  EXPECT_EQ(fields[2].Type, 'D');
  EXPECT_EQ(fields[2].Len, 8);
  EXPECT_EQ(fields[3].Len, 1);
  EXPECT_EQ(fields[3].Dec, 0);
  EXPECT_FALSE(std::filesystem::exists(Path("t3.DBT")));
}

TEST_F(CreateTest, MemoDialectsAndTheirStubs) {
  struct Case {
    uint8_t defaultVersion;
    uint8_t version;
    const char* memoExt;
    std::vector<uint8_t> stub;
  };
  std::vector<uint8_t> dbt3(513, 0);
  dbt3[0] = 1;
  dbt3[512] = 0x1A;
  std::vector<uint8_t> dbt4 = Hex("01 00 00 00 00 00 00 00 74 61 62 00 00 00 00 00 00 00 02 01 00 02 00 00");
  std::vector<uint8_t> fpt(512, 0);
  fpt[3] = 1;     // next free block 511 / 512 + 1, big-endian
  fpt[6] = 0x02;  // block size 512, big-endian
  const Case cases[] = {
      {0x83, 0x83, "dbt", dbt3},
      {0x8B, 0x8B, "dbt", dbt4},
      {0xF5, 0xF5, "fpt", fpt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.version));
    DbSettings().DefaultVersionByte = c.defaultVersion;
    std::filesystem::remove_all(Path("tab.dbf"));
    auto fields = Fields(true);
    WorkArea scratch;
    CreateDbf(scratch, Path("tab.dbf"), fields);
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    // Header 32 + 5 * 32 + 1 = 193; record 38.
    std::vector<uint8_t> want = {c.version, 0x7E, 0x03, 0x0F, 0, 0, 0, 0, 0xC1, 0x00, 0x26, 0x00};
    Zeros(want, 20);
    Add(want, Descriptors(true, false));
    Add(want, Hex("0D 1A"));
    EXPECT_EQ(Bytes(Path("tab.dbf")), want);
    EXPECT_EQ(Bytes(Path(std::string("tab.") + c.memoExt)), c.stub);
  }
}

TEST_F(CreateTest, Level7WithMemo) {
  DbSettings().DefaultVersionByte = 0x8C;
  auto fields = Fields(true);
  WorkArea scratch;
  CreateDbf(scratch, Path("l7.dbf"), fields);
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  // Header 68 + 5 * 48 + 1 = 309 (0x135); record 38.
  std::vector<uint8_t> want = Hex("8C 7E 03 0F 00 00 00 00 35 01 26 00");
  Zeros(want, 20);
  Add(want, Hex("44 42 57 49 4E 57 45 30"));  // DBWINWE0
  Zeros(want, 28);
  Add(want, Descriptors(true, true));
  Add(want, Hex("0D 1A"));
  EXPECT_EQ(Bytes(Path("l7.dbf")), want);
  EXPECT_EQ(Bytes(Path("l7.dbt")), Hex("01 00 00 00 00 00 00 00 6C 37 00 00 00 00 00 00 00 00 02 01 00 02 00 00"));
}

// Outside readers look for the memo file in the table's own letter case.
TEST_F(CreateTest, MemoFileTakesTheLetterCaseOfTheTableExtension) {
  const struct {
    const char* table;
    uint8_t version;
    const char* memo;
  } cases[] = {
      {"/d/t.dbf", 0x8B, "/d/t.dbt"}, {"/d/T.DBF", 0x8B, "/d/T.DBT"}, {"/d/t.Dbf", 0xF5, "/d/t.Fpt"},
      {"/d/x.y/t", 0x83, "/d/x.y/t.DBT"},
  };
  for (const auto& c : cases) EXPECT_EQ(MemoFileName(c.table, c.version), c.memo) << c.table;
}

TEST_F(CreateTest, TableWithoutMemoGetsThePlainVersion) {
  for (uint8_t v : {uint8_t(0x8B), uint8_t(0xF5), uint8_t(0x83), uint8_t(0x8C)}) {
    DbSettings().DefaultVersionByte = v;
    Create("plain.dbf", {F("a", 'C', 2)});
    EXPECT_EQ(Bytes(Path("plain.dbf"))[0], v == 0x8C ? 0x04 : 0x03) << int(v);
  }
}

TEST_F(CreateTest, InvalidDefinitionsWriteNothing) {
  struct Case {
    const char* what;
    std::vector<FieldEntry> fields;
  };
  std::vector<FieldEntry> many(256, F("x", 'C', 1));
  const Case cases[] = {
      {"no fields", {}},
      {"256 fields", many},
      {"N of length 0", {F("a", 'N', 0)}},
      {"C of length 0", {F("a", 'C', 0)}},
      {"empty name", {F("  ", 'C', 4)}},
      {"unknown type", {F("a", 'X', 4)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto fields = c.fields;
    WorkArea scratch;
    CreateDbf(scratch, Path("bad.dbf"), fields);
    EXPECT_EQ(LastErrorCode(), 211);
    EXPECT_EQ(LastErrorMessage(), "Invalid dBASE field definition [CreateDBF]");
    EXPECT_FALSE(std::filesystem::exists(Path("bad.dbf")));
  }
  // B, G, P are memo types only for dBASE IV and level 7.
  DbSettings().DefaultVersionByte = 0x83;
  std::vector<FieldEntry> g = {F("a", 'G')};
  WorkArea scratch;
  CreateDbf(scratch, Path("bad.dbf"), g);
  EXPECT_EQ(LastErrorCode(), 211);
}

TEST_F(CreateTest, FloatBecomesNumericForDbaseIIIMemo) {
  DbSettings().DefaultVersionByte = 0x83;
  std::vector<FieldEntry> f = {F("a", 'f', 6, 2), F("m", 'M')};
  WorkArea scratch;
  CreateDbf(scratch, Path("f.dbf"), f);
  ASSERT_EQ(LastErrorCode(), 0);
  EXPECT_EQ(f[0].Type, 'N');
  EXPECT_EQ(Bytes(Path("f.dbf"))[32 + 11], 'N');
}

// dBASE II: a 521-byte header with 16-byte descriptors, which the engine
// reads but never writes.
std::vector<uint8_t> Dbase2Table() {
  std::vector<uint8_t> b(521, 0);
  b[0] = 0x02;
  plat::writeLE16(b.data() + 1, 2);  // records
  b[3] = 7;                          // month
  b[4] = 4;                          // day
  b[5] = 99;                         // year - 1900
  plat::writeLE16(b.data() + 6, 9);  // record length
  auto desc = [&](int i, const char* name, char t, uint8_t len, uint8_t dec) {
    uint8_t* d = b.data() + 8 + 16 * i;
    std::memcpy(d, name, std::strlen(name));
    d[11] = uint8_t(t);
    d[12] = len;
    d[15] = dec;
  };
  desc(0, "KOD", 'C', 3, 0);
  desc(1, "ILE", 'N', 5, 1);
  b[8 + 32] = 0x0D;
  for (const char* r : {" abc 12.5", "*xyz  0.1"}) b.insert(b.end(), r, r + 9);
  b.push_back(0x1A);
  return b;
}

TEST_F(CreateTest, DbaseIIIsRead) {
  WriteBytes(Path("D2.DBF"), Dbase2Table());
  USE(Path("d2"), nullptr, 0);
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  EXPECT_EQ(FieldCount(), 2);
  EXPECT_EQ(Field(2), "ILE");
  EXPECT_EQ(FieldDec(2), 1);
  EXPECT_EQ(RecCount(), 2);
  EXPECT_EQ(GetC(1), "abc");
  EXPECT_DOUBLE_EQ(GetN(2), 12.5);
  SKIP(1);
  EXPECT_EQ(GetC(1), "xyz");
  EXPECT_TRUE(*FieldAddress(0));
  EXPECT_FALSE(GetMdxFlag());
}

TEST_F(CreateTest, ExtraVersionBytesAreAccepted) {
  struct Case {
    uint8_t noMemo, memo, fileVersion;
    bool opens, memoFlag;
  };
  const Case cases[] = {
      {0x30, 0, 0x30, true, false},
      {0, 0x31, 0x31, true, true},
      {0, 0, 0x30, false, false},
      {0x30, 0x31, 0x32, false, false},
  };
  Create("x.dbf", {F("a", 'C', 2)});
  auto original = Bytes(Path("x.dbf"));
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.fileVersion));
    DbSettings().ExtraVersionNoMemo = c.noMemo;
    DbSettings().ExtraVersionMemo = c.memo;
    auto b = original;
    b[0] = c.fileVersion;
    WriteBytes(Path("x.dbf"), b);
    USE(Path("x.dbf"), nullptr, 0);
    EXPECT_EQ(LastErrorCode(), c.opens ? 0 : 210);
    if (c.opens) {
      EXPECT_EQ(CurrentWorkArea()->MemoFlag, c.memoFlag);
    }
    CloseArea();
  }
}

TEST_F(CreateTest, HeaderBytesTheTableCameWithSurviveAppendAndClose) {
  Create("keep.dbf", {F("a", 'C', 3)});
  auto b = Bytes(Path("keep.dbf"));
  for (int i = 12; i < 32; ++i) b[size_t(i)] = uint8_t(0xA0 + i);
  b[28] = 0x01;  // production index flag
  WriteBytes(Path("keep.dbf"), b);
  USE(Path("keep"), nullptr, 0);
  ASSERT_EQ(LastErrorCode(), 0);
  ASSERT_TRUE(ALock());
  SetC(1, "abc");
  Append();
  ASSERT_EQ(LastErrorCode(), 0);
  // Another program writes into bytes 16..27 while the table is open.
  {
    std::fstream f(Path("keep.dbf"), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(20);
    f.put(char(0x55));
  }
  CloseArea();
  ASSERT_EQ(LastErrorCode(), 0);
  auto after = Bytes(Path("keep.dbf"));
  for (int i = 12; i < 32; ++i) {
    uint8_t want = i == 20 ? 0x55 : i == 28 ? 0x01 : uint8_t(0xA0 + i);
    EXPECT_EQ(after[size_t(i)], want) << "byte " << i;
  }
  EXPECT_EQ(plat::readLE32(after.data() + 4), 1u);
  EXPECT_EQ(after.size(), b.size() + 4);  // one record of 4 bytes replaces 0x1A, then 0x1A
  EXPECT_EQ(after.back(), 0x1A);
}

TEST_F(CreateTest, WritingBeyondTheCountAppendsOneRecord) {
  Create("w.dbf", {F("a", 'C', 2)});
  USE(Path("w.dbf") + " EXCLUSIVE", nullptr, 0);
  WorkArea& a = *CurrentWorkArea();
  std::memcpy(a.Rec, " xy", 3);
  PutDbfRecord(a, a.RecCount + 5);
  EXPECT_EQ(a.RecCount, 1);
  EXPECT_EQ(a.RecNo, 1);
  PutDbfRecord(a, 0);
  EXPECT_EQ(LastErrorCode(), 212);
  WriteDeletionFlag(a, -1);
  EXPECT_EQ(LastErrorCode(), 212);
  CloseArea();
  auto b = Bytes(Path("w.dbf"));
  ASSERT_EQ(b.size(), 32u + 32 + 1 + 3 + 1);
  EXPECT_EQ(std::string(b.end() - 4, b.end()), std::string(" xy\x1A"));
  EXPECT_EQ(plat::readLE32(b.data() + 4), 1u);
}

// The deletion byte written past the count appends the whole record, in
// the table's code page like any append.
TEST_F(CreateTest, DeletionByteBeyondTheCountAppendsTheTranslatedRecord) {
  Create("oem.dbf", {F("a", 'C', 2)});
  USE(Path("oem.dbf") + " EXCLUSIVE", nullptr, 0);
  WorkArea& a = *CurrentWorkArea();
  ASSERT_TRUE(a.Oem);
  std::memcpy(a.Rec, "*\xB9\xBF", 3);  // ąż in Windows-1250
  WriteDeletionFlag(a, a.RecCount + 3);
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  EXPECT_EQ(a.RecCount, 1);
  EXPECT_EQ(std::string(a.Rec, 3), "*\xB9\xBF");
  CloseArea();
  auto b = Bytes(Path("oem.dbf"));
  ASSERT_EQ(b.size(), 32u + 32 + 1 + 3 + 1);
  EXPECT_EQ(std::string(b.end() - 4, b.end() - 1), "*" + plat::AnsiToOem("\xB9\xBF"));
}

TEST_F(CreateTest, FlushAfterWriteLeavesACompleteFileAfterEachAppend) {
  Create("fl.dbf", {F("a", 'C', 2)});
  DbSettings().FlushAfterWrite = true;
  USE(Path("fl.dbf"), nullptr, 0);
  ASSERT_TRUE(ALock());
  for (int i = 1; i <= 3; ++i) {
    SetC(1, "r" + std::to_string(i));
    Append();
    auto b = Bytes(Path("fl.dbf"));
    EXPECT_EQ(plat::readLE32(b.data() + 4), uint32_t(i));
    EXPECT_EQ(b.size(), 65u + 3 * size_t(i) + 1);
    EXPECT_EQ(b.back(), 0x1A);
  }
}

}  // namespace

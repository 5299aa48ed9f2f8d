// Damaged tables: each gives a clean error code and never reads or writes
// past a buffer (the sanitizer build runs these too).
#include <cstring>
#include <set>

#include "dbf_testutil.h"
#include "platform/byteorder.h"

namespace {

using dbftest::TableTest;

class DamagedTest : public TableTest {
 protected:
  // A good table: A C5, B N4, three records.
  std::vector<uint8_t> Good() {
    Create("good.dbf", {F("a", 'C', 5), F("b", 'N', 4)});
    USE(Path("good") + " EXCLUSIVE", nullptr, 0);
    for (int i = 1; i <= 3; ++i) {
      SetC(1, "r" + std::to_string(i));
      SetI(2, i);
      Append();
    }
    CloseArea();
    return Bytes(Path("good.dbf"));
  }
  // Opens `bytes` as a table; returns the open's error code.
  uint16_t Open(const std::vector<uint8_t>& bytes, const std::string& options = " EXCLUSIVE") {
    CloseAll();
    WriteBytes(Path("bad.dbf"), bytes);
    USE(Path("bad") + options, nullptr, 0);
    return LastErrorCode();
  }
  // Moves around an opened table and collects the error codes.
  std::set<uint16_t> Wander() {
    std::set<uint16_t> codes;
    auto note = [&] { codes.insert(LastErrorCode()); };
    GoTop(), note();
    GoBottom(), note();
    for (int i = 0; i < 5; ++i) SKIP(1), note();
    for (int i = 0; i < 5; ++i) SKIP(-1), note();
    for (int32_t r : {0, 1, 2, 3, 4, 1000, INT32_MAX}) GO(r), note();
    for (int f = 0; f <= FieldCount(); ++f) Peek(f, 1), note();
    return codes;
  }
};

TEST_F(DamagedTest, CorpusGivesTheOpenErrorCodes) {
  const auto good = Good();
  ASSERT_EQ(good.size(), 32u + 2 * 32 + 1 + 3 * 10 + 1);
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
    uint16_t code;
    const char* message;  // a part of the message
  };
  const Case cases[] = {
      {"record length 0", [](auto& b) { plat::writeLE16(b.data() + 10, 0); }, 210, "Record length does not hold the fields"},
      {"fields wider than the record", [](auto& b) { b[32 + 16] = 200; }, 210, "Record length does not hold the fields"},
      {"record length one short", [](auto& b) { plat::writeLE16(b.data() + 10, 9); }, 210, "Record length"},
      {"header past the end", [](auto& b) { plat::writeLE16(b.data() + 8, 4000); }, 100, "Error reading"},
      {"header length below the prolog", [](auto& b) { plat::writeLE16(b.data() + 8, 5); }, 210,
       "Number of fields is out of range"},
      {"no fields", [](auto& b) { plat::writeLE16(b.data() + 8, 33); }, 210, "Number of fields is out of range"},
      {"300 fields",
       [](auto& b) {
         plat::writeLE16(b.data() + 8, 32 + 300 * 32 + 1);
         b.resize(32 + 300 * 32 + 1, 0);
       },
       210, "Number of fields is out of range"},
      {"terminator first", [](auto& b) { b[32] = 0x0D; }, 222, "Error reading"},
      {"unknown field type", [](auto& b) { b[32 + 11] = 'X'; }, 211, "Field: A [X] in "},
      {"garbage version byte", [](auto& b) { b[0] = 0x47; }, 210, "(Invalid version byte)+ [USE/OpenDBF]"},
      {"empty file", [](auto& b) { b.clear(); }, 210, "(Prolog is less than 32 bytes) [USE/OpenDBF]"},
      {"short prolog", [](auto& b) { b.resize(20); }, 210, "Prolog is less than 32 bytes"},
      {"cut inside the descriptors", [](auto& b) { b.resize(70); }, 100, "Error reading"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto b = good;
    c.damage(b);
    EXPECT_EQ(Open(b), c.code);
    EXPECT_NE(LastErrorMessage().find(c.message), std::string::npos) << LastErrorMessage();
    EXPECT_EQ(CurrentWorkArea(), nullptr);
  }
}

TEST_F(DamagedTest, ExtraDescriptorRoomAndLongerRecordsAreAccepted) {
  auto b = Good();
  // Room for one more descriptor after the terminator, and 3 bytes of
  // slack at the end of each record.
  std::vector<uint8_t> t(b.begin(), b.begin() + 97);
  t.insert(t.end(), 32, 0);
  plat::writeLE16(t.data() + 8, 97 + 32);
  plat::writeLE16(t.data() + 10, 13);
  for (int r = 0; r < 3; ++r) {
    t.insert(t.end(), b.begin() + 97 + r * 10, b.begin() + 97 + (r + 1) * 10);
    t.insert(t.end(), {'x', 'y', 'z'});
  }
  ASSERT_EQ(Open(t), 0) << LastErrorMessage();
  EXPECT_EQ(FieldCount(), 2);
  GO(3);
  EXPECT_EQ(GetI(2), 3);
}

TEST_F(DamagedTest, TruncatedLastRecordIsReported) {
  auto b = Good();
  b.resize(b.size() - 5);
  ASSERT_EQ(Open(b), 0);
  EXPECT_EQ(RecCount(), 3);  // exclusive: the header's count
  GO(3);
  EXPECT_EQ(LastErrorCode(), 213);
  EXPECT_EQ(LastErrorMessage(), "File:  " + DbfName() + "  [GetDbfRecord]");
  GO(2);
  EXPECT_EQ(LastErrorCode(), 0);
  // Shared, the count follows the file: the broken record is not there.
  ASSERT_EQ(Open(b, ""), 0);
  EXPECT_EQ(RecCount(), 2);
  GoBottom();
  EXPECT_EQ(RecNo(), 2);
}

TEST_F(DamagedTest, CountBeyondTheFileNeverOverflows) {
  auto b = Good();
  plat::writeLE32(b.data() + 4, 0xFFFFFFFF);
  ASSERT_EQ(Open(b), 0);
  EXPECT_GT(RecCount(), 3);
  std::set<uint16_t> codes = Wander();
  for (uint16_t c : codes) {
    EXPECT_TRUE(c == 0 || c == 212 || c == 213) << c;
  }
  // No record can follow the largest count: the phantom record after it
  // would have no number.
  Append();
  EXPECT_EQ(LastErrorCode(), 212);
  EXPECT_EQ(RecCount(), INT32_MAX - 1);
  GoBottom();
  SKIP(1);
  EXPECT_TRUE(dEOF());
  CloseArea();
  EXPECT_EQ(LastErrorCode(), 0);
  DbSettings().FixRecCount = true;
  ASSERT_EQ(Open(b), 0);
  EXPECT_EQ(RecCount(), 3);
}

TEST_F(DamagedTest, Dbase2HeadersThatCannotBeRead) {
  std::vector<uint8_t> b(521, 0);
  b[0] = 0x02;
  plat::writeLE16(b.data() + 6, 4);
  std::memcpy(b.data() + 8, "A", 1);
  b[8 + 11] = 'C';
  b[8 + 12] = 3;
  // No terminator among the 32 descriptors, nor after them.
  for (int i = 1; i < 32; ++i) {
    b[size_t(8 + 16 * i)] = 'F';
    b[size_t(8 + 16 * i + 11)] = 'C';
    b[size_t(8 + 16 * i + 12)] = 0;
  }
  EXPECT_EQ(Open(b), 210);
  EXPECT_NE(LastErrorMessage().find("Number of fields is out of range"), std::string::npos);
  b[8 + 16] = 0x0D;
  EXPECT_EQ(Open(b), 0) << LastErrorMessage();
  EXPECT_EQ(FieldCount(), 1);
  // A full dBASE II count takes no further record: its header could not
  // count it.
  plat::writeLE16(b.data() + 1, 0xFFFF);
  b.insert(b.end(), {' ', 'a', 'b', 'c'});
  ASSERT_EQ(Open(b), 0) << LastErrorMessage();
  Append();
  EXPECT_EQ(LastErrorCode(), 212);
  CloseArea();
  EXPECT_EQ(plat::readLE16(Bytes(Path("bad.dbf")).data() + 1), 0xFFFF);
  EXPECT_EQ(Bytes(Path("bad.dbf")).size(), 525u);
  b.resize(400);
  EXPECT_EQ(Open(b), 210);
  EXPECT_NE(LastErrorMessage().find("Header is less than 521 bytes"), std::string::npos);
}

// Every truncation and a flip of each header byte: a clean error or a
// usable table, never a crash.
TEST_F(DamagedTest, TruncationsAndFlippedHeaderBytes) {
  const auto good = Good();
  const std::set<uint16_t> known = {0, 100, 210, 211, 212, 213, 222};
  for (size_t len = 0; len < good.size(); ++len) {
    std::vector<uint8_t> b(good.begin(), good.begin() + std::ptrdiff_t(len));
    uint16_t code = Open(b);
    EXPECT_TRUE(known.count(code)) << "length " << len << " code " << code;
    if (code != 0) continue;
    for (uint16_t c : Wander()) {
      EXPECT_TRUE(known.count(c)) << "length " << len << " code " << c;
    }
  }
  for (size_t at = 0; at < 97; ++at) {
    for (uint8_t v : {uint8_t(0x00), uint8_t(0xFF), uint8_t(0x0D), uint8_t(0x80)}) {
      auto b = good;
      b[at] = v;
      uint16_t code = Open(b, at % 2 ? "" : " EXCLUSIVE");
      EXPECT_TRUE(known.count(code)) << "offset " << at << " code " << code;
      if (code != 0) continue;
      for (uint16_t c : Wander()) {
        EXPECT_TRUE(known.count(c)) << "offset " << at << " code " << c;
      }
    }
  }
}

}  // namespace

namespace {

// I/O failures of the file layer, through the platform's fault seam.
TEST_F(DamagedTest, FileErrorsAreReportedWithTheRoutine) {
  Good();
  struct Case {
    const char* what;
    plat::FileOp op;
    std::function<void()> run;
    const char* message;
  };
  const Case cases[] = {
      {"append", plat::FileOp::Write,
       [] {
         ASSERT_TRUE(ALock());
         Append();
       },
       " [Replace/Append/PutDbfRecord]"},
      {"replace", plat::FileOp::Write,
       [] {
         ASSERT_TRUE(RLock());
         Replace();
       },
       " [Replace/Append/PutDbfRecord]"},
      {"delete", plat::FileOp::Write,
       [] {
         ASSERT_TRUE(RLock());
         DeleteRec();
       },
       " [DeleteRec/RecallRec]"},
      {"read", plat::FileOp::Read, [] { GO(2); }, "  [GetDbfRecord]"},
      {"peek", plat::FileOp::Read, [] { Peek(1, 2); }, " [Peek(1,2)]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    USE(Path("good"), nullptr, 0);
    ASSERT_EQ(LastErrorCode(), 0);
    plat::FileOp op = c.op;
    plat::SetFileFaultHook([op](plat::FileOp o, const std::string&, uint64_t) { return o == op ? int(plat::kErrDiskFull) : 0; });
    c.run();
    plat::SetFileFaultHook({});
    EXPECT_EQ(LastErrorCode(), plat::kErrDiskFull);
    EXPECT_NE(LastErrorMessage().find(c.message), std::string::npos) << LastErrorMessage();
    CloseArea();
  }
  // An exclusive area keeps its own count: a record that could not be
  // written is not counted, now or in the header written at close.
  USE(Path("good") + " EXCLUSIVE", nullptr, 0);
  ASSERT_EQ(LastErrorCode(), 0);
  GO(2);
  plat::SetFileFaultHook([](plat::FileOp o, const std::string&, uint64_t) { return o == plat::FileOp::Write ? int(plat::kErrDiskFull) : 0; });
  Append();
  plat::SetFileFaultHook({});
  EXPECT_EQ(LastErrorCode(), plat::kErrDiskFull);
  EXPECT_EQ(RecCount(), 3);
  EXPECT_EQ(RecNo(), 4);
  Replace();
  EXPECT_EQ(LastErrorCode(), 212);
  CloseArea();
  EXPECT_EQ(plat::readLE32(Bytes(Path("good.dbf")).data() + 4), 3u);
  // A table that cannot be created leaves no work behind.
  plat::SetFileFaultHook([](plat::FileOp o, const std::string&, uint64_t) { return o == plat::FileOp::Write ? int(plat::kErrDiskFull) : 0; });
  std::vector<FieldEntry> f = {F("a", 'C', 1)};
  WorkArea scratch;
  CreateDbf(scratch, Path("nospace"), f);
  plat::SetFileFaultHook({});
  EXPECT_EQ(LastErrorCode(), plat::kErrDiskFull);
  EXPECT_EQ(LastErrorMessage(), "Error writing " + Path("nospace.DBF") + ". [CreateDbf]");
  EXPECT_FALSE(scratch.File.IsOpen());
}

}  // namespace

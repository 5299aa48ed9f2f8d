// Randomly damaged tables of every dialect, read and written: each open
// gives a clean error or a usable table, and no later command reads or
// writes past a buffer (the sanitizer build runs this too).
#include <cstring>
#include <random>
#include <set>

#include "dbf_testutil.h"
#include "platform/byteorder.h"

namespace {

using dbftest::TableTest;

class DamagedFuzzTest : public TableTest {
 protected:
  // A table of `version` (the default version byte when created) with four
  // records, as bytes.
  std::vector<uint8_t> Made(uint8_t version) {
    DbSettings().DefaultVersionByte = version;
    std::vector<FieldEntry> f = {F("name", 'C', 6), F("qty", 'N', 5), F("price", 'N', 8, 2), F("day", 'D'),
                                 F("ok", 'L')};
    if (version != 0x03) f.push_back(F("notes", 'M'));
    Create("good.dbf", f);
    DbSettings().DefaultVersionByte = 0x8B;
    USE(Path("good") + " EXCLUSIVE", nullptr, 0);
    for (int i = 1; i <= 4; ++i) {
      SetC(1, "r" + std::to_string(i));
      SetI(2, i * 7);
      SetN(3, i * 1.25);
      Append();
    }
    CloseArea();
    return Bytes(Path("good.dbf"));
  }

  // A dBASE II table with two fields and three records.
  static std::vector<uint8_t> Dbase2() {
    std::vector<uint8_t> b(521, 0);
    b[0] = 0x02;
    plat::writeLE16(b.data() + 1, 3);
    plat::writeLE16(b.data() + 6, 1 + 4 + 3);
    std::memcpy(b.data() + 8, "A", 1);
    b[8 + 11] = 'C';
    b[8 + 12] = 4;
    std::memcpy(b.data() + 24, "B", 1);
    b[24 + 11] = 'N';
    b[24 + 12] = 3;
    b[40] = 0x0D;
    for (const char* r : {" abcd  1", "*efgh 22", " ijkl333"}) b.insert(b.end(), r, r + 8);
    b.push_back(0x1A);
    return b;
  }

  // Runs reads and writes over the open table; collects the error codes.
  std::set<uint16_t> Exercise(std::mt19937& rng) {
    std::set<uint16_t> codes;
    auto note = [&] { codes.insert(LastErrorCode()); };
    GoTop(), note();
    GoBottom(), note();
    SetIgnoreDel(true), note();
    for (int i = 0; i < 6; ++i) SKIP(1), note();
    for (int i = 0; i < 6; ++i) SKIP(-1), note();
    SetIgnoreDel(false), note();
    for (int32_t r : {0, 1, 2, 3, 4, 5, 100, INT32_MAX, -1}) GO(r), note();
    DbSettings().PeekCacheSize = uint16_t(rng() % 300);
    for (int f = 0; f <= FieldCount() + 1; ++f)
      for (int32_t r : {1, 3, 4, 9}) Peek(f, r), note();
    GO(int32_t(rng() % 5 + 1)), note();
    if (RLock()) {
      Replace(), note();
      DeleteRec(), note();
      RecallRec(), note();
      Poke("zz", 1, RecNo()), note();
      Unlock();
    }
    if (ALock()) {
      Append(), note();
      Unlock();
    }
    GoBottom(), note();
    CloseArea(), note();
    return codes;
  }
};

TEST_F(DamagedFuzzTest, RandomDamageInEveryDialect) {
  std::vector<std::vector<uint8_t>> goods;
  for (uint8_t v : {uint8_t(0x03), uint8_t(0x83), uint8_t(0x8B), uint8_t(0xF5), uint8_t(0x8C)}) goods.push_back(Made(v));
  goods.push_back(Dbase2());
  const std::set<uint16_t> known = {0, 5, 100, 101, 210, 211, 212, 213, 222, 1103};
  std::mt19937 rng(4711);
  for (int round = 0; round < 1200; ++round) {
    const auto& good = goods[size_t(round) % goods.size()];
    auto b = good;
    int kind = int(rng() % 4);
    if (kind != 1) {
      // Damage the header more often than the records.
      int flips = 1 + int(rng() % 4);
      for (int i = 0; i < flips; ++i) {
        size_t at = rng() % 2 ? rng() % std::min<size_t>(b.size(), 80) : rng() % b.size();
        b[at] = uint8_t(rng());
      }
    }
    if (kind != 0) b.resize(rng() % (b.size() + 1));
    SCOPED_TRACE("round " + std::to_string(round));
    CloseAll();
    WriteBytes(Path("bad.dbf"), b);
    USE(Path("bad") + (round % 3 ? " EXCLUSIVE" : ""), nullptr, 0);
    uint16_t code = LastErrorCode();
    EXPECT_TRUE(known.count(code)) << "open code " << code << " " << LastErrorMessage();
    if (code != 0) {
      EXPECT_EQ(CurrentWorkArea(), nullptr);
      continue;
    }
    for (uint16_t c : Exercise(rng)) EXPECT_TRUE(known.count(c)) << "code " << c << " " << LastErrorMessage();
  }
}

}  // namespace

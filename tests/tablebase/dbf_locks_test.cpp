// Record and table locks between real processes and between two areas of
// one process, the retry loop, exclusive reopening, and shared appends.
#include <chrono>
#include <cstring>
#include <set>

#include "dbf_testutil.h"
#include "platform/byteorder.h"
#include "testutil/helper_child.h"

namespace {

using dbftest::TableTest;

// The lock helper program, driven through its standard input and output.
class Child : public HelperChild {
 public:
  explicit Child(std::vector<std::string> args) : HelperChild("dbf_lock_helper", std::move(args)) {}
};

class LockTest : public TableTest {
 protected:
  void MakeTable(int n) {
    Create("lk.dbf", {F("tag", 'C', 4), F("seq", 'N', 6)});
    USE(Path("lk") + " EXCLUSIVE", nullptr, 0);
    for (int i = 1; i <= n; ++i) {
      SetC(1, "base");
      SetI(2, i);
      Append();
    }
    CloseArea();
    ASSERT_EQ(LastErrorCode(), 0);
  }
};

TEST_F(LockTest, RecordLockOfAnotherProcessBlocksThatRecordOnly) {
  MakeTable(3);
  Child holder({"hold-record", Path("lk.dbf"), "2"});
  ASSERT_EQ(holder.ReadLine(), "ready");
  USE(Path("lk"), nullptr, 0);
  GO(2);
  EXPECT_FALSE(RLock());
  EXPECT_EQ(CurrentWorkArea()->LockState, kLockNone);
  GO(3);
  EXPECT_TRUE(RLock());
  EXPECT_FALSE(ALock());  // record locks held
  holder.Release();
  EXPECT_EQ(holder.Wait(), 0);
  GO(2);
  EXPECT_TRUE(RLock());
  EXPECT_EQ(CurrentWorkArea()->RecLockCount, 2);
}

TEST_F(LockTest, TableLockOfAnotherProcessBlocksAppends) {
  MakeTable(1);
  Child holder({"hold-table", Path("lk.dbf")});
  ASSERT_EQ(holder.ReadLine(), "ready");
  USE(Path("lk"), nullptr, 0);
  EXPECT_FALSE(ALock());
  EXPECT_TRUE(RLock());  // record locks live elsewhere
  Unlock();
  holder.Release();
  EXPECT_EQ(holder.Wait(), 0);
  EXPECT_TRUE(ALock());
}

TEST_F(LockTest, TwoAreasOfOneProcessConflict) {
  MakeTable(2);
  USE(Path("lk") + " ALIAS ONE", nullptr, 0);
  Select(2);
  USE(Path("lk") + " ALIAS TWO", nullptr, 0);
  Select(1);
  ASSERT_TRUE(RLock());
  Select(2);
  EXPECT_FALSE(RLock());
  GO(2);
  EXPECT_TRUE(RLock());
  Unlock();
  ASSERT_TRUE(ALock());
  Select(1);
  Unlock();
  EXPECT_FALSE(ALock());
  Select(2);
  Unlock();
  Select(1);
  EXPECT_TRUE(ALock());
}

TEST_F(LockTest, RetriesGiveUpAfterTheConfiguredCount) {
  MakeTable(2);
  Child holder({"hold-record", Path("lk.dbf"), "1"});
  ASSERT_EQ(holder.ReadLine(), "ready");
  USE(Path("lk"), nullptr, 0);
  int attempts = 0;
  plat::SetFileFaultHook([&](plat::FileOp op, const std::string&, uint64_t) {
    if (op == plat::FileOp::Lock) ++attempts;
    return 0;
  });
  struct Case {
    uint8_t retries, delay;
    int attempts;
  } cases[] = {{0, 0, 1}, {0, 50, 1}, {5, 20, 6}};
  for (const auto& c : cases) {
    attempts = 0;
    SetLockRetries(c.retries, c.delay);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(RLock());
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(attempts, c.attempts);
    EXPECT_GE(ms, int64_t(c.retries) * (c.delay - 1));  // whole ticks of the millisecond clock
  }
  // The retry procedure may start the attempts afresh: here it has the
  // other program let go.
  attempts = 0;
  SetLockRetries(2, 1);
  int asked = 0;
  DbSettings().LockRetryProc = [&] {
    ++asked;
    holder.Release();
    EXPECT_EQ(holder.Wait(), 0);
    return true;
  };
  EXPECT_TRUE(RLock());
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(attempts, 4);
}

TEST_F(LockTest, OnlyALockConflictIsRetried) {
  MakeTable(1);
  USE(Path("lk"), nullptr, 0);
  int attempts = 0;
  plat::SetFileFaultHook([&](plat::FileOp op, const std::string&, uint64_t) {
    if (op != plat::FileOp::Lock) return 0;
    ++attempts;
    return int(plat::kErrAccessDenied);
  });
  SetLockRetries(10, 50);
  EXPECT_FALSE(ALock());
  EXPECT_EQ(attempts, 1);
}

TEST_F(LockTest, RecordLockListRules) {
  MakeTable(8);
  USE(Path("lk"), nullptr, 0);
  for (int r : {1, 2, 3}) {
    GO(r);
    ASSERT_TRUE(RLock());
  }
  GO(2);
  EXPECT_TRUE(RLock());  // already held: no second entry
  EXPECT_EQ(CurrentWorkArea()->RecLockCount, 3);
  EXPECT_TRUE(IsLocked(3));
  EXPECT_FALSE(IsLocked(4));

  // The limit is tested after "already held".
  DbSettings().RecordLockLimit = 3;
  EXPECT_TRUE(RLock());
  GO(4);
  EXPECT_FALSE(RLock());
  EXPECT_EQ(LastErrorCode(), 212);
  EXPECT_EQ(LastErrorMessage(), "Zaviv record lock limit exceeded [RLock]");
  DbSettings().RecordLockLimit = 0;

  EXPECT_FALSE(UnlockRec(7));
  EXPECT_EQ(LastErrorCode(), 220);
  EXPECT_EQ(LastErrorMessage(), "Record not locked. [UnlockRec(7)]");
  EXPECT_FALSE(UnlockRec(-4));
  EXPECT_EQ(LastErrorMessage(), "[UnlockRec(-4)]");
  EXPECT_TRUE(UnlockRec(-1));  // the oldest: 1
  EXPECT_FALSE(IsLocked(1));
  EXPECT_TRUE(UnlockRec(-2));  // the newest: 3
  EXPECT_FALSE(IsLocked(3));
  EXPECT_TRUE(IsLocked(2));
  EXPECT_TRUE(UnlockRec(-3));
  EXPECT_EQ(CurrentWorkArea()->LockState, kLockNone);
  EXPECT_TRUE(UnlockRec(-1));  // nothing held, nothing to release
  // The regions really are free again.
  Select(2);
  USE(Path("lk") + " ALIAS OTHER", nullptr, 0);
  for (int r : {1, 2, 3}) {
    GO(r);
    EXPECT_TRUE(RLock()) << r;
  }
}

TEST_F(LockTest, ExclusiveAreasNeedNoLocksAndUnlockCleanly) {
  MakeTable(2);
  USE(Path("lk") + " EXCLUSIVE", nullptr, 0);
  EXPECT_TRUE(RLock());
  EXPECT_TRUE(UnlockRec(1));
  EXPECT_EQ(LastErrorCode(), 0);
  SetC(1, "x");
  Replace();
  EXPECT_EQ(LastErrorCode(), 0);
  EXPECT_EQ(SetExclusive(false), 5);
}

// A Replace is written through to the file before it returns: another
// program sees it at once, and it survives its writer being killed.
TEST_F(LockTest, ReplacesReachTheFileAtOnce) {
  MakeTable(3);
  auto storedRecord = [&](int rec) {
    auto b = Bytes(Path("lk.dbf"));
    const size_t hl = plat::readLE16(b.data() + 8), rl = plat::readLE16(b.data() + 10);
    return std::string(b.begin() + std::ptrdiff_t(hl + size_t(rec - 1) * rl), b.begin() + std::ptrdiff_t(hl + size_t(rec) * rl));
  };
  USE(Path("lk"), nullptr, 0);
  GO(2);
  ASSERT_EQ(GetI(2), 2);
  Child writer({"replace-and-hold", Path("lk.dbf"), "2", "77"});
  ASSERT_EQ(writer.ReadLine(), "ready");
  writer.Kill();
  EXPECT_EQ(storedRecord(2), " base    77");

  ASSERT_TRUE(RLock());
  SKIP(0);
  EXPECT_EQ(GetI(2), 77);
  SetC(1, "mine");
  Replace();
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  EXPECT_EQ(storedRecord(2), " mine    77");  // before the unlock
  Unlock();
  CloseArea();

  USE(Path("lk") + " EXCLUSIVE", nullptr, 0);
  GO(3);
  SetI(2, 55);
  Replace();
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  EXPECT_EQ(storedRecord(3), " base    55");  // before the close
  CloseArea();
}

TEST_F(LockTest, SetExclusiveAgainstAnotherProgram) {
  MakeTable(2);
  USE(Path("lk"), nullptr, 0);
  ASSERT_TRUE(RLock());
  {
    Child other({"hold-open", Path("lk.dbf")});
    ASSERT_EQ(other.ReadLine(), "ready");
    EXPECT_EQ(SetExclusive(true), plat::kErrSharingViolation);
    EXPECT_FALSE(CurrentWorkArea()->Exclusive);
    EXPECT_TRUE(CurrentWorkArea()->File.IsOpen());
    GO(2);
    EXPECT_EQ(LastErrorCode(), 0);
    other.Release();
    EXPECT_EQ(other.Wait(), 0);
  }
  EXPECT_EQ(SetExclusive(true), 0);
  EXPECT_TRUE(CurrentWorkArea()->Exclusive);
  EXPECT_EQ(CurrentWorkArea()->LockState, kLockNone);  // given up before the reopen
  {
    Child other({"hold-open", Path("lk.dbf")});
    EXPECT_NE(other.ReadLine(), "ready");  // refused while exclusive
    other.Wait();
  }
  EXPECT_EQ(SetExclusive(false), 0);
  EXPECT_FALSE(CurrentWorkArea()->Exclusive);
  Child other({"hold-open", Path("lk.dbf")});
  EXPECT_EQ(other.ReadLine(), "ready");
  other.Release();
  EXPECT_EQ(other.Wait(), 0);
}

TEST_F(LockTest, CloseDoesNotBuryAnotherProgramsAppend) {
  MakeTable(1);
  USE(Path("lk") + " ALIAS A", nullptr, 0);
  ASSERT_TRUE(ALock());
  SetC(1, "a");
  Append();
  Unlock();
  Select(2);
  USE(Path("lk") + " ALIAS B", nullptr, 0);
  ASSERT_TRUE(ALock());
  SetC(1, "b");
  Append();
  Unlock();
  Select(1);
  CloseArea();  // A believes there are 2 records
  ASSERT_EQ(LastErrorCode(), 0);
  auto b = Bytes(Path("lk.dbf"));
  size_t hl = plat::readLE16(b.data() + 8), rl = plat::readLE16(b.data() + 10);
  ASSERT_EQ(b.size(), hl + 3 * rl + 1);
  EXPECT_EQ(b[hl + 2 * rl], ' ');  // B's record keeps its deletion byte
  EXPECT_EQ(b.back(), 0x1A);       // the end byte goes where the file ends
  EXPECT_EQ(plat::readLE32(b.data() + 4), 3u);
  Select(2);
  CloseArea();
  EXPECT_EQ(Bytes(Path("lk.dbf")), b);
}

// A writer killed before its close leaves whole records past the header's
// count. An area that takes the table exclusively counts them, so that its
// appends come after them, and its close writes the count and the end byte.
TEST_F(LockTest, ExclusiveUseKeepsTheRecordsOfAKilledWriter) {
  struct Case {
    const char* what;
    void (*open)(const std::string& table);
  } cases[] = {
      {"USE EXCLUSIVE", [](const std::string& t) { USE(t + " EXCLUSIVE", nullptr, 0); }},
      {"SetExclusive", [](const std::string& t) { USE(t, nullptr, 0), SetExclusive(true); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MakeTable(2);
    Child writer({"append-and-hold", Path("lk.dbf"), "3", "dead"});
    ASSERT_EQ(writer.ReadLine(), "ready");
    writer.Kill();
    auto before = Bytes(Path("lk.dbf"));
    const size_t hl = plat::readLE16(before.data() + 8), rl = plat::readLE16(before.data() + 10);
    ASSERT_EQ(plat::readLE32(before.data() + 4), 2u);
    ASSERT_EQ(before.size(), hl + 5 * rl);

    c.open(Path("lk"));
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    ASSERT_TRUE(CurrentWorkArea()->Exclusive);
    EXPECT_EQ(RecCount(), 5);
    SetC(1, "mine");
    SetI(2, 1);
    Append();
    CloseArea();
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();

    auto after = Bytes(Path("lk.dbf"));
    EXPECT_EQ(plat::readLE32(after.data() + 4), 6u);
    EXPECT_EQ(after.size(), hl + 6 * rl + 1);
    EXPECT_EQ(after.back(), 0x1A);
    const std::string want = "fields TAG:C:4:0,SEQ:N:6:0\n  base|1\n  base|2\n  dead|1\n  dead|2\n  dead|3\n  mine|1\n";
    std::string engine = "fields TAG:C:4:0,SEQ:N:6:0\n";
    USE(Path("lk"), nullptr, 0);
    for (GoTop(); !dEOF(); SKIP(1)) engine += "  " + GetC(1) + "|" + std::to_string(GetI(2)) + "\n";
    CloseArea();
    EXPECT_EQ(engine, want);
    std::string out;
    ASSERT_EQ(dbftest::RunPython(dir_, dbftest::kDumpWithDbfread, {Path("lk.dbf"), "cp852"}, out), 0) << out;
    EXPECT_EQ(out, want);
  }
}

TEST_F(LockTest, CloseWithoutTheTableLockStillWrites) {
  MakeTable(1);
  USE(Path("lk") + " ALIAS A", nullptr, 0);
  ASSERT_TRUE(ALock());
  SetC(1, "a");
  Append();
  Unlock();
  Select(2);
  USE(Path("lk") + " ALIAS B", nullptr, 0);
  ASSERT_TRUE(ALock());  // held while A closes
  Select(1);
  SetLockRetries(2, 5);
  CloseArea();
  EXPECT_EQ(LastErrorCode(), 0);
  auto b = Bytes(Path("lk.dbf"));
  EXPECT_EQ(plat::readLE32(b.data() + 4), 2u);
  EXPECT_EQ(b.back(), 0x1A);
}

TEST_F(LockTest, FourProcessesAppendingUnderTheTableLock) {
  MakeTable(0);
  const int kPerProcess = 2500;
  std::vector<std::unique_ptr<Child>> kids;
  for (const char* tag : {"P1", "P2", "P3", "P4"})
    kids.push_back(std::make_unique<Child>(std::vector<std::string>{"append", Path("lk.dbf"), std::to_string(kPerProcess), tag}));
  for (auto& k : kids) {
    EXPECT_EQ(k->ReadLine(120000), "done 2500");
    EXPECT_EQ(k->Wait(), 0);
  }
  auto b = Bytes(Path("lk.dbf"));
  size_t hl = plat::readLE16(b.data() + 8), rl = plat::readLE16(b.data() + 10);
  ASSERT_EQ(b.size(), hl + 4 * kPerProcess * rl + 1);
  EXPECT_EQ(plat::readLE32(b.data() + 4), uint32_t(4 * kPerProcess));
  EXPECT_EQ(b.back(), 0x1A);
  std::map<std::string, std::set<int>> seen;
  for (size_t r = 0; r < size_t(4 * kPerProcess); ++r) {
    const char* p = reinterpret_cast<const char*>(b.data() + hl + r * rl);
    ASSERT_EQ(p[0], ' ') << "record " << r + 1;
    std::string tag(p + 1, 4);
    int seq = std::stoi(std::string(p + 5, 6));
    EXPECT_TRUE(seen[tag].insert(seq).second) << tag << " " << seq;
  }
  ASSERT_EQ(seen.size(), 4u);
  for (auto& [tag, seqs] : seen) {
    EXPECT_EQ(seqs.size(), size_t(kPerProcess)) << tag;
    EXPECT_EQ(*seqs.rbegin(), kPerProcess) << tag;
  }
  std::string out;
  ASSERT_EQ(dbftest::RunCommand("/usr/bin/python3 -c \"import dbfread,sys; t=dbfread.DBF(sys.argv[1]); "
                                "r=list(t); print(len(r), len(set((x['TAG'],x['SEQ']) for x in r)))\" " +
                                    Path("lk.dbf"),
                                out),
            0);
  EXPECT_EQ(out, "10000 10000\n");
}

}  // namespace

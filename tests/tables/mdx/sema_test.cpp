// The index semaphore file between real processes and between areas of one
// process: users, reader and writer brackets, the counter, time-outs, stale
// files and failures.
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>

#include "platform/byteorder.h"
#include "platform/pfs.h"
#include "tables/mdx/tzndx_sema.h"
#include "tablebase/tzcommon.h"
#include "tablebase/dbf_testutil.h"
#include "testutil/helper_child.h"

namespace {

struct Rec {
  int users, activity, counter;
  bool operator==(const Rec&) const = default;
};
std::ostream& operator<<(std::ostream& o, const Rec& r) {
  return o << "{" << r.users << "," << r.activity << "," << r.counter << "}";
}

class SemaphoreTest : public dbftest::TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    plat::SetClock({});  // the helpers date the file by the real clock
    Create("osoby.dbf", {F("nazwisko", 'C', 10)});
    for (int area : {1, 2}) Open(area);
  }
  void Open(int area, const std::string& options = "") {
    Select(area);
    USE(Path("osoby.dbf") + " ALIAS A" + std::to_string(area) + options, nullptr, 0);
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  }
  std::string Sem() const { return Path("OSOBY.@S@"); }
  // The name messages give: the table's name as USE wrote it.
  std::string Shown() const { return Upper(Sem()); }
  bool On(int area, uint8_t op) {
    Select(area);
    return HandleSemafore(op);
  }
  Rec Record() const {
    auto b = Bytes(Sem());
    return b.size() < 4 ? Rec{-1, -1, -1} : Rec{b[0], b[1], plat::readLE16(&b[2])};
  }
  void SetRecord(Rec r) const {
    WriteBytes(Sem(), {uint8_t(r.users), uint8_t(r.activity), uint8_t(r.counter), uint8_t(r.counter >> 8)});
  }
  std::unique_ptr<HelperChild> LoggedInChild() {
    auto c = std::make_unique<HelperChild>("sema_helper", std::vector<std::string>{});
    EXPECT_EQ(c->Ask("use " + Path("osoby.dbf")), "ok");
    EXPECT_EQ(c->Ask("login"), "ok");
    return c;
  }
  std::string TakeMessage() {
    std::string m = LastErrorMessage();
    LastErrorCode() = 0;
    return m;
  }
};

TEST_F(SemaphoreTest, UsersAreCountedAndTheLastToLeaveErasesTheFile) {
  auto first = LoggedInChild(), second = LoggedInChild();
  ASSERT_TRUE(On(1, kSemLogin));
  ASSERT_TRUE(On(2, kSemLogin));
  EXPECT_EQ(Record(), (Rec{4, 0, 0}));
  EXPECT_EQ(first->Ask("logout"), "ok");
  EXPECT_TRUE(On(1, kSemLogout));
  EXPECT_EQ(second->Ask("logout"), "ok");
  EXPECT_EQ(Record(), (Rec{1, 0, 0}));
  EXPECT_TRUE(On(2, kSemLogout));
  EXPECT_FALSE(plat::IsRegularFile(Sem()));

  // Exclusive use needs no protocol and never makes the file.
  first.reset();
  second.reset();
  CloseAll();
  Open(1, " EXCLUSIVE");
  for (uint8_t op : {kSemLogin, kSemIncRead, kSemLock, kSemUnlock, kSemDecRead, kSemLogout}) EXPECT_TRUE(On(1, op));
  EXPECT_FALSE(plat::IsRegularFile(Sem()));
}

TEST_F(SemaphoreTest, TheSemaphoreDirectoryHoldsTheFileInsteadOfTheTablesDirectory) {
  EXPECT_EQ(SemaphoreFileName("C:\\DANE\\OSOBY.DBF"), "C:\\DANE\\OSOBY.@S@");
  ASSERT_EQ(plat::MakeDirectory(Path("sem")), 0);
  Engine().sema.SemaphoreDirectory = Path("sem");
  EXPECT_EQ(SemaphoreFileName("C:\\DANE\\OSOBY.DBF"), Path("sem/OSOBY.@S@"));
  ASSERT_TRUE(On(1, kSemLogin));
  EXPECT_TRUE(plat::IsRegularFile(Path("sem/OSOBY.@S@")));
  EXPECT_FALSE(plat::IsRegularFile(Sem()));
  EXPECT_TRUE(On(1, kSemLogout));
  EXPECT_FALSE(plat::IsRegularFile(Path("sem/OSOBY.@S@")));
}

TEST_F(SemaphoreTest, WritersExcludeReadersAndEachOtherAcrossProcesses) {
  constexpr int kWrites = 300;
  const std::string data = Path("data.bin");
  WriteBytes(data, std::vector<uint8_t>(16));
  ASSERT_TRUE(On(1, kSemLogin));
  std::vector<std::unique_ptr<HelperChild>> kids;
  for (const char* job : {"write", "write", "read", "read"}) {
    kids.push_back(LoggedInChild());
    kids.back()->Send(std::string(job) + " " + std::to_string(job[0] == 'w' ? kWrites : 2 * kWrites) + " " + data);
  }
  for (auto& k : kids) EXPECT_EQ(k->ReadLine(), "done 0");  // no reader saw a change half done
  auto halves = Bytes(data);
  EXPECT_EQ(plat::readLE32(&halves[0]), uint32_t(2 * kWrites));  // no writer lost another's change
  EXPECT_EQ(plat::readLE32(&halves[8]), uint32_t(2 * kWrites));
  EXPECT_EQ(Record(), (Rec{5, 0, 2 * kWrites}));
  // Another process's changes show once, at this area's next read bracket.
  EXPECT_FALSE(SemaphoreCounterChanged());
  SetReadSemaphoreProc(true);
  EXPECT_TRUE(SemaphoreCounterChanged());
  EXPECT_FALSE(SemaphoreCounterChanged());
  SetReadSemaphoreProc(false);
  for (auto& k : kids) EXPECT_EQ(k->Ask("logout"), "ok");
  EXPECT_TRUE(On(1, kSemLogout));
  EXPECT_FALSE(plat::IsRegularFile(Sem()));
}

// Two areas of this process logged in; the file's record set before the
// brackets run.
TEST_F(SemaphoreTest, BracketsNestCapReadersAndWrapTheCounter) {
  struct Step {
    int area;
    uint8_t op;
  };
  struct Case {
    Rec before;
    std::vector<Step> steps;
    Rec after;
  } cases[] = {
      {{2, 0, 7}, {{1, kSemIncRead}, {1, kSemIncRead}, {2, kSemIncRead}}, {2, 2, 7}},
      {{2, 0, 7}, {{1, kSemIncRead}, {1, kSemIncRead}, {1, kSemDecRead}}, {2, 1, 7}},
      {{2, 127, 7}, {{1, kSemIncRead}}, {2, 127, 7}},
      {{2, 127, 7}, {{1, kSemIncRead}, {1, kSemDecRead}}, {2, 126, 7}},
      {{2, 0, 7}, {{1, kSemLock}, {1, kSemIncRead}, {1, kSemLock}}, {2, 1, 7}},
      {{2, 0, 7}, {{1, kSemLock}, {1, kSemLock}, {1, kSemUnlock}}, {2, 1, 7}},
      {{2, 0, 7}, {{1, kSemIncRead}, {1, kSemLock}, {1, kSemUnlock}}, {2, 1, 8}},
      {{2, 0, 7}, {{1, kSemIncRead}, {1, kSemLock}, {1, kSemUnlock}, {1, kSemDecRead}}, {2, 0, 8}},
      {{2, 0, 65533}, {{1, kSemLock}, {1, kSemUnlock}}, {2, 0, 65534}},
      {{2, 0, 65534}, {{1, kSemLock}, {1, kSemUnlock}}, {2, 0, 0}},
      {{2, 0, 65535}, {{2, kSemLock}, {2, kSemUnlock}}, {2, 0, 0}},
  };
  for (const Case& c : cases) {
    ResetEngineState();
    SetAutoErrorHandling(false);
    Engine().sema.LockSemaphoreTimeout = 1;  // a wait that should not be fails fast
    for (int area : {1, 2}) {
      Open(area);
      ASSERT_TRUE(On(area, kSemLogin));
    }
    SetRecord(c.before);
    for (const Step& s : c.steps) EXPECT_TRUE(On(s.area, s.op));
    EXPECT_EQ(Record(), c.after) << "from " << c.before;
  }

  struct Unbalanced {
    std::function<void()> call;
    std::string message;
  } errors[] = {
      {[] { HandleSemafore(kSemDecRead); }, "Unbalanced IncRead/DecRead for semaphore file: " + Shown() + " DECREAD"},
      {[] { HandleSemafore(kSemUnlock); }, "Unbalanced Lock/Unlock for semaphore file: " + Shown() + " UNLOCKSEMAPHORE"},
      {[] { SetReadSemaphoreProc(false); }, "Non-symmetrical Lock-Unlock [SetReadSemaphoreProc]"},
      {[] { SetLockSemaphoreProc(false); }, "Non-symmetrical Lock-Unlock [SetLockSemaphoreProc]"},
      // An area without a semaphore file counts its brackets all the same.
      {[] { AreaScope s(3); SetReadSemaphoreProc(false); }, "Non-symmetrical Lock-Unlock [SetReadSemaphoreProc]"},
      {[] { AreaScope s(202); HandleSemafore(kSemLogin); }, "Work area [202] out of range. [HandleSemafore]"},
  };
  Select(1);
  for (const Unbalanced& e : errors) {
    e.call();
    EXPECT_EQ(LastErrorCode(), 254);
    EXPECT_EQ(TakeMessage(), e.message);
  }
}

// A writer waits for readers and writers of other programs only as long as
// the time-out, then tells the users how to recover, holding nothing: not
// even a nesting level that would pass its next opening over the file.
TEST_F(SemaphoreTest, AWriterGivesUpOnABusyWriterOrAStuckReaderAfterTheTimeOut) {
  Engine().sema.LockSemaphoreTimeout = 1;
  ASSERT_TRUE(On(1, kSemLogin));
  auto expectTimeout = [&] {
    EXPECT_FALSE(On(1, kSemLock));
    EXPECT_EQ(LastErrorCode(), 1202);
    EXPECT_EQ(TakeMessage(), "1 second timeout, cannot read: " + Shown() +
                                 "\r\nPossible cause: Other user's program has terminated abnormally.\r\n"
                                 "Cure: Log all users of this application off the network,\r\nthen delete " +
                                 Shown());
    EXPECT_FALSE(On(1, kSemUnlock));
    EXPECT_EQ(TakeMessage(), "Unbalanced Lock/Unlock for semaphore file: " + Shown() + " UNLOCKSEMAPHORE");
  };
  auto writer = LoggedInChild();
  ASSERT_EQ(writer->Ask("lock"), "ok");
  expectTimeout();
  EXPECT_EQ(writer->Ask("unlock"), "ok");
  EXPECT_TRUE(On(1, kSemLock));
  EXPECT_TRUE(On(1, kSemUnlock));

  auto reader = LoggedInChild();
  ASSERT_EQ(reader->Ask("incread"), "ok");
  reader->Kill();  // ended without closing its bracket
  expectTimeout();
  EXPECT_TRUE(On(1, kSemIncRead));
  EXPECT_TRUE(On(1, kSemDecRead));
  EXPECT_EQ(Record(), (Rec{3, 1, 2}));  // the dead reader stays counted
}

// A writer that finds another program's reader at work lets the region go
// and tries again until the reader leaves, then goes on.
TEST_F(SemaphoreTest, AWriterWaitsForAnotherProgramsReaderAndGoesOnWhenItLeaves) {
  Engine().sema.LockSemaphoreTimeout = 10;
  ASSERT_TRUE(On(1, kSemLogin));
  auto reader = LoggedInChild();
  ASSERT_EQ(reader->Ask("incread"), "ok");
  bool letGo = false;
  std::string left;
  plat::SetFileFaultHook([&](plat::FileOp op, const std::string& path, uint64_t) {
    if (path.ends_with(".@S@")) {
      letGo = letGo || op == plat::FileOp::Unlock;
      // The reader leaves as the writer, having let go, reads again.
      if (op == plat::FileOp::Read && letGo && left.empty()) left = reader->Ask("decread");
    }
    return 0;
  });
  EXPECT_TRUE(On(1, kSemLock));
  plat::SetFileFaultHook({});
  EXPECT_EQ(left, "ok");
  EXPECT_EQ(Record(), (Rec{2, 1, 0}));
  EXPECT_TRUE(On(1, kSemUnlock));
  EXPECT_EQ(Record(), (Rec{2, 0, 1}));
}

TEST_F(SemaphoreTest, AFileLeftFromAnotherDayOrCutShortIsMadeAnewUnlessInUse) {
  const std::time_t daysAgo = std::time(nullptr) - 2 * 86400;
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    bool old, inUse;
    Rec after;
  } cases[] = {
      {"stale", {5, 1, 77, 0}, true, false, {1, 0, 0}},
      {"old but in use", {5, 1, 77, 0}, true, true, {7, 1, 77}},
      {"from today", {5, 1, 77, 0}, false, false, {6, 1, 77}},
      {"cut short", {5, 1}, false, false, {1, 0, 0}},
  };
  for (const Case& c : cases) {
    std::unique_ptr<HelperChild> user;
    if (c.inUse) user = LoggedInChild();  // leaves {6, 1, 77} below
    WriteBytes(Sem(), c.bytes);
    if (c.inUse) SetRecord({6, 1, 77});
    if (c.old) {
      EXPECT_EQ(plat::SetFileModTime(Sem(), daysAgo), 0);
    }
    EXPECT_TRUE(On(1, kSemLogin)) << c.name;
    EXPECT_EQ(Record(), c.after) << c.name;
    ResetEngineState();
    SetAutoErrorHandling(false);
    Open(1);
  }
}

// A login that cannot use the file reports why, stays logged out and leaves
// nothing locked.
TEST_F(SemaphoreTest, FailedLoginsReportTheFileAndLeaveNothingLocked) {
  struct Case {
    plat::FileOp op;
    int nth;  // the call of that kind on the file that fails
    bool exists;
    std::string message;
  } cases[] = {
      {plat::FileOp::Open, 2, true, "Cannot open: " + Shown() + " LOGIN"},
      {plat::FileOp::Read, 1, true, "Cannot read: " + Shown() + " LOGIN"},
      {plat::FileOp::Write, 1, true, "Cannot write to: " + Shown() + " LOGIN"},
      {plat::FileOp::Write, 1, false, "Cannot write to: " + Shown() + " Action=LOGIN [Database Semaphore]"},
      {plat::FileOp::Create, 1, false, "Cannot open/create: " + Shown() + " LOGIN"},
  };
  for (const Case& c : cases) {
    if (c.exists) SetRecord({1, 0, 9});
    int calls = 0;
    plat::SetFileFaultHook([&](plat::FileOp op, const std::string& path, uint64_t) {
      return op == c.op && path.ends_with(".@S@") && ++calls == c.nth ? 4 : 0;
    });
    EXPECT_FALSE(On(1, kSemLogin));
    plat::SetFileFaultHook({});
    EXPECT_EQ(LastErrorCode(), 4);
    EXPECT_EQ(TakeMessage(), c.message);
    EXPECT_TRUE(On(1, kSemIncRead));  // logged out: nothing to do
    std::remove(Sem().c_str());
    EXPECT_TRUE(On(2, kSemLogin));
    EXPECT_TRUE(On(2, kSemLogout));
  }
}

}  // namespace

#include <gtest/gtest.h>

#include "platform/pfile.h"
#include "testutil/tempdir.h"

using namespace plat;

namespace {

class LockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(a.Open(path, kAccessReadWrite | kShareDenyNone), kOk);
    ASSERT_EQ(b.Open(path, kAccessReadWrite | kShareDenyNone), kOk);
  }
  TempDir tmp;
  std::string path = tmp.Write("LOCKS.DBF", std::string(4096, 'x'));
  File a, b;
};

TEST_F(LockTest, TwoHandlesOfOneProcessConflict) {
  ASSERT_EQ(a.Lock(100, 10), kOk);
  struct Case {
    uint32_t off, len;
    int expected;
  } cases[] = {
      {105, 10, kErrLockViolation}, {95, 6, kErrLockViolation}, {109, 1, kErrLockViolation},
      {90, 30, kErrLockViolation},  {110, 5, kOk},              {90, 10, kOk},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(b.Lock(c.off, c.len), c.expected) << c.off << "+" << c.len;
    if (c.expected == kOk) {
      EXPECT_EQ(b.Unlock(c.off, c.len), kOk);
    }
  }
  EXPECT_TRUE(b.IsLockedByOther(100, 1));
  EXPECT_FALSE(a.IsLockedByOther(100, 1));
  EXPECT_FALSE(b.IsLockedByOther(110, 1));
}

TEST_F(LockTest, OwnOverlapFails) {
  ASSERT_EQ(a.Lock(100, 10), kOk);
  EXPECT_EQ(a.Lock(100, 10), kErrLockViolation);
  EXPECT_EQ(a.Lock(105, 2), kErrLockViolation);
  EXPECT_EQ(a.Lock(110, 1), kOk);
}

TEST_F(LockTest, UnlockNeedsTheExactRange) {
  ASSERT_EQ(a.Lock(100, 10), kOk);
  EXPECT_EQ(a.Unlock(100, 5), kErrNotLocked);
  EXPECT_EQ(a.Unlock(101, 9), kErrNotLocked);
  EXPECT_EQ(b.Unlock(100, 10), kErrNotLocked);
  EXPECT_EQ(b.Lock(100, 1), kErrLockViolation);
  EXPECT_EQ(a.Unlock(100, 10), kOk);
  EXPECT_EQ(a.Unlock(100, 10), kErrNotLocked);
  EXPECT_EQ(b.Lock(100, 10), kOk);
}

TEST_F(LockTest, AdjacentLocksOfOneHandleUnlockSeparately) {
  ASSERT_EQ(a.Lock(100, 10), kOk);
  ASSERT_EQ(a.Lock(110, 10), kOk);
  EXPECT_EQ(a.Unlock(100, 10), kOk);
  // The neighbour keeps its lock although the kernel merged the two.
  EXPECT_EQ(b.Lock(110, 1), kErrLockViolation);
  EXPECT_EQ(b.Lock(100, 10), kOk);
}

TEST_F(LockTest, ClosingAnotherDescriptorKeepsTheLock) {
  ASSERT_EQ(a.Lock(0, 1), kOk);
  {
    File c;
    ASSERT_EQ(c.Open(path, kAccessRead | kShareDenyNone), kOk);
  }
  EXPECT_EQ(b.Lock(0, 1), kErrLockViolation);
  a.Close();
  EXPECT_EQ(b.Lock(0, 1), kOk);
}

TEST_F(LockTest, LocksConflictBetweenProcesses) {
  ASSERT_EQ(a.Lock(1000, 100), kOk);
  EXPECT_EQ(InChild([&] {
              File c;
              if (c.Open(path, kAccessReadWrite | kShareDenyNone) != kOk) return 99;
              return c.Lock(1050, 1);
            }),
            kErrLockViolation);
  EXPECT_EQ(InChild([&] {
              File c;
              if (c.Open(path, kAccessReadWrite | kShareDenyNone) != kOk) return 99;
              return c.Lock(1100, 1) == kOk && c.IsLockedByOther(1000, 100) ? 0 : 1;
            }),
            0);
}

TEST_F(LockTest, LocksBeyondTheEndAndAtTheTopOfTheRange) {
  // Lock schemes place their bytes far beyond the data (up to 4 GiB).
  EXPECT_EQ(a.Lock(0xEFFFFFFFu, 1), kOk);
  EXPECT_EQ(b.Lock(0xEFFFFFFFu, 1), kErrLockViolation);
  EXPECT_EQ(a.Lock(0xFFFFFFF0u, 0x10), kOk);
  EXPECT_EQ(b.Lock(0xFFFFFFFFu, 1), kErrLockViolation);
  int64_t size = 0;
  EXPECT_EQ(a.GetSize(&size), kOk);
  EXPECT_EQ(size, 4096);
}

}  // namespace

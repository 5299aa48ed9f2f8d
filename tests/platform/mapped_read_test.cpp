// Reads through the shared mapping: what another process writes shows at
// once, the file's growth and shortening are followed, and the fault seam
// still applies.
#include <gtest/gtest.h>

#include <string>

#include "platform/pfile.h"
#include "testutil/tempdir.h"

using namespace plat;

namespace {

constexpr size_t kRec = 100;

class MappedReadTest : public ::testing::Test {
 protected:
  void SetUp() override { path = tmp.Write("TABLE.DBF", std::string(kRecords * kRec, 'a')); }
  void TearDown() override { SetFileFaultHook({}); }

  // Record `n` (from 0) through the mapped path; `got` bytes of it.
  static std::string Rec(File& f, int n, size_t* got = nullptr, int* rc = nullptr) {
    std::string buf(kRec, '\0');
    size_t g = 0;
    int r = f.ReadAtMapped(int64_t(n) * kRec, buf.data(), kRec, &g);
    if (got) *got = g;
    if (rc) *rc = r;
    buf.resize(g);
    return buf;
  }

  static constexpr int kRecords = 200;
  TempDir tmp;
  std::string path;
};

TEST_F(MappedReadTest, AWalkSeesWhatAnotherProcessWrites) {
  File f;
  ASSERT_EQ(f.Open(path, kAccessReadWrite | kShareDenyNone), kOk);
  for (int i = 0; i < 10; ++i) ASSERT_EQ(Rec(f, i), std::string(kRec, 'a'));
  int status = InChild([&] {
    File w;
    if (w.Open(path, kAccessReadWrite | kShareDenyNone) != kOk) return 1;
    std::string changed(kRec, 'b'), added(kRec, 'c');
    if (w.WriteAt(10 * kRec, changed.data(), kRec) != kOk) return 2;
    if (w.WriteAt(50 * kRec, changed.data(), kRec) != kOk) return 3;
    if (w.WriteAt(kRecords * kRec, added.data(), kRec) != kOk) return 4;
    return 0;
  });
  ASSERT_EQ(status, 0);
  for (int i = 10; i <= kRecords; ++i) {
    char want = i == 10 || i == 50 ? 'b' : i == kRecords ? 'c' : 'a';
    ASSERT_EQ(Rec(f, i), std::string(kRec, want)) << i;
  }
  // Walking back, and a jump.
  EXPECT_EQ(Rec(f, 51), std::string(kRec, 'a'));
  EXPECT_EQ(Rec(f, 50), std::string(kRec, 'b'));
  EXPECT_EQ(Rec(f, 3), std::string(kRec, 'a'));
}

TEST_F(MappedReadTest, GrowthPastTheMappingIsFollowed) {
  File f, other;
  ASSERT_EQ(f.Open(path, kAccessRead | kShareDenyNone), kOk);
  ASSERT_EQ(other.Open(path, kAccessReadWrite | kShareDenyNone), kOk);
  ASSERT_EQ(Rec(f, 0), std::string(kRec, 'a'));
  // Far beyond what the first mapping took in.
  const int far = 40000;
  const std::string added(kRec, 'z');
  ASSERT_EQ(other.WriteAt(int64_t(far) * kRec, added.data(), kRec), kOk);
  EXPECT_EQ(Rec(f, far), added);
  EXPECT_EQ(Rec(f, far - 1), std::string(kRec, '\0'));
  EXPECT_EQ(Rec(f, 1), std::string(kRec, 'a'));
}

TEST_F(MappedReadTest, ReadsPastTheEndAreShort) {
  File f;
  ASSERT_EQ(f.Open(path, kAccessRead | kShareDenyNone), kOk);
  Rec(f, kRecords - 2);
  size_t got = 1;
  EXPECT_EQ(Rec(f, kRecords - 1, &got), std::string(kRec, 'a'));
  Rec(f, kRecords, &got);
  EXPECT_EQ(got, 0u);
  std::string tail(kRec, 'x');
  EXPECT_EQ(f.ReadAtMapped(kRecords * kRec - 10, tail.data(), kRec, &got), kOk);
  EXPECT_EQ(got, 10u);
}

TEST_F(MappedReadTest, AFileShortenedUnderTheWindowGivesAShortReadNotACrash) {
  File f, other;
  ASSERT_EQ(f.Open(path, kAccessRead | kShareDenyNone), kOk);
  ASSERT_EQ(other.Open(path, kAccessReadWrite | kShareDenyNone), kOk);
  for (int i = 0; i < 6; ++i) Rec(f, i);  // the window now covers the whole file
  ASSERT_EQ(other.Truncate(kRec), kOk);
  size_t got = 1;
  int rc = -1;
  // Whole pages past the new end are gone from the window; a hint over
  // them neither faults nor reads.
  f.PrefetchMapped(int64_t(kRecords - 1) * kRec, kRec);
  EXPECT_EQ(Rec(f, kRecords - 1, &got, &rc), "");
  EXPECT_EQ(rc, kOk);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(Rec(f, 0), std::string(kRec, 'a'));
}

TEST_F(MappedReadTest, TheFaultSeamStillApplies) {
  File f;
  ASSERT_EQ(f.Open(path, kAccessRead | kShareDenyNone), kOk);
  for (int i = 0; i < 6; ++i) Rec(f, i);
  SetFileFaultHook([](FileOp op, const std::string&, uint64_t) { return op == FileOp::Read ? int(kErrReadFault) : 0; });
  int rc = 0;
  Rec(f, 2, nullptr, &rc);
  EXPECT_EQ(rc, kErrReadFault);
}

}  // namespace

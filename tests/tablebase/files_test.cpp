#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/pfile.h"
#include "platform/pfs.h"
#include "platform/psys.h"
#include "tablebase/timedate.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"
#include "testutil/localtime.h"
#include "testutil/own_mounts.h"
#include "testutil/tempdir.h"

namespace {

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetEngineState(); }
  void TearDown() override {
    plat::SetClock({});
    ResetEngineState();
  }
  TempDir tmp;
};

TEST_F(FilesTest, EraseFilesWithAMask) {
  for (const char* n : {"a.tmp", "B.TMP", "c.dbf"}) tmp.Write(n);
  AutoErrorHandlingScope off(false);
  LastErrorCode() = 77;
  EraseFiles(tmp / "*.tmp");
  EXPECT_EQ(LastErrorCode(), 0);
  EXPECT_EQ(LastErrorText(), "");
  EXPECT_FALSE(FileExists(tmp / "a.tmp"));
  EXPECT_FALSE(FileExists(tmp / "B.TMP"));
  EXPECT_TRUE(FileExists(tmp / "c.dbf"));
  EXPECT_TRUE(FailedErases().empty());
}

TEST_F(FilesTest, EraseFilesWithNoMatchSetsTheCodeSilently) {
  tmp.Write("c.dbf");
  // Automatic handling stays on: no message box, the program goes on.
  EraseFiles(tmp / "*.tmp");
  EXPECT_EQ(LastErrorCode(), plat::kErrFileNotFound);
  EXPECT_EQ(LastErrorMessage(), "");
  EraseFiles(tmp / "nodir/*.tmp");
  EXPECT_EQ(LastErrorCode(), plat::kErrPathNotFound);
  EXPECT_TRUE(FileExists(tmp / "c.dbf"));
}

TEST_F(FilesTest, EraseFilesReportsFilesHeldByAnotherHandle) {
  for (const char* n : {"a.tmp", "held.tmp", "z.tmp"}) tmp.Write(n);
  plat::File holder;
  ASSERT_EQ(holder.Open(tmp / "held.tmp", plat::kAccessReadWrite | plat::kShareDenyAll), plat::kOk);
  AutoErrorHandlingScope off(false);
  std::string mask = tmp / "*.TMP";
  EraseFiles(mask);
  EXPECT_EQ(LastErrorCode(), 5);
  EXPECT_EQ(TakeLastErrorMessage(), "Could not erase 1 files like " + mask);
  EXPECT_FALSE(FileExists(tmp / "a.tmp"));
  EXPECT_FALSE(FileExists(tmp / "z.tmp"));
  EXPECT_TRUE(FileExists(tmp / "held.tmp"));
  ASSERT_FALSE(FailedErases().empty());
  EXPECT_EQ(FailedErases().front().Name, "held.tmp");

  // The same file named plainly: the sharing violation itself.
  std::string name = tmp / "HELD.TMP";
  EraseFiles(name);
  EXPECT_EQ(LastErrorCode(), 32);
  EXPECT_EQ(TakeLastErrorMessage(), "Error erasing " + name);
  EXPECT_TRUE(FailedErases().empty());
  holder.Close();
  EraseFiles(name);
  EXPECT_EQ(LastErrorCode(), 0);
  EXPECT_FALSE(FileExists(name));
}

TEST_F(FilesTest, EraseFilesOfAMissingFileReportsCode2) {
  AutoErrorHandlingScope off(false);
  std::string name = tmp / "missing.dbf";
  EraseFiles(name);
  EXPECT_EQ(LastErrorCode(), 2);
  EXPECT_EQ(LastErrorText(), "Error # 2 (File not found)\r\nError erasing " + name);
  EXPECT_EQ(EraseFile(tmp / "nodir/x.dbf"), plat::kErrPathNotFound);
}

TEST_F(FilesTest, UniqueFilenameCreatesANewFileInTheTemporaryDirectory) {
  const char* saved = std::getenv("TMPDIR");
  std::string keep = saved ? saved : "";
  setenv("TMPDIR", tmp.Dir().c_str(), 1);
  std::string a = UniqueFilename();
  std::string b = UniqueFilename();
  EXPECT_EQ(a.rfind(tmp / "TZP", 0), 0u) << a;
  EXPECT_TRUE(plat::WildcardMatch("TZP????.TMP", a.substr(tmp.Dir().size()))) << a;
  EXPECT_TRUE(FileExists(a));
  EXPECT_TRUE(FileExists(b));
  EXPECT_NE(a, b);

  setenv("TMPDIR", (tmp / "missing").c_str(), 1);
  {
    AutoErrorHandlingScope off(false);
    EXPECT_EQ(UniqueFilename(), "");
    EXPECT_EQ(LastErrorCode(), plat::kErrPathNotFound);
    EXPECT_EQ(TakeLastErrorMessage(), "Error requesting unique file name [UniqueFilename]");
  }
  if (saved) setenv("TMPDIR", keep.c_str(), 1);
  else unsetenv("TMPDIR");
}

TEST_F(FilesTest, FileStampOfAFileWhoseTimeWasSet) {
  std::string f = tmp.Write("Stamp.TXT");
  ASSERT_EQ(plat::SetFileModTime(f, LocalTime(2023, 7, 4, 13, 5, 9)), plat::kOk);
  SetDate(4);
  EXPECT_EQ(FileStamp(f), "04.07.23 13:05:09");
  EXPECT_EQ(FileStamp(tmp / "*.txt"), "04.07.23 13:05:09");
  EXPECT_EQ(FileStamp(tmp / "*.none"), "");
  EXPECT_EQ(Engine().text.FindStatus, plat::kErrFileNotFound);
  SetCentury();
  EXPECT_EQ(FileStamp(tmp / "STAMP.txt"), "04.07.2023 13:05:09");
  SetDate(1);
  EXPECT_EQ(FileStamp(f), "2023.07.04 13:05:09");
}

TEST_F(FilesTest, FileExistsWithWildcards) {
  tmp.Write("Pracow.DBF");
  mkdir((tmp / "katalog.mdx").c_str(), 0777);
  struct Case {
    std::string name;
    bool exists;
  } cases[] = {
      {tmp / "*.dbf", true},        {tmp / "PRAC??.*", true},      {tmp / "*.mdx", false},
      {tmp / "x*", false},          {tmp / "pracow.dbf", true},    {tmp / "katalog.mdx", false},
      {tmp / "nodir/*.dbf", false}, {tmp / "NODIR/pracow.dbf", false}, {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(FileExists(c.name), c.exists) << c.name;
}

TEST_F(FilesTest, NamesFromWindowsResolveInAnyCase) {
  std::string exe = tmp.Write("Ruv_TM.exe");
  EXPECT_TRUE(FileExists(tmp / "RUV_TM.EXE"));
  EXPECT_EQ(plat::ResolvePath(tmp / "RUV_TM.EXE"), exe);
  EXPECT_EQ(ShortPath(tmp / "RUV_TM.EXE"), exe);
  EXPECT_EQ(ShortPath(tmp / "NONE.EXE"), "");
  plat::File f;
  EXPECT_EQ(f.Open(tmp / "RUV_TM.EXE", plat::kAccessRead | plat::kShareDenyNone), plat::kOk);
  EXPECT_EQ(f.Path(), exe);
}

TEST_F(FilesTest, FindFirstAndNext) {
  for (const char* n : {"b.dbf", "a.dbf", ".c.dbf"}) tmp.Write(n);
  mkdir((tmp / "d.dbf").c_str(), 0777);
  TSearchRec rec;
  std::vector<std::string> names;
  for (int rc = TzFindFirst(tmp / "*.DBF", plat::kAttrArchive, rec); rc == 0; rc = TzFindNext(rec))
    names.push_back(rec.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"a.dbf", "b.dbf"}));
  EXPECT_EQ(Engine().text.FindStatus, plat::kErrNoMoreFiles);
  TzFindClose(rec);
  names.clear();
  for (int rc = TzFindFirst(tmp / "*.dbf", plat::kAttrAnyFile, rec); rc == 0; rc = TzFindNext(rec))
    names.push_back(rec.Name);
  EXPECT_EQ(names, (std::vector<std::string>{".c.dbf", "a.dbf", "b.dbf", "d.dbf"}));
  EXPECT_EQ(TzFindFirst(tmp / "*.x", plat::kAttrAnyFile, rec), plat::kErrFileNotFound);
}

TEST_F(FilesTest, FileDatesAndToday) {
  std::string f = tmp.Write("SEM.@S@");
  ASSERT_EQ(plat::SetFileModTime(f, LocalTime(2024, 3, 1, 23, 59, 58)), plat::kOk);
  std::time_t today = LocalTime(2024, 3, 1, 8, 0, 0);
  plat::SetClock([&] { return today; });
  EXPECT_TRUE(FileIsFromToday(f));
  EXPECT_TRUE(FileIsFromToday(tmp / "sem.@s@"));
  today = LocalTime(2024, 3, 2, 0, 0, 1);
  EXPECT_FALSE(FileIsFromToday(f));
  EXPECT_FALSE(FileIsFromToday(tmp / "missing"));
  EXPECT_FALSE(FileIsFromToday(tmp.Dir()));
  // Held deny-all by another handle it cannot be opened, so it is not "today".
  today = LocalTime(2024, 3, 1, 8, 0, 0);
  plat::File holder;
  ASSERT_EQ(holder.Open(f, plat::kAccessReadWrite | plat::kShareDenyAll), plat::kOk);
  EXPECT_FALSE(FileIsFromToday(f));
  // A holder that only denies writing leaves the read-only retry.
  holder.Close();
  ASSERT_EQ(holder.Open(f, plat::kAccessRead | plat::kShareDenyWrite), plat::kOk);
  EXPECT_TRUE(FileIsFromToday(f));

  uint32_t packed = FileDateOf(holder);
  EXPECT_EQ(Engine().text.FindStatus, 0);
  TFileStamp st = UnpackFileDate(packed);
  EXPECT_EQ(st.Year, 2024);
  EXPECT_EQ(st.Month, 3);
  EXPECT_EQ(st.Day, 1);
  EXPECT_EQ(st.Hour, 23);
  EXPECT_EQ(st.Minute, 59);
  EXPECT_EQ(st.Second, 58);
  plat::File closed;
  EXPECT_EQ(FileDateOf(closed), 0u);
  EXPECT_EQ(Engine().text.FindStatus, plat::kErrInvalidHandle);
}

TEST_F(FilesTest, DiskFreeKB) {
  std::string cwd = plat::CurrentDirectory();
  int32_t here = DiskFreeKB(cwd);
  int32_t empty = DiskFreeKB("  ");
  EXPECT_GT(here, 0);
  EXPECT_NEAR(double(empty), double(here), 64 * 1024.0);
  EXPECT_NEAR(double(DiskFreeDrive(0)), double(here), 64 * 1024.0);
  EXPECT_EQ(DiskFreeKB(tmp / "missing"), INT32_MAX);
}

// Free space beyond 2 TiB: on sized tmpfs mounts of a child process of its
// own (needs root; skipped where they cannot be made).
TEST_F(FilesTest, DiskFreeKBOfLargeDisksIsClamped) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a file system needs root";
  std::string small = tmp / "small", large = tmp / "large", huge = tmp / "huge";
  for (const auto& d : {small, large, huge}) mkdir(d.c_str(), 0777);
  int rc = InChildWithOwnMounts([&] {
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1G") != 0) return int(kMountRefused);
    if (mount("tmpfs", large.c_str(), "tmpfs", 0, "size=3T") != 0) return int(kMountRefused);
    // 4100 GiB: its kilobytes wrap to 4 GiB's worth in 32 bits.
    if (mount("tmpfs", huge.c_str(), "tmpfs", 0, "size=4100G") != 0) return int(kMountRefused);
    if (DiskFreeKB(small) != 1048576) return 1;
    if (DiskFreeKB(large) != INT32_MAX) return 2;
    if (DiskFreeKB(huge) != INT32_MAX) return 3;
    return 0;
  });
  if (const std::string refused = OwnMountsRefused(rc); !refused.empty()) GTEST_SKIP() << refused;
  EXPECT_EQ(rc, 0);
}

}  // namespace

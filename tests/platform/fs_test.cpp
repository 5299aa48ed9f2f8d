#include <gtest/gtest.h>
#include <sys/stat.h>

#include <vector>

#include "platform/pfile.h"
#include "platform/pfs.h"
#include "testutil/localtime.h"
#include "testutil/tempdir.h"

using namespace plat;

namespace {

TEST(Wildcards, WindowsRules) {
  struct Case {
    const char* mask;
    const char* name;
    bool match;
  } cases[] = {
      {"*.*", "noext", true},          {"*.*", "a.b.c", true},          {"*", ".hidden", true},
      {"*.dbf", "PRACOW.DBF", true},   {"*.DBF", "pracow.dbf", true},   {"*.dbf", "pracow.dbf.bak", false},
      {"*.mdx", "x.mdx2", false},      {"?.dbf", "a.dbf", true},        {"?.dbf", "ab.dbf", false},
      {"a?c", "abc", true},            {"a?c", "ac", false},            {"name.*", "name", true},
      {"name.*", "name.txt", true},    {"name.*", "names", false},      {"*a*b", "xaxxb", true},
      {"*a*b", "xaxxbc", false},       {"a*", "b", false},              {"RUV_TM.EXE", "Ruv_TM.exe", true},
      {"ŁÓDŹ.*", "łódź.txt", true},    {"żółw?.dbf", "ŻÓŁW1.DBF", true}, {"*.tmp", "", false},
      {"TZP????.TMP", "TZP0A1F.TMP", true},
  };
  for (const auto& c : cases) EXPECT_EQ(WildcardMatch(c.mask, c.name), c.match) << c.mask << " vs " << c.name;
  EXPECT_TRUE(HasWildcards("a*.b"));
  EXPECT_TRUE(HasWildcards("a?"));
  EXPECT_FALSE(HasWildcards("/x/y.dbf"));
}

class FsTest : public ::testing::Test {
 protected:
  TempDir tmp;
};

std::vector<std::string> Names(const std::vector<FindData>& v) {
  std::vector<std::string> out;
  for (const auto& f : v) out.push_back(f.name);
  return out;
}

TEST_F(FsTest, FindFilesListsMatchesInByteOrder) {
  for (const char* n : {"b.dbf", "A.DBF", "c.mdx", "a.txt", ".hid.dbf"}) tmp.Write(n);
  mkdir((tmp / "dir.dbf").c_str(), 0777);
  std::vector<FindData> found;
  EXPECT_EQ(FindFiles(tmp / "*.dbf", kAttrArchive, found), kOk);
  EXPECT_EQ(Names(found), (std::vector<std::string>{".hid.dbf", "A.DBF", "b.dbf"}));
  EXPECT_EQ(found[0].attr, kAttrArchive | kAttrHidden);
  EXPECT_EQ(found[1].attr, kAttrArchive);
  EXPECT_EQ(found[1].size, 4);

  EXPECT_EQ(FindFiles(tmp / "*.DBF", kAttrAnyFile, found), kOk);
  EXPECT_EQ(Names(found), (std::vector<std::string>{".hid.dbf", "A.DBF", "b.dbf", "dir.dbf"}));
  EXPECT_EQ(found[3].attr & kAttrDirectory, kAttrDirectory);

  EXPECT_EQ(FindFiles(tmp / "*.*", kAttrArchive, found), kOk);
  EXPECT_EQ(found.size(), 5u);
  EXPECT_EQ(FindFiles(tmp / "*.xyz", kAttrAnyFile, found), kErrNoMoreFiles);
  EXPECT_TRUE(found.empty());
  EXPECT_EQ(FindFiles(tmp / "nodir/*.*", kAttrAnyFile, found), kErrPathNotFound);
}

TEST_F(FsTest, FindFilesResolvesTheDirectoryCaseInsensitively) {
  mkdir((tmp / "Dane").c_str(), 0777);
  tmp.Write("Dane/x.dbf");
  std::vector<FindData> found;
  EXPECT_EQ(FindFiles(tmp / "DANE\\*.DBF", kAttrArchive, found), kOk);
  EXPECT_EQ(Names(found), (std::vector<std::string>{"x.dbf"}));
}

TEST_F(FsTest, ResolvePathFindsNamesInAnyCase) {
  mkdir((tmp / "Programy").c_str(), 0777);
  std::string exe = tmp.Write("Programy/Ruv_TM.exe");
  EXPECT_EQ(ResolvePath(tmp / "PROGRAMY/RUV_TM.EXE"), exe);
  EXPECT_EQ(ResolvePath(tmp / "programy\\ruv_tm.exe"), exe);
  // A missing last component stays as written, naming a file to create.
  EXPECT_EQ(ResolvePath(tmp / "PROGRAMY/NEW.DBF"), tmp / "Programy/NEW.DBF");
  // The exact name first, else the first of several in byte order.
  tmp.Write("Programy/RUV_TM.exe");
  EXPECT_EQ(ResolvePath(tmp / "Programy/Ruv_TM.exe"), exe);
  EXPECT_EQ(ResolvePath(tmp / "Programy/ruv_tm.EXE"), tmp / "Programy/RUV_TM.exe");
  EXPECT_TRUE(IsRegularFile(tmp / "PROGRAMY/RUV_TM.EXE"));
  EXPECT_TRUE(IsDirectory(tmp / "programy"));
  EXPECT_FALSE(IsRegularFile(tmp / "programy"));
}

TEST_F(FsTest, DirNameIndexResolvesAsResolvePathDoes) {
  for (const char* n : {"Zażółć.DBF", "RUV_TM.exe", "Ruv_TM.exe", "dane.txt"}) tmp.Write(n);
  DirNameIndex index(tmp.Dir());
  for (const char* n : {"ZAŻÓŁĆ.dbf", "ruv_tm.EXE", "Ruv_TM.exe", "DANE.TXT", "nowy.dbf"})
    EXPECT_EQ(index.Resolve(n), ResolvePath(tmp / n)) << n;
  // Entries made after the listing are told, and found in any case.
  tmp.Write("Nowy.dbf");
  index.Add("Nowy.dbf");
  EXPECT_EQ(index.Resolve("NOWY.DBF"), tmp / "Nowy.dbf");
}

TEST_F(FsTest, UniqueFilesAreNew) {
  std::string a, b;
  ASSERT_EQ(CreateUniqueFile(tmp.Dir(), "TZP", a), kOk);
  ASSERT_EQ(CreateUniqueFile(tmp.Dir(), "TZP", b), kOk);
  EXPECT_NE(a, b);
  EXPECT_TRUE(WildcardMatch("TZP????.TMP", a.substr(a.rfind('/') + 1))) << a;
  EXPECT_TRUE(IsRegularFile(a));
  std::string c;
  EXPECT_EQ(CreateUniqueFile(tmp / "missing", "TZP", c), kErrFileNotFound);
  EXPECT_EQ(c, "");
}

TEST_F(FsTest, EraseRenameAndTimes) {
  std::string f = tmp.Write("A.DBF");
  EXPECT_EQ(RenameFile(tmp / "a.dbf", tmp / "B.DBF"), kOk);
  EXPECT_FALSE(IsRegularFile(f));
  tmp.Write("C.DBF");
  EXPECT_EQ(RenameFile(tmp / "B.DBF", tmp / "C.DBF"), kErrAlreadyExists);
  EXPECT_EQ(SetFileModTime(tmp / "b.dbf", 1700000000), kOk);
  std::time_t t = 0;
  EXPECT_EQ(GetFileModTime(tmp / "B.DBF", t), kOk);
  EXPECT_EQ(t, 1700000000);
  EXPECT_EQ(EraseFile(tmp / "b.dbf"), kOk);
  EXPECT_EQ(EraseFile(tmp / "b.dbf"), kErrFileNotFound);
  EXPECT_EQ(EraseFile(tmp.Dir()), kErrAccessDenied);
  uint64_t free = 0;
  EXPECT_TRUE(DiskFreeBytes(tmp.Dir(), free));
  EXPECT_FALSE(DiskFreeBytes(tmp / "missing/", free));
}

TEST(DosTime, PackAndUnpack) {
  DateTimeParts p = UnpackDosDateTime(PackDosDateTime(LocalTime(2024, 2, 29, 13, 45, 59)));
  EXPECT_EQ(p.year, 2024);
  EXPECT_EQ(p.month, 2);
  EXPECT_EQ(p.day, 29);
  EXPECT_EQ(p.hour, 13);
  EXPECT_EQ(p.minute, 45);
  EXPECT_EQ(p.second, 58);  // two-second steps
}

}  // namespace

#include "admin/ProcessCheck.h"

#include <gtest/gtest.h>

#include "admin_test_util.h"

namespace {

using testutil::Child;
using testutil::CopyBinary;
using testutil::TempDir;
using testutil::WaitFor;

class ListerScope {
 public:
  explicit ListerScope(std::vector<TProcessNames> list) {
    SetProcessLister([list] { return list; });
  }
  ~ListerScope() { SetProcessLister(nullptr); }
};

TEST(ProcessCheck, NameRules) {
  struct Case {
    TProcessNames process;
    const char* exeName;
    bool running;
  } cases[] = {
      {{"/opt/ruv/Ruv_TM.exe", "", ""}, "Ruv_TM.exe", true},
      {{"/opt/ruv/ruv_tm.EXE", "", ""}, "Ruv_TM.exe", true},
      {{"/opt/ruv/Ruv_TM.exe", "", ""}, "Ruv_TM", false},
      {{"/opt/ruv/Ruv_TM.exe.bak", "", ""}, "Ruv_TM.exe", false},
      {{"/usr/bin/wine-preloader", "C:\\PROGRAMY\\RUV\\RUV_TM.EXE", "RUV_TM.EXE"}, "Ruv_TM.exe", true},
      {{"", "C:RUV_TM.EXE", ""}, "Ruv_TM.exe", true},
      {{"", "/opt/ruv/Morta.exe", ""}, "MORTA.EXE", true},
      {{"", "Morta.exe --x", ""}, "Morta.exe", false},
      {{"", "", "Ruv_D.exe"}, "Ruv_D.exe", true},
      // A task name of 15 characters may be cut from a longer one.
      {{"", "", "Ruv_Kelpiro.exe"}, "Ruv_Kelpiro.exe", false},
      {{"/x/Ruv_Kelpiro.exe", "", "Ruv_Kelpiro.exe"}, "Ruv_Kelpiro.exe", true},
      // Letters outside ASCII are compared as they are.
      {{"/x/Ż.exe", "", ""}, "ż.exe", false},
      {{"", "", ""}, "", false},
  };
  for (const auto& c : cases) {
    ListerScope scope({{"/usr/bin/bash", "bash", "bash"}, c.process});
    EXPECT_EQ(IsProgramRunning(c.exeName), c.running)
        << c.exeName << " / " << c.process.ExeLink << " / " << c.process.Argv0 << " / " << c.process.Comm;
  }
}

TEST(ProcessCheck, FindsARealProcessByItsExecutable) {
  testutil::SiblingProcessLock lock(testutil::SiblingProcessLock::kExclusive);
  ASSERT_TRUE(lock.locked());
  TempDir t;
  std::string exe = CopyBinary("/bin/sleep", t / "dir/ruv_tm.EXE");
  EXPECT_FALSE(IsProgramRunning("Ruv_TM.exe"));
  {
    Child a(exe, {exe, "30"});
    Child b(exe, {exe, "30"});
    ASSERT_GT(a.pid(), 0);
    EXPECT_TRUE(WaitFor([] { return IsProgramRunning("Ruv_TM.exe"); }));
    EXPECT_EQ(FirstRunning({"Ruv_grvl.exe", "Ruv_TM.exe", "Morta.exe"}), "Ruv_TM.exe");
    a.Stop();
    EXPECT_TRUE(IsProgramRunning("Ruv_TM.exe"));  // the second one still runs
    EXPECT_FALSE(IsProgramRunning("Ruv_TM"));
  }
  EXPECT_FALSE(IsProgramRunning("Ruv_TM.exe"));
  EXPECT_EQ(FirstRunning({"Ruv_grvl.exe", "Ruv_TM.exe"}), "");
}

TEST(ProcessCheck, FindsAWindowsStyleFirstArgument) {
  testutil::SiblingProcessLock lock(testutil::SiblingProcessLock::kExclusive);
  ASSERT_TRUE(lock.locked());
  TempDir t;
  std::string exe = CopyBinary("/bin/sleep", t / "wine-preloader");
  Child c(exe, {"C:\\Velmo Soft\\Morta\\MORTA.EXE", "30"});
  ASSERT_GT(c.pid(), 0);
  EXPECT_TRUE(WaitFor([] { return IsProgramRunning("Morta.exe"); }));
  c.Stop();
  EXPECT_FALSE(IsProgramRunning("Morta.exe"));
}

TEST(ProcessCheck, AnExitedUnreapedProcessDoesNotRun) {
  testutil::SiblingProcessLock lock(testutil::SiblingProcessLock::kExclusive);
  ASSERT_TRUE(lock.locked());
  TempDir t;
  std::string exe = CopyBinary("/bin/true", t / "Ruv_D.exe");
  Child c(exe, {exe});
  ASSERT_GT(c.pid(), 0);
  ASSERT_TRUE(WaitFor([&] { return c.State() == 'Z'; }));
  EXPECT_FALSE(IsProgramRunning("Ruv_D.exe"));
  EXPECT_EQ(c.Reap(), 0);
}

}  // namespace

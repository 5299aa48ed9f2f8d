#include "admin/ProcessCheck.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "admin_test_util.h"

namespace {

using testutil::Child;
using testutil::CopyBinary;
using testutil::TempDir;
using testutil::WaitFor;

class ListerScope {
 public:
  explicit ListerScope(ProcessLister lister) { SetProcessLister(std::move(lister)); }
  explicit ListerScope(std::vector<TProcessNames> list) : ListerScope([list] { return list; }) {}
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

// The real processes below are read from /proc as the scan reads them, but
// only the test's own children are listed: a process of the same name
// elsewhere on the machine must not change the answers.
TEST(ProcessCheck, FindsARealProcessByItsExecutable) {
  TempDir t;
  std::string exe = CopyBinary("/bin/sleep", t / "dir/ruv_tm.EXE");
  Child a(exe, {exe, "30"});
  Child b(exe, {exe, "30"});
  ASSERT_GT(a.pid(), 0);
  ASSERT_GT(b.pid(), 0);
  // The scan of the whole machine finds them too.
  EXPECT_TRUE(WaitFor([&] {
    const auto all = ListProcesses();
    return std::any_of(all.begin(), all.end(), [&](const TProcessNames& p) { return p.ExeLink == exe; });
  }));
  ListerScope scope(testutil::ProcessesOf({a.pid(), b.pid()}));
  EXPECT_TRUE(WaitFor([] { return IsProgramRunning("Ruv_TM.exe"); }));
  EXPECT_EQ(FirstRunning({"Ruv_grvl.exe", "Ruv_TM.exe", "Morta.exe"}), "Ruv_TM.exe");
  a.Stop();
  EXPECT_TRUE(IsProgramRunning("Ruv_TM.exe"));  // the second one still runs
  EXPECT_FALSE(IsProgramRunning("Ruv_TM"));
  b.Stop();
  EXPECT_FALSE(IsProgramRunning("Ruv_TM.exe"));
  EXPECT_EQ(FirstRunning({"Ruv_grvl.exe", "Ruv_TM.exe"}), "");
}

TEST(ProcessCheck, FindsAWindowsStyleFirstArgument) {
  TempDir t;
  std::string exe = CopyBinary("/bin/sleep", t / "wine-preloader");
  Child c(exe, {"C:\\Velmo Soft\\Morta\\MORTA.EXE", "30"});
  ASSERT_GT(c.pid(), 0);
  ListerScope scope(testutil::ProcessesOf({c.pid()}));
  EXPECT_TRUE(WaitFor([] { return IsProgramRunning("Morta.exe"); }));
  c.Stop();
  EXPECT_FALSE(IsProgramRunning("Morta.exe"));
}

TEST(ProcessCheck, AnExitedUnreapedProcessDoesNotRun) {
  TempDir t;
  std::string exe = CopyBinary("/bin/true", t / "Ruv_D.exe");
  Child c(exe, {exe});
  ASSERT_GT(c.pid(), 0);
  ASSERT_TRUE(WaitFor([&] { return c.State() == 'Z'; }));
  ListerScope scope(testutil::ProcessesOf({c.pid()}));
  EXPECT_FALSE(IsProgramRunning("Ruv_D.exe"));
  EXPECT_EQ(c.Reap(), 0);
}

}  // namespace

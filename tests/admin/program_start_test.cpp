#include <gtest/gtest.h>

#include "admin/Adm_EkRuv.h"
#include "admin/IniFiles.h"
#include "admin/admin_window_util.h"
#include "admin/archive_test_util.h"

namespace {

using testutil::ReadFile;
using testutil::TempDir;
using testutil::WaitFor;
using testutil::WriteFile;

// The program finds its settings beside its own executable, wherever it is
// started from.
TEST(ProgramStart, SettingsLiveBesideTheExecutable) {
  TempDir t;
  const std::string exe = testutil::CopyBinary(RUV_ADMIN_EXE, t / "programy/ruv/ruv_admin");
  std::filesystem::create_directories(t / "inny");
  ASSERT_EQ(::setenv("QT_QPA_PLATFORM", "offscreen", 1), 0);
  testutil::Child program(exe, {exe}, t / "inny");
  ASSERT_GT(program.pid(), 0);
  const std::string ini = t / "programy/ruv/ruv_admin.ini";
  ASSERT_TRUE(WaitFor([&] { return TIniFile(ini).ReadString("katalogi", "morta", "") != ""; }));
  TIniFile settings(ini);
  EXPECT_EQ(settings.ReadString("katalogi", "ruv_tamir", ""), t / "programy/ruv/");
  EXPECT_EQ(settings.ReadString("katalogi", "morta", ""), t / "programy/Morta/");
  EXPECT_FALSE(testutil::FileExists(t / "inny/ruv_admin.ini"));
  program.Stop();
}

// The start settles what a killed run left in the program directory
// before anything reads it: a restore's staging folder, a download's
// temporary file and a killed settings write's copy go.
TEST(ProgramStart, TheStartSettlesWhatAKilledRunLeft) {
  TempDir t;
  const std::string exe = testutil::CopyBinary(RUV_ADMIN_EXE, t / "programy/ruv/ruv_admin");
  const std::string prog = t / "programy/ruv/", archive = t / "k.zip";
  ASSERT_EQ(testutil::RunPython("import sys, zipfile\nzipfile.ZipFile(sys.argv[1], 'w').writestr('a.dbf', 'x')\n",
                                {archive}).status, 0);
  ASSERT_EQ(testutil::RunAdminHelper({"restore", archive, prog, "kill", "2"}).status, 3);
  WriteFile(prog + ".~ftp0C1D.TMP", "część archiwum");
  WriteFile(prog + "ruv_admin.ini.~zapis", "[katalogi]");
  const auto leftovers = [&] {
    std::vector<std::string> names = testutil::ListDir(prog);
    std::erase_if(names, [](const std::string& n) { return n[0] != '.'; });
    return names;
  };
  ASSERT_EQ(leftovers().size(), 2u);
  ASSERT_EQ(::setenv("QT_QPA_PLATFORM", "offscreen", 1), 0);
  testutil::Child program(exe, {exe}, prog);
  ASSERT_GT(program.pid(), 0);
  EXPECT_TRUE(WaitFor([&] { return leftovers().empty() && !testutil::FileExists(prog + "ruv_admin.ini.~zapis"); }));
  EXPECT_FALSE(testutil::FileExists(prog + "a.dbf"));
  program.Stop();
}

// What the start settled is told once the main window has given the
// message dialog its look: the notices look as every other message.
class StartWindows : public testutil::ProgramTree {};

TEST_F(StartWindows, TheStartsNoticesLookAsEveryOtherMessage) {
  const std::string archive = tree.dir() + "k.zip";
  ASSERT_EQ(testutil::RunPython("import sys, zipfile\nzipfile.ZipFile(sys.argv[1], 'w').writestr('a.dbf', 'x')\n",
                                {archive}).status, 0);
  const auto restore = [&](int k) {
    return testutil::RunAdminHelper({"restore", archive, prog(), "kill", std::to_string(k)});
  };
  const int moved = testutil::FirstChange(restore(0).out, "rename", "/nowe/");
  ASSERT_GT(moved, 0);
  ASSERT_EQ(restore(moved + 1).status, 3);
  ruvtest::DialogScript script;
  script.Expect(ruvtest::Dialog().Caption("Informacja").Icon("I").Check([&](QWidget& w) {
    EXPECT_NE(ruvtest::Inspect(w).text.find(prog()), std::string::npos);
    DialogOptions options;
    GetDialogOptions(options);
    ASSERT_TRUE(options.Font);
    EXPECT_EQ(w.font().pointSize(), options.Font->pointSize());
    EXPECT_FALSE(w.font().bold());
  }).Click("button1"));
  std::unique_ptr<TEkr_Ruv> windows;
  EXPECT_TRUE(script.Run([&] { windows = CreateProgramWindows(); }));
  EXPECT_EQ(ReadFile(prog() + "a.dbf"), "x");
}

}  // namespace

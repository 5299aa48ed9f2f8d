#include <gtest/gtest.h>

#include "admin/IniFiles.h"
#include "admin_test_util.h"

namespace {

using testutil::ReadFile;
using testutil::TempDir;
using testutil::WaitFor;

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

}  // namespace

#include "admin/Launch.h"

#include <gtest/gtest.h>

#include "admin_test_util.h"
#include "platform/pfs.h"

namespace {

using testutil::FileExists;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WaitFor;
using testutil::WriteFile;

// Writes where it ran and its process id, then ends.
const std::string kScript =
    "#!/bin/sh\n"
    "{ pwd; echo $$; } > launched.tmp\n"
    "mv launched.tmp launched.txt\n";

TEST(Launch, StartsTheProgramInItsOwnDirectory) {
  struct Case {
    const char* subdir;
    const char* file;
    const char* launchName;
  } cases[] = {
      {"tamir/", "Ruv_TM.exe", "Ruv_TM"},
      {"Programy ruv/Łódź/", "RUV_GRVL.EXE", "Ruv_Grvl"},
      {"morta/", "Morta.exe", "MORTA"},
      {"natywny/", "ruv_fenvo", "Ruv_Fenvo"},
  };
  const std::string cwd = plat::CurrentDirectory();
  for (const auto& c : cases) {
    TempDir t;
    const std::string dir = t.dir() + c.subdir;
    WriteFile(dir + c.file, kScript, 0755);
    EXPECT_EQ(FindLaunchFile(dir, c.launchName), dir + c.file);
    EXPECT_GT(LaunchProgram(dir, c.launchName), 32) << c.file;
    ASSERT_TRUE(WaitFor([&] { return FileExists(dir + "launched.txt"); })) << c.file;
    std::string out = ReadFile(dir + "launched.txt");
    size_t nl = out.find('\n');
    EXPECT_EQ(out.substr(0, nl) + "/", dir);
    EXPECT_EQ(plat::CurrentDirectory(), cwd);
    // Reaped by the launcher: no exited child is left behind.
    std::string proc = "/proc/" + out.substr(nl + 1, out.find('\n', nl + 1) - nl - 1);
    EXPECT_TRUE(WaitFor([&] { return !FileExists(proc); })) << proc;
  }
}

TEST(Launch, FailuresGiveTheShellsNumbersAndTexts) {
  struct Case {
    const char* name;
    std::string contents;  // none: no file
    mode_t mode;
    int result;
    const char* text;
  } cases[] = {
      {"missing", "", 0, kLaunchFileNotFound, "Plik programu nie został odnaleziony"},
      {"not_executable", kScript, 0644, kLaunchAccessDenied, "Błąd dostępu do programu"},
      {"damaged", std::string("\x01\x02\x03 not a program", 18), 0755, kLaunchBadFormat,
       "Plik programu jest uszkodzony."},
      {"empty", "", 0755, kLaunchBadFormat, "Plik programu jest uszkodzony."},
  };
  for (const auto& c : cases) {
    TempDir t;
    if (c.mode) WriteFile(t / (std::string(c.name) + ".exe"), c.contents, c.mode);
    int r = LaunchProgram(t.dir(), c.name);
    EXPECT_EQ(r, c.result) << c.name;
    EXPECT_EQ(LaunchErrorText(r), c.text) << c.name;
  }
}

// True when the system runs Windows executables ("MZ" files) through a
// registered handler (a compatibility layer's binfmt entry).
bool WindowsExecutablesHaveAHandler() {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/proc/sys/fs/binfmt_misc", ec)) {
    std::string entry = ReadFile(e.path().string());
    if (entry.rfind("enabled", 0) == 0 && entry.find("magic 4d5a") != std::string::npos) return true;
  }
  return false;
}

TEST(Launch, AWindowsExecutableWithoutAHandlerIsADamagedProgram) {
  if (WindowsExecutablesHaveAHandler()) GTEST_SKIP() << "this system runs Windows executables";
  TempDir t;
  std::string pe = "MZ";
  pe.resize(512, '\0');
  WriteFile(t / "Ruv_TM.exe", pe, 0755);
  int r = LaunchProgram(t.dir(), "Ruv_TM");
  EXPECT_EQ(r, kLaunchBadFormat);
  EXPECT_EQ(LaunchErrorText(r), "Plik programu jest uszkodzony.");
}

TEST(Launch, ErrorTable) {
  EXPECT_EQ(LaunchErrorText(0), "Za mało pamieci operacyjnej lub zasobów systemowych dla uruchomienia programu");
  EXPECT_EQ(LaunchErrorText(3), "Brak pliku programu w podanym katalogu ");
  EXPECT_EQ(LaunchErrorText(8), "Za mało pamięci dla zakończenia operacji");
  EXPECT_EQ(LaunchErrorText(26), "Błąd współdzielenia pliku");
  for (int quiet : {1, 4, 6, 7, 9, 10, 12, 25, 27, 32, 33, 42}) EXPECT_EQ(LaunchErrorText(quiet), "") << quiet;
}

TEST(Launch, TheLauncherCanBeReplaced) {
  std::string seen;
  SetLauncher([&](const std::string& dir, const std::string& name) {
    seen = dir + name;
    return int(kLaunchFileNotFound);
  });
  EXPECT_EQ(LaunchProgram("/x/", "Ruv_SL"), kLaunchFileNotFound);
  SetLauncher(nullptr);
  EXPECT_EQ(seen, "/x/Ruv_SL");
}

}  // namespace

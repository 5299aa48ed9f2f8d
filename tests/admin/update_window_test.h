// A temporary program tree for the update window's tests: the program
// directory and the clock replaced (20 March 2024, noon UTC, with Warsaw's
// time zone from tzdata, so that UTC and local dates differ around
// midnight), the
// engine's dates as the main window sets them, and helpers for files with
// chosen modification times and for the update server.
#pragma once
#include <gtest/gtest.h>

#include <QFileDialog>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "admin/Ekr_Adm_ftp.h"
#include "admin/Siblings.h"
#include "admin/admin_test_util.h"
#include "admin/ftp_test_server.h"
#include "platform/pfs.h"
#include "platform/psys.h"
#include "support/dialog_script.h"
#include "tablebase_ui/tzdialog.h"
#include "tablebase/tzstate.h"
#include "tablebase/tzutils.h"

namespace testutil {

inline std::time_t Utc(int y, int m, int d, int hour = 12, int minute = 0) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = m - 1;
  tm.tm_mday = d;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  return timegm(&tm);
}

inline constexpr const char* kUpdateUser = "velmosoft_ftp_aktualizacje";
inline constexpr const char* kUpdatePassword = "tajne123";

class UpdateTree : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "Europe/Warsaw", 1);
    ::tzset();
    ruvtest::App();
    ResetEngineState();
    SetCentury();
    SetDate(4);
    std::filesystem::create_directories(prog());
    SetProgramDir(prog());
    plat::SetClock([] { return Utc(2024, 3, 20); });
    window_ = std::make_unique<TAdm_ftp>();
  }
  void TearDown() override {
    window_.reset();
    SetProgramDir("");
    plat::SetClock(nullptr);
    ResetDialogOptions();
    ResetEngineState();
  }
  std::string prog() const { return tree.dir() + "ruv/"; }
  std::string ruvIni() const { return prog() + "ruv.ini"; }
  std::string staging() const { return prog() + "aktualizacje/"; }

  // A window whose installed programs are those named.
  void Installed(std::set<std::string> names) {
    installed = std::move(names);
    window().SetInstalledQuery([this](const TSiblingProgram& p) { return installed.count(p.Name) > 0; });
  }
  void PointAt(int port, const std::string& password = kUpdatePassword) {
    window().IdFTP1.Host = "127.0.0.1";
    window().IdFTP1.Port = port;
    window().IdFTP1.Username = kUpdateUser;
    window().IdFTP1.Password = password;
    window().IdFTP1.ConnectTimeout = 10000;
    window().IdFTP1.ReadTimeout = 10000;
  }
  std::string Setting(const char* section, const char* key) const {
    return TIniFile(ruvIni()).ReadString(section, key, "<none>");
  }
  std::vector<std::string> Memo() const {
    std::vector<std::string> out;
    for (const QString& l : window().Lines()) out.push_back(l.toStdString());
    return out;
  }
  bool MemoHas(const std::string& line) const {
    const auto m = Memo();
    return std::find(m.begin(), m.end(), line) != m.end();
  }

  static void PutFile(const std::string& path, const std::string& bytes, std::time_t mtime) {
    WriteFile(path, bytes);
    ASSERT_EQ(plat::SetFileModTime(path, mtime), 0);
  }

  TAdm_ftp& window() const { return *window_; }

  TempDir tree;
  std::set<std::string> installed;
  std::unique_ptr<TAdm_ftp> window_;
};

// The message dialog as a scripted window answered by its button `n`.
inline ruvtest::Dialog Answered(const std::string& caption, const std::string& icon, const std::string& text,
                               std::vector<std::string> buttons, int n = 1) {
  return ruvtest::Dialog().Caption(caption).Icon(icon).Text(text).Buttons(std::move(buttons)).Click(
      "button" + std::to_string(n));
}

}  // namespace testutil

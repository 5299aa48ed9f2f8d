// A program tree for the backup, backup list and restore tests: the main
// window on a fixed date, installed siblings, and ZIP archives read back
// with Python's zipfile as an outside reader.
#pragma once
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>

#include <ctime>
#include <map>
#include <memory>

#include "admin/Adm_EkRuv.h"
#include "admin/archive_test_util.h"
#include "admin_window_util.h"
#include "platform/psys.h"
#include "testutil/localtime.h"

namespace testutil {

class BackupTree : public ProgramTree {
 protected:
  void SetUp() override {
    ProgramTree::SetUp();
    SetDate(2011, 3, 5);
  }
  void TearDown() override {
    plat::SetClock({});
    ProgramTree::TearDown();
  }
  // The engine's clock at noon of that local date.
  static void SetDate(int year, int month, int day) {
    const std::time_t t = LocalTime(year, month, day);
    plat::SetClock([t] { return t; });
  }
  // Program Morta's directory beside the program directory.
  std::string morta() const { return tree.dir() + "Morta/"; }
  void InstallTamir() { Install(prog(), "Ruv_TM.exe", "ruv_inst.dbf"); }
  void InstallMorta() { Install(morta(), "Morta.exe", "mrt_inst.dbf"); }
  // Takes the morta key out of [katalogi]: every reader then falls back to
  // the default directory beside the program directory.
  void DropMortaKey() {
    std::string ini = ReadFile(adminIni());
    size_t at = ini.find("morta=");
    ASSERT_NE(at, std::string::npos);
    ini.erase(at, ini.find('\n', at) + 1 - at);
    WriteFile(adminIni(), ini);
  }

  // The main window; its creation must open no modal window.
  std::unique_ptr<TEkr_Ruv> MainWindow() {
    std::unique_ptr<TEkr_Ruv> w;
    ruvtest::DialogScript none;
    EXPECT_TRUE(none.Run([&] { w = std::make_unique<TEkr_Ruv>(); }));
    return w;
  }

  // Entry name -> compression method (0 stored, 8 deflated), as Python's
  // zipfile reads the archive; {"<error>": -1} when it cannot.
  static std::map<std::string, int> Entries(const std::string& archive) {
    RunResult r = RunPython(
        "import sys, zipfile\n"
        "z = zipfile.ZipFile(sys.argv[1])\n"
        "assert z.testzip() is None\n"
        "for i in z.infolist(): print(i.filename + '\\t' + str(i.compress_type))\n",
        {archive});
    if (r.status != 0) return {{"<error>", -1}};
    std::map<std::string, int> out;
    size_t at = 0;
    while (at < r.out.size()) {
      size_t nl = r.out.find('\n', at);
      std::string line = r.out.substr(at, nl - at);
      size_t tab = line.find('\t');
      if (tab != std::string::npos) out[line.substr(0, tab)] = std::stoi(line.substr(tab + 1));
      at = nl == std::string::npos ? r.out.size() : nl + 1;
    }
    return out;
  }
  // The bytes of one entry.
  static std::string EntryBytes(const std::string& archive, const std::string& name) {
    return RunPython("import sys, zipfile\nsys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]))\n",
                     {archive, name})
        .out;
  }
  // Writes an archive with Python: pairs of entry name and bytes.
  static void MakeArchive(const std::string& archive, const std::vector<std::pair<std::string, std::string>>& files) {
    std::vector<std::string> args = {archive};
    for (const auto& [n, b] : files) {
      args.push_back(n);
      args.push_back(b);
    }
    RunResult r = RunPython(
        "import sys, zipfile\n"
        "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
        "  a = sys.argv[2:]\n"
        "  for i in range(0, len(a), 2): z.writestr(a[i], a[i + 1])\n",
        args);
    ASSERT_EQ(r.status, 0) << r.out;
  }
  // Answers a file dialog with a file.
  static ruvtest::Dialog ChooseFile(const std::string& path, std::string* startDir = nullptr) {
    return ruvtest::Dialog().Answer([path, startDir](QWidget& w) {
      auto& fd = dynamic_cast<QFileDialog&>(w);
      if (startDir) *startDir = fd.directory().absolutePath().toStdString();
      EXPECT_EQ(fd.objectName().toStdString(), "OpenDialog1");
      EXPECT_EQ(fd.nameFilters(), QStringList{"zip (*.zip)"});
      EXPECT_EQ(fd.defaultSuffix().toStdString(), "zip");
      // Typed into the name field, as a person would.
      auto* name = fd.findChild<QLineEdit*>("fileNameEdit");
      ASSERT_NE(name, nullptr);
      name->setText(QString::fromStdString(path));
      QMetaObject::invokeMethod(&fd, "accept");
    });
  }
};

}  // namespace testutil

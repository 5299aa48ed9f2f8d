#include <QAction>
#include <QLabel>
#include <QMenuBar>

#include "admin/Adm_EkRuv.h"
#include "admin_window_util.h"
#include "platform/pfs.h"
#include "platform/psys.h"

namespace {

using testutil::FileExists;
using testutil::GuardMessage;
using testutil::Message;
using testutil::ReadFile;
using testutil::SendCtrlT;
using testutil::SendDoubleClick;
using testutil::WaitFor;
using testutil::WriteFile;

class MainWindow : public testutil::ProgramTree {
 protected:
  // Creates the main window; every modal window its creation opens must be
  // scripted.
  std::unique_ptr<TEkr_Ruv> Create(ruvtest::DialogScript& script) {
    std::unique_ptr<TEkr_Ruv> w;
    EXPECT_TRUE(script.Run([&] { w = std::make_unique<TEkr_Ruv>(); }));
    return w;
  }
  std::unique_ptr<TEkr_Ruv> Create() {
    ruvtest::DialogScript none;
    return Create(none);
  }
  // Runs `code`, which must open no modal window.
  static void Quietly(const std::function<void()>& code) {
    ruvtest::DialogScript none;
    EXPECT_TRUE(none.Run(code));
  }
  static std::vector<bool> Enabled(const TEkr_Ruv& w) {
    return {w.BitBtn3->isEnabled(), w.BitBtn2->isEnabled(), w.BitBtn1->isEnabled(), w.BitBtn4->isEnabled(),
            w.BitBtn7->isEnabled(), w.BitBtn6->isEnabled(), w.BitBtn9->isEnabled(), w.BitBtn8->isEnabled()};
  }
  std::string Katalogi(const std::string& dirs, const std::string& morta) {
    std::string s = "[katalogi]\r\n";
    for (const char* key : {"ruv_tamir", "ruv_gorvalo", "ruv_sl", "ruv_dravon", "ruv_kelpiro"})
      s += std::string(key) + "=" + dirs + "\r\n";
    return s + "morta=" + morta + "\r\n";
  }
};

TEST_F(MainWindow, ComponentsAsDesigned) {
  auto w = Create();
  EXPECT_EQ(w->windowTitle(), "VELMO Soft - Programy dla ruv");
  EXPECT_EQ(w->centralWidget()->size(), QSize(297, 485));
  struct Button {
    QPushButton* b;
    const char* name;
    const char* caption;
    QRect geometry;
  } buttons[] = {
      {w->BitBtn3, "BitBtn3", "RUV - Tamir", {16, 48, 265, 33}},
      {w->BitBtn2, "BitBtn2", "RUV - Gorvalo", {16, 96, 265, 33}},
      {w->BitBtn1, "BitBtn1", "RUV - Selmira", {16, 144, 265, 33}},
      {w->BitBtn4, "BitBtn4", "RUV - Dravon i Pelk", {16, 192, 265, 33}},
      {w->BitBtn7, "BitBtn7", "RUV - Kelpiro", {16, 240, 265, 33}},
      {w->BitBtn6, "BitBtn6", "MORTA - Velden", {16, 288, 265, 33}},
      {w->BitBtn9, "BitBtn9", "Wykonaj kopię plików danych", {40, 368, 217, 25}},
      {w->BitBtn8, "BitBtn8", "Sprawdź aktualizacje programów", {40, 408, 217, 25}},
  };
  for (const auto& b : buttons) {
    EXPECT_EQ(b.b->objectName(), b.name);
    EXPECT_EQ(b.b->text(), QString::fromUtf8(b.caption));
    EXPECT_EQ(b.b->geometry(), b.geometry) << b.name;
  }
  EXPECT_EQ(w->Label2->text(), QString::fromUtf8("© 2005–") + QString::number(plat::LocalParts(plat::Now()).year) +
                                   " VELMO Soft");
  EXPECT_FALSE(w->Label1->isVisibleTo(w.get()));
  QStringList menu;
  for (QAction* a : w->menuBar()->actions()) menu << a->text();
  EXPECT_EQ(menu, (QStringList{"Zakończ", "Parametry", "Narzędzia"}));
  QStringList tools;
  for (QAction* a : w->Narzdzia1->actions()) tools << (a->isSeparator() ? "-" : a->text());
  EXPECT_EQ(tools, (QStringList{"Usunięcie plików indeksowych", "-",
                                "Odtworzenie plików danych z kopii - programy dla ruv",
                                "Odtworzenie plików danych z kopii - program \"Morta\"", "-",
                                "Lista wykonanych kopii - programy dla ruv",
                                "Lista wykonanych kopii - program \"Morta\"", "-",
                                "Program do odczytywania informacji kadrowych"}));
  // The engine's dates are day.month.year with four-digit years from here.
  EXPECT_EQ(Engine().format.ShortDateFormat, "dd.MM.yyyy");
}

TEST_F(MainWindow, FirstStartWritesTheDirectoriesAndClosingThePosition) {
  ASSERT_FALSE(FileExists(adminIni()));
  auto w = Create();
  EXPECT_EQ(w->pos(), QPoint(0, 0));
  const std::string katalogi = Katalogi(prog(), tree.dir() + "Morta/");
  EXPECT_EQ(ReadFile(adminIni()), katalogi);

  w->show();
  w->move(37, 52);
  Quietly([&] { w->close(); });
  EXPECT_EQ(ReadFile(adminIni()), katalogi + "[ustawienia]\r\npolozenie_gora=52\r\npolozenie_lewo=37\r\n");
  w.reset();

  // The second start reads the position and the directories back and
  // writes nothing.
  Install(tree.dir() + "tamir/", "Ruv_TM.exe", "ruv_inst.dbf");
  std::string changed = ReadFile(adminIni());
  changed.replace(changed.find("ruv_tamir=") + 10, prog().size(), tree.dir() + "tamir/");
  WriteFile(adminIni(), changed);
  auto again = Create();
  EXPECT_EQ(again->pos(), QPoint(37, 52));
  EXPECT_EQ(Enabled(*again), (std::vector<bool>{true, false, false, false, false, false, true, true}));
  EXPECT_EQ(ReadFile(adminIni()), changed);
}

TEST_F(MainWindow, AnEmptyDirectorySectionCountsAsMissing) {
  WriteFile(adminIni(), "[katalogi]\r\n[ustawienia]\r\npolozenie_gora=5\r\n");
  auto w = Create();
  EXPECT_EQ(ReadFile(adminIni()), "[katalogi]\r\n" + Katalogi(prog(), tree.dir() + "Morta/").substr(12) +
                                      "[ustawienia]\r\npolozenie_gora=5\r\n");
}

TEST_F(MainWindow, AProgramDirectoryTheFilesCannotHoldIsNotWritten) {
  const std::string dir = tree.dir() + "程序/";
  Install(dir, "Ruv_TM.exe", "ruv_inst.dbf");
  SetProgramDir(dir);
  ruvtest::DialogScript script;
  script.Expect(Message("Błąd", "H", IniCannotHoldDirText(dir), {"Dalej"}));
  auto w = Create(script);
  EXPECT_FALSE(FileExists(dir + "ruv_admin.ini"));
  // The readers use the same defaults.
  EXPECT_EQ(Enabled(*w), (std::vector<bool>{true, false, false, false, false, false, true, true}));
}

TEST_F(MainWindow, PositionIsClampedWhenStored) {
  auto w = Create();
  w->show();
  const QSize screen = w->screen()->geometry().size();
  const QSize size = w->frameGeometry().size();
  struct Case {
    QPoint at;
    int top, left;
  } cases[] = {
      {{-20, 30}, 30, 0},
      {{40, -5}, 0, 40},
      {{screen.width() - size.width() + 1, 10}, 10, 100},
      {{10, screen.height() - size.height() + 1}, 100, 10},
      {{screen.width() - size.width(), screen.height() - size.height()},
       screen.height() - size.height(),
       screen.width() - size.width()},
  };
  for (const auto& c : cases) {
    w->move(c.at);
    Quietly([&] { w->FormClose(); });
    TIniFile ini(adminIni());
    EXPECT_EQ(ini.ReadInteger("ustawienia", "polozenie_gora", -1), c.top) << c.at.x() << "," << c.at.y();
    EXPECT_EQ(ini.ReadInteger("ustawienia", "polozenie_lewo", -1), c.left) << c.at.x() << "," << c.at.y();
  }
}

TEST_F(MainWindow, CtrlTStoresTheCornerAndDoubleClickCentres) {
  WriteFile(adminIni(), "[ustawienia]\r\npolozenie_gora=5000\r\npolozenie_lewo=5000\r\n");
  auto w = Create();
  w->show();
  // Applied as stored, off the screen.
  EXPECT_EQ(w->pos(), QPoint(5000, 5000));
  const std::string before = ReadFile(adminIni());
  SendDoubleClick(w->centralWidget());
  const QSize screen = w->screen()->geometry().size();
  const QSize size = w->frameGeometry().size();
  EXPECT_EQ(w->pos(), QPoint((screen.width() - size.width()) / 2, (screen.height() - size.height()) / 2));
  EXPECT_EQ(ReadFile(adminIni()), before);  // centring stores nothing

  for (QWidget* target : std::initializer_list<QWidget*>{w->BitBtn6, w->BitBtn8, w.get()}) {
    w->move(70, 80);
    WriteFile(adminIni(), before);
    SendCtrlT(target);
    EXPECT_EQ(w->pos(), QPoint(0, 0)) << target->objectName().toStdString();
    TIniFile ini(adminIni());
    EXPECT_EQ(ini.ReadInteger("ustawienia", "polozenie_gora", -1), 0);
    EXPECT_EQ(ini.ReadInteger("ustawienia", "polozenie_lewo", -1), 0);
  }
}

TEST_F(MainWindow, OnlyTamirInstalledInOtherLetterCases) {
  Install(prog(), "RUV_TM.EXE", "Ruv_Inst.DBF");
  auto w = Create();
  EXPECT_EQ(Enabled(*w), (std::vector<bool>{true, false, false, false, false, false, true, true}));
  EXPECT_FALSE(w->Programdoodczytywaniainformacjikadrowych1->isEnabled());
  EXPECT_EQ(w->Ruv_inst.DbfFileName(), prog() + "ruv_inst.dbf");  // opened case-insensitively
  EXPECT_EQ(w->mrt_inst.DbfFileName(), "mrt_inst.dbf");
}

TEST_F(MainWindow, AllDirectoriesEmpty) {
  Install(prog(), "Ruv_TM.exe", "ruv_inst.dbf");
  WriteFile(adminIni(), Katalogi("  ", ""));
  ruvtest::DialogScript script;
  script.Expect(Message("Błąd", "H", "Brak informacji o położeniu programów !", {"Dalej"}));
  auto w = Create(script);
  EXPECT_EQ(Enabled(*w), std::vector<bool>(8, false));
}

TEST_F(MainWindow, ButtonStatesFollowTheInstalledFiles) {
  const std::string d = tree.dir();
  // Tamir and SL installed apart; Gorvalo's directory has no installation
  // table; Dravon's directory is missing; Morta in the default place.
  Install(d + "tamir/", "Ruv_TM.exe", "ruv_inst.dbf");
  Install(d + "sl/", "ruv_sl.exe", "RUV_INST.DBF");
  PutScript(d + "gorvalo/", "Ruv_grvl.exe");
  Install(d + "Morta/", "Morta.exe", "mrt_inst.dbf");
  WriteFile(adminIni(),
            "[katalogi]\r\n"
            "ruv_tamir= " + d + "tamir/ \r\n"
            "ruv_gorvalo=" + d + "gorvalo\r\n"
            "ruv_sl=" + d + "sl/\r\n"
            "ruv_dravon=" + d + "brak/\r\n"
            "ruv_kelpiro=\r\n");
  auto w = Create();
  EXPECT_EQ(Enabled(*w), (std::vector<bool>{true, false, true, false, false, true, true, true}));
  EXPECT_EQ(w->Ruv_inst.DbfFileName(), d + "sl/ruv_inst.dbf");
  EXPECT_EQ(w->mrt_inst.DbfFileName(), d + "Morta/mrt_inst.dbf");
}

TEST_F(MainWindow, PersonnelReaderIsLookedForInSLsDirectoryFirst) {
  const std::string d = tree.dir();
  PutScript(d + "dravon/", "Ruv_Fenvo.exe");
  std::filesystem::create_directories(d + "sl/");
  struct Case {
    std::string sl, dravon;
    bool enabled;
  } cases[] = {
      {"", d + "dravon/", true},
      {d + "sl/", d + "dravon/", false},
      {d + "dravon/", "", true},
      {"", "", false},
  };
  for (const auto& c : cases) {
    WriteFile(adminIni(), "[katalogi]\r\nruv_tamir=x\r\nruv_sl=" + c.sl + "\r\nruv_dravon=" + c.dravon + "\r\n");
    auto w = Create();
    EXPECT_EQ(w->Programdoodczytywaniainformacjikadrowych1->isEnabled(), c.enabled) << c.sl << " | " << c.dravon;
  }
}

TEST_F(MainWindow, LaunchRunsTheProgramInItsDirectory) {
  const std::string d = tree.dir();
  Install(d + "tamir/", "Ruv_TM.exe", "ruv_inst.dbf");
  Install(d + "Morta/", "MORTA.EXE", "mrt_inst.dbf");
  WriteFile(adminIni(), "[katalogi]\r\nruv_tamir=" + d + "tamir/\r\n");
  auto w = Create();
  ASSERT_TRUE(w->BitBtn3->isEnabled());
  ASSERT_TRUE(w->BitBtn6->isEnabled());
  const std::string cwd = plat::CurrentDirectory();
  Quietly([&] { w->BitBtn3->click(); });
  ASSERT_TRUE(WaitFor([&] { return FileExists(d + "tamir/launched.txt"); }));
  EXPECT_EQ(ReadFile(d + "tamir/launched.txt"), d + "tamir\n");
  // Morta without a directory key starts beside the program directory.
  Quietly([&] { w->BitBtn6->click(); });
  ASSERT_TRUE(WaitFor([&] { return FileExists(d + "Morta/launched.txt"); }));
  EXPECT_EQ(ReadFile(d + "Morta/launched.txt"), d + "Morta\n");
  EXPECT_EQ(plat::CurrentDirectory(), cwd);
}

TEST_F(MainWindow, LaunchFailuresAreReported) {
  const std::string d = tree.dir();
  Install(prog(), "Ruv_TM.exe", "ruv_inst.dbf");
  Install(prog(), "Ruv_grvl.exe", "ruv_inst.dbf");
  Install(d + "sl/", "Ruv_SL.exe", "ruv_inst.dbf");
  WriteFile(adminIni(), Katalogi(prog(), d + "Morta/"));
  auto w = Create();
  ASSERT_TRUE(w->BitBtn3->isEnabled());
  std::filesystem::remove(prog() + "Ruv_TM.exe");
  ::chmod((prog() + "Ruv_grvl.exe").c_str(), 0644);
  TIniFile(adminIni()).WriteString("katalogi", "ruv_sl", d + "sl_gone/");

  ruvtest::DialogScript script;
  script.Expect(Message("Błąd uruchomienia programu", "H", "Plik programu nie został odnaleziony", {"Zakończ"}))
      .Expect(Message("Błąd uruchomienia programu", "H", "Błąd dostępu do programu", {"Zakończ"}))
      .Expect(Message("Błąd", "H", "Nie ma możliwości uruchomienia programu !", {"Zakończ"}));
  EXPECT_TRUE(script.Run([&] {
    w->BitBtn3Click();
    w->BitBtn2Click();
    w->BitBtn1Click();
  }));
}

TEST_F(MainWindow, PersonnelReaderStartsWhereTheCheckFoundIt) {
  const std::string d = tree.dir();
  PutScript(d + "sl/", "Ruv_Fenvo.exe");
  PutScript(d + "both/", "RUV_FENVO.EXE");
  std::filesystem::create_directories(d + "dravon/");
  struct Case {
    std::string sl, dravon, ranIn;
  } cases[] = {
      // Found in SL's directory only: started there, not in Dravon's.
      {d + "sl/", d + "dravon/", d + "sl/"},
      // Where both have it, Dravon's directory is used.
      {d + "sl/", d + "both/", d + "both/"},
  };
  for (const auto& c : cases) {
    WriteFile(adminIni(), "[katalogi]\r\nruv_sl=" + c.sl + "\r\nruv_dravon=" + c.dravon + "\r\n");
    std::filesystem::remove(c.ranIn + "launched.txt");
    auto w = Create();
    ASSERT_TRUE(w->Programdoodczytywaniainformacjikadrowych1->isEnabled());
    Quietly([&] { w->Programdoodczytywaniainformacjikadrowych1->trigger(); });
    EXPECT_TRUE(WaitFor([&] { return FileExists(c.ranIn + "launched.txt"); })) << c.ranIn;
  }
}

TEST_F(MainWindow, GuardRefusesWhileASiblingRuns) {
  Install(prog(), "Ruv_TM.exe", "ruv_inst.dbf");
  auto w = Create();
  const std::string settingsBefore = ReadFile(adminIni());
  // Settings, update, backup, and the two restores.
  auto commands = [&] {
    w->Parametry1->trigger();
    w->BitBtn8->click();
    w->BitBtn9->click();
    w->Odtworzenieplikwdanychzkopiiprogramydlaruv1->trigger();
    w->OdtworzenieplikwdanychzkopiiprogramMorta1->trigger();
  };
  auto guarded = [&](bool family, bool morta) {
    ruvtest::DialogScript script;
    for (int i = 0; i < 3; ++i) script.Expect(GuardMessage());  // settings, update, backup
    // A restore that is not refused asks for confirmation: "Nie".
    const auto confirmation = Message("Potwierdzenie", "?", "Potwierdź zamiar odtwarzania plików z kopii.",
                                      {"Nie", "Tak"}, 1);
    script.Expect(family ? GuardMessage() : confirmation);
    script.Expect(morta ? GuardMessage() : confirmation);
    EXPECT_TRUE(script.Run(commands));
  };
  {
    const std::string exe = testutil::CopyBinary("/bin/sleep", tree.dir() + "bin/Ruv_grvl.exe");
    testutil::Child gorvalo(exe, {exe, "60"});
    SetProcessLister(testutil::ProcessesOf({gorvalo.pid()}));
    ASSERT_TRUE(WaitFor([] { return IsProgramRunning("Ruv_grvl.exe"); }));
    guarded(true, false);
  }
  {
    const std::string exe = testutil::CopyBinary("/bin/sleep", tree.dir() + "bin/wine-preloader");
    testutil::Child morta(exe, {"C:\\Velmo Soft\\Morta\\MORTA.EXE", "60"});
    SetProcessLister(testutil::ProcessesOf({morta.pid()}));
    ASSERT_TRUE(WaitFor([] { return IsProgramRunning("Morta.exe"); }));
    guarded(false, true);
    morta.Stop();  // killed and reaped
  }
  ASSERT_FALSE(IsProgramRunning("Morta.exe"));
  EXPECT_EQ(ReadFile(adminIni()), settingsBefore);
  // Without them the commands go on: the settings window, the backup
  // window and both restore confirmations open.
  ruvtest::DialogScript script;
  script.Expect(ruvtest::Dialog().Caption("Parametry").Click("BitBtn8"));
  script.Expect(ruvtest::Dialog().Caption("Kopia plików danych ").Click("BitBtn8"));
  for (int i = 0; i < 2; ++i)
    script.Expect(Message("Potwierdzenie", "?", "Potwierdź zamiar odtwarzania plików z kopii.", {"Nie", "Tak"}, 1));
  EXPECT_TRUE(script.Run(commands));
}

}  // namespace

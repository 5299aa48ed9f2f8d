// The proposals as the main window makes them: the update window opening
// by itself at the first activation, and the backup proposal at closing,
// with real settings files and a fixed clock (20 March 2024).
#include <QLabel>
#include <QPlainTextEdit>
#include <QTimer>

#include <ctime>

#include "admin/Adm_EkRuv.h"
#include "admin/Adm_Ekr_kopia.h"
#include "admin/Ekr_Adm_ftp.h"
#include "admin_window_util.h"
#include "platform/psys.h"

namespace {

using testutil::FileExists;
using testutil::GuardMessage;
using testutil::Message;
using testutil::ReadFile;
using testutil::WriteFile;

class Proposal : public testutil::ProgramTree {
 protected:
  void SetUp() override {
    ProgramTree::SetUp();
    std::tm tm{};
    tm.tm_year = 124;
    tm.tm_mon = 2;
    tm.tm_mday = 20;
    tm.tm_hour = 12;
    const std::time_t today = timegm(&tm);
    plat::SetClock([today] { return today; });
  }
  void TearDown() override {
    main_.reset();
    plat::SetClock(nullptr);
    ProgramTree::TearDown();
  }
  // The main window with its update window, as the program start makes them.
  TEkr_Ruv& Start() {
    main_ = std::make_unique<TEkr_Ruv>();
    auto* update = new TAdm_ftp(main_.get());
    TEkr_Ruv* w = main_.get();
    update->SetInstalledQuery([w](const TSiblingProgram& p) { return w->ProgramButton(p)->isEnabled(); });
    return *main_;
  }
  void Activate() {
    QEvent activate(QEvent::WindowActivate);
    QApplication::sendEvent(main_.get(), &activate);
  }
  std::string Setting(const char* key) const { return TIniFile(ruvIni()).ReadString("ustawienia", key, "<none>"); }
  // A sibling program seen as running: the backup command stops at its guard.
  static void TamirRuns() {
    SetProcessLister([] { return std::vector<TProcessNames>{{"/opt/Ruv_TM.exe", "Ruv_TM.exe", "Ruv_TM.exe"}}; });
  }

  std::unique_ptr<TEkr_Ruv> main_;
};

// The update window, shown by itself, closed with its button.
ruvtest::Dialog UpdateWindow() {
  return ruvtest::Dialog().Caption("Aktualizacja programów").Check([](QWidget& w) {
    auto* memo = w.findChild<QPlainTextEdit*>("Memo1");
    ASSERT_NE(memo, nullptr);
    EXPECT_TRUE(memo->toPlainText().contains("\"RUV-Tamir\" .............................. : brak danych"));
  }).Click("BitBtn8");
}

ruvtest::Dialog BackupQuestion(int button) {
  return Message("Informacja", "I", "Propozycja wykonania kopii plików danych.\n\nCzy chcesz wykonać kopię plików danych ?",
                 {"Tak", "Nie", "Wyłącz_proponowanie_kopii"}, button);
}

}  // namespace

TEST_F(Proposal, FirstActivationWritesTheDefaultsOnceAndOpensTheUpdateWindowWhenDue) {
  Install(prog(), "Ruv_TM.exe", "ruv_inst.dbf");
  WriteFile(ruvIni(), "[ustawienia]\r\nproponuj_aktualizacje_kiedy=18.02.2024\r\nproponuj_kopie=Nie\r\n");
  Start();
  ruvtest::DialogScript script;
  script.Expect(UpdateWindow());
  ASSERT_TRUE(script.Run([&] {
    Activate();
    Activate();  // later activations do nothing
  }));
  EXPECT_EQ(Setting("proponuj_kopie"), "Tak");  // the first-run defaults replaced it
  EXPECT_EQ(Setting("proponuj_kopie_co_ile"), "5");
  EXPECT_EQ(TIniFile(adminIni()).ReadString("ustawienia", "czy_pierwszy", ""), "Nie");

  // The next start: defaults not written again, the check still due.
  TIniFile(ruvIni()).WriteString("ustawienia", "proponuj_kopie", "Nie");
  Start();
  ruvtest::DialogScript again;
  again.Expect(UpdateWindow());
  ASSERT_TRUE(again.Run([&] { Activate(); }));
  EXPECT_EQ(Setting("proponuj_kopie"), "Nie");
}

TEST_F(Proposal, UpdateWindowStaysClosedWhenNotDueOrNothingInstalled) {
  struct Case {
    const char* what;
    bool install;
    std::string lastCheck;
  } cases[] = {  // in this order: the installation stays
      {"nothing installed", false, "01.01.2020"},
      {"30 days", true, "19.02.2024"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.install) Install(prog(), "Ruv_TM.exe", "ruv_inst.dbf");
    WriteFile(adminIni(), "[ustawienia]\r\nczy_pierwszy=Nie\r\n");
    WriteFile(ruvIni(), "[ustawienia]\r\nproponuj_kopie=Nie\r\nproponuj_aktualizacje_kiedy=" + c.lastCheck + "\r\n");
    Start();
    ruvtest::DialogScript none;
    EXPECT_TRUE(none.Run([&] {
      Activate();
      main_->close();
    }));
  }
}

TEST_F(Proposal, UpdateButtonShowsTheUpdateWindow) {
  Install(prog(), "Ruv_TM.exe", "ruv_inst.dbf");
  WriteFile(ruvIni(), "[ustawienia]\r\nproponuj_kopie=Nie\r\n");
  Start();
  ruvtest::DialogScript script;
  script.Expect(UpdateWindow());
  EXPECT_TRUE(script.Run([&] { main_->BitBtn8->click(); }));
}

TEST_F(Proposal, ClosingProposesOrForcesABackupWhenDue) {
  Install(prog(), "Ruv_TM.exe", "ruv_inst.dbf");
  WriteFile(adminIni(), "[ustawienia]\r\nczy_pierwszy=Nie\r\n");
  struct Case {
    const char* what;
    std::string settings;
    std::vector<ruvtest::Dialog> dialogs;
    bool forced;
    std::string proponujAfter, wymuszajAfter;
  };
  const auto forcedMessage = [] {
    return Message("Informacja", "I", "Wykonana zostanie kopia plików danych.", {"Dalej"});
  };
  // An accepted or forced backup runs the backup command: here its guard
  // answers, because Tamir runs.
  std::vector<Case> cases = {
      {"declined", "proponuj_kopie_kiedy=09.03.2024", {BackupQuestion(2)}, false, "<none>", "<none>"},
      {"accepted", "", {BackupQuestion(1), GuardMessage()}, false, "<none>", "<none>"},
      {"forced", "wymuszaj_kopie=Tak", {forcedMessage(), GuardMessage()}, true, "<none>", "Tak"},
      {"forced by lower case", "wymuszaj_kopie=tak", {forcedMessage(), GuardMessage()}, true, "<none>", "tak"},
      {"third answer", "wymuszaj_kopie=Nie", {BackupQuestion(3)}, false, "Nie", "Nie"},
      {"not due", "proponuj_kopie_kiedy=10.03.2024", {}, false, "<none>", "<none>"},
      {"invalid date counts as due", "proponuj_kopie_kiedy=99.99.9999", {BackupQuestion(2)}, false, "<none>",
       "<none>"},
  };
  TamirRuns();
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(ruvIni(), "[ustawienia]\r\nproponuj_aktualizacje=Nie\r\n" + c.settings + "\r\n");
    Start();
    ruvtest::DialogScript script;
    for (auto& d : c.dialogs) script.Expect(std::move(d));
    EXPECT_TRUE(script.Run([&] {
      Activate();
      main_->close();
    }));
    EXPECT_EQ(main_->ForcedBackup, c.forced);
    EXPECT_EQ(Setting("proponuj_kopie"), c.proponujAfter);
    EXPECT_EQ(Setting("wymuszaj_kopie"), c.wymuszajAfter);
    // The position is still saved after the proposal.
    EXPECT_NE(TIniFile(adminIni()).ReadString("ustawienia", "polozenie_gora", "<none>"), "<none>");
  }

  // After the third answer the next closing asks nothing.
  WriteFile(ruvIni(), "[ustawienia]\r\nproponuj_aktualizacje=Nie\r\nproponuj_kopie=Nie\r\nwymuszaj_kopie=Nie\r\n");
  Start();
  ruvtest::DialogScript none;
  EXPECT_TRUE(none.Run([&] { main_->close(); }));
}

TEST_F(Proposal, AcceptedProposalOpensTheBackupWindow) {
  Install(prog(), "Ruv_TM.exe", "ruv_inst.dbf");
  WriteFile(adminIni(), "[ustawienia]\r\nczy_pierwszy=Nie\r\n");
  WriteFile(ruvIni(), "[ustawienia]\r\nproponuj_aktualizacje=Nie\r\n");
  Start();
  ruvtest::DialogScript script;
  script.Expect(BackupQuestion(1));
  script.Expect(ruvtest::Dialog().Caption("Kopia plików danych ").Check([](QWidget& w) {
    auto* forced = w.findChild<QLabel*>("Label1");
    ASSERT_NE(forced, nullptr);
    EXPECT_NE(forced->text(), "T");  // asked, not forced
  }).Click("BitBtn8"));
  EXPECT_TRUE(script.Run([&] { main_->close(); }));
  EXPECT_FALSE(main_->ForcedBackup);
}

TEST_F(Proposal, ForcedBackupRunsInTheBackupWindowAndMovesTheBackupDate) {
  Install(prog(), "Ruv_TM.exe", "ruv_inst.dbf");
  WriteFile(prog() + "dane.dbf", "dane");
  WriteFile(adminIni(), "[ustawienia]\r\nczy_pierwszy=Nie\r\n");
  WriteFile(ruvIni(), "[ustawienia]\r\nproponuj_aktualizacje=Nie\r\nwymuszaj_kopie=Tak\r\nkatalog_kopii=" + tree.dir() +
                          "kopie/\r\n");
  Start();
  bool forced = false;
  ruvtest::DialogScript script;
  script.Expect(Message("Informacja", "I", "Wykonana zostanie kopia plików danych.", {"Dalej"}));
  script.Expect(ruvtest::Dialog().Caption("Kopia plików danych ").Answer([&](QWidget& w) {
    auto* backup = qobject_cast<TEk_Adm_kopia*>(&w);
    ASSERT_NE(backup, nullptr);
    forced = backup->Label1->text() == "T";
    // The forced run starts by itself; the window is closed once it is over.
    auto* closer = new QTimer(backup);
    QObject::connect(closer, &QTimer::timeout, backup, [this, backup] {
      if (!backup->Running() && Setting("proponuj_kopie_kiedy") == "20.03.2024") backup->close();
    });
    closer->start(20);
  }));
  script.Expect(Message("Informacja", "I", "Kopiowanie plików danych zostało zakończone.", {"Zakończ"}));
  EXPECT_TRUE(script.Run([&] { main_->close(); }));
  EXPECT_TRUE(forced);
  EXPECT_TRUE(main_->ForcedBackup);
  EXPECT_EQ(Setting("proponuj_kopie_kiedy"), "20.03.2024");
}

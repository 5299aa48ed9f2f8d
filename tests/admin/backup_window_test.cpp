// The backup window end to end: a program tree on a fixed date, real
// archives read back with Python's zipfile, a real FTP server.
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTextEdit>

#include "admin/Adm_Ekr_kopia.h"
#include "admin/ftp_test_server.h"
#include "backup_tree.h"
#include "platform/pfile.h"
#include "tablebase/tzutils.h"

namespace {

using namespace testutil;

const char* kFinished = "Kopiowanie plików danych zostało zakończone.";

class BackupWindow : public BackupTree {
 protected:
  std::string FamilyArchive(const std::string& date = "2011_03_05") const {
    return prog() + "Kopia/" + date + "_Admin_kopia_danych_ruv.zip";
  }
  std::string CoursesArchive() const { return morta() + "Kopia/2011_03_05_Admin_kopia_danych_morta.zip"; }
  // One run of the window; `script` holds every modal window it opens.
  std::string Backup(TEkr_Ruv& main, ruvtest::DialogScript& script,
                     const std::function<void(TEk_Adm_kopia&)>& setUp = {}) {
    TEk_Adm_kopia w(main);
    if (setUp) setUp(w);
    EXPECT_TRUE(script.Run([&] { w.BitBtnKopia->click(); }));
    EXPECT_FALSE(w.BitBtnKopia->isEnabled());
    return w.RichEdit1->toPlainText().toStdString();
  }
  std::string Backup(TEkr_Ruv& main, const std::function<void(TEk_Adm_kopia&)>& setUp = {}) {
    ruvtest::DialogScript script;
    script.Expect(Message("Informacja", "I", kFinished, {"Zakończ"}));
    return Backup(main, script, setUp);
  }
  std::string RuvIni() const { return ReadFile(ruvIni()); }
};

std::map<std::string, int> Deflated(std::initializer_list<std::string> names) {
  std::map<std::string, int> m;
  for (const auto& n : names) m[n] = 8;
  return m;
}

TEST_F(BackupWindow, ArchivesHoldExactlyTheListedFilesStoredOrDeflated) {
  InstallTamir();  // Ruv_TM.exe, ruv_inst.dbf
  InstallMorta();
  for (const char* name : {"Dane.DBF", "dane.dbt", "raport.rtf", "zdarzenia.log", "notatki.txt", "a.rw", "b.csv",
                           "c.XLS", "d.etm", "e.lpp", "f.skk", "g.wzorzec", "h.zamowienie", "TMR_Ruv.rav",
                           "GRV_Ruv.rav", "Ruv_Admin.exe", "QZVKopia.exe", "Pomoc.DLL", "inne.exe",
                           "obraz.jpg", "osoby.dbf"})
    WriteFile(prog() + name, std::string(2000, 'x') + name);
  WriteFile(prog() + "Dokumenty/skan.JPG", RandomBytes(5000, 1));
  WriteFile(prog() + "Dokumenty/umowa.pdf", TextBytes(5000, 2));
  WriteFile(prog() + "Dokumenty/notatki.txt", "dokument");
  WriteFile(prog() + "Dokumenty/inne.doc", "nie");
  WriteFile(prog() + "Dokumenty/stare/x.pdf", "nie");
  WriteFile(morta() + "kursy.dbf", "kursy");
  WriteFile(morta() + "RP_Morta.rav", "raport");
  WriteFile(morta() + "Morta.ini", "[x]");
  WriteFile(morta() + "inne.exe", "nie");
  auto main = MainWindow();
  ASSERT_TRUE(main->BitBtn3->isEnabled());
  ASSERT_FALSE(main->BitBtn2->isEnabled());  // Gorvalo's files are data only
  ASSERT_TRUE(main->BitBtn6->isEnabled());

  const std::string log = Backup(*main);

  auto family = Deflated({"Dane.DBF", "dane.dbt", "ruv.ini", "ruv_admin.ini", "raport.rtf", "zdarzenia.log",
                          "notatki.txt", "a.rw", "b.csv", "c.XLS", "d.etm", "e.lpp", "f.skk", "g.wzorzec",
                          "h.zamowienie", "Ruv_TM.exe", "TMR_Ruv.rav", "Ruv_Admin.exe", "QZVKopia.exe", "Pomoc.DLL",
                          "osoby.dbf", "ruv_inst.dbf", "Dokumenty/umowa.pdf", "Dokumenty/notatki.txt"});
  family["Dokumenty/skan.JPG"] = 0;  // already compressed: stored
  EXPECT_EQ(Entries(FamilyArchive()), family);
  EXPECT_EQ(Entries(CoursesArchive()),
            Deflated({"kursy.dbf", "RP_Morta.rav", "Morta.ini", "Morta.exe", "mrt_inst.dbf"}));
  EXPECT_EQ(EntryBytes(FamilyArchive(), "Dokumenty/notatki.txt"), "dokument");

  EXPECT_NE(log.find("   KOPIA ZOSTAŁA UTWORZONA\n   " + FamilyArchive() + "\n   " + CoursesArchive() + "\n" +
                     std::string(68, '=')),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Do dodania jest : "), std::string::npos);
  EXPECT_NE(RuvIni().find("proponuj_kopie_kiedy=05.03.2011"), std::string::npos);
}

TEST_F(BackupWindow, DocumentsLeftOutWhenAsked) {
  InstallTamir();
  WriteFile(prog() + "Dokumenty/skan.jpg", "obraz");
  auto main = MainWindow();
  Backup(*main, [](TEk_Adm_kopia& w) { w.CheckBox2->setChecked(true); });
  auto entries = Entries(FamilyArchive());
  EXPECT_EQ(entries.count("Dokumenty/skan.jpg"), 0u);
  EXPECT_EQ(entries.count("ruv_inst.dbf"), 1u);
}

TEST_F(BackupWindow, WithoutPersonalDataLeavesTheTablesOutOnceInAnyLetterCase) {
  InstallTamir();
  WriteFile(prog() + "OSOBY.DBF", "dane osobowe");
  WriteFile(prog() + "Osoby.Dbt", "dane osobowe");
  WriteFile(ruvIni(), "[ustawienia]\r\nproponuj_kopie_bez_danych_osobowych=1\r\n");
  auto main = MainWindow();
  Backup(*main);
  auto entries = Entries(FamilyArchive());
  EXPECT_EQ(entries.count("OSOBY.DBF") + entries.count("Osoby.Dbt"), 0u);
  EXPECT_EQ(entries.count("ruv_inst.dbf"), 1u);
  EXPECT_NE(RuvIni().find("proponuj_kopie_bez_danych_osobowych=0"), std::string::npos);

  Backup(*main);
  entries = Entries(FamilyArchive());
  EXPECT_EQ(entries.count("OSOBY.DBF") + entries.count("Osoby.Dbt"), 2u);
}

TEST_F(BackupWindow, SecondRunOfTheDayWritesIntoTheArchiveAndAFailedOneKeepsIt) {
  InstallTamir();
  WriteFile(prog() + "a.dbf", "pierwsza");
  auto main = MainWindow();
  Backup(*main);
  WriteFile(prog() + "a.dbf", "druga");
  WriteFile(prog() + "b.dbf", "nowa");
  Backup(*main);
  EXPECT_EQ(EntryBytes(FamilyArchive(), "a.dbf"), "druga");
  EXPECT_EQ(EntryBytes(FamilyArchive(), "b.dbf"), "nowa");

  // A third run whose source fails while the archive is written: the
  // earlier archive stays readable with the earlier bytes of that file.
  WriteFile(prog() + "a.dbf", TextBytes(300000, 3));
  plat::SetFileFaultHook([](plat::FileOp op, const std::string& path, uint64_t done) {
    return op == plat::FileOp::Read && path.find("a.dbf") != std::string::npos && done > 1000 ? 5 : 0;
  });
  ruvtest::DialogScript script;
  script.Expect(ruvtest::Dialog().Check([](QWidget& w) {
    EXPECT_EQ(ruvtest::Inspect(w).text.rfind("Błąd: Nie można odczytać pliku " , 0), 0u) << ruvtest::Inspect(w).text;
  }).Click("OK"));
  script.Expect(Message("Informacja", "I", kFinished, {"Zakończ"}));
  const std::string log = Backup(*main, script);
  plat::SetFileFaultHook({});
  EXPECT_EQ(EntryBytes(FamilyArchive(), "a.dbf"), "druga");
  EXPECT_EQ(Entries(FamilyArchive()).count("b.dbf"), 1u);
  EXPECT_NE(log.find("Nie można odczytać pliku"), std::string::npos);
}

TEST_F(BackupWindow, UnreadableSourceIsReportedAndTheRunGoesOn) {
  InstallTamir();
  WriteFile(prog() + "zajety.dbf", "zajęty");
  plat::File held;
  ASSERT_EQ(held.Open(prog() + "zajety.dbf", plat::kAccessReadWrite | plat::kShareDenyAll), 0);
  auto main = MainWindow();
  ruvtest::DialogScript script;
  script.Expect(ruvtest::Dialog().Icon("").Check([&](QWidget& w) {
    EXPECT_NE(ruvtest::Inspect(w).text.find("Błąd: Nie można odczytać pliku " + prog() + "zajety.dbf"),
              std::string::npos);
  }).Click("OK"));
  script.Expect(Message("Informacja", "I", kFinished, {"Zakończ"}));
  Backup(*main, script);
  auto entries = Entries(FamilyArchive());
  EXPECT_EQ(entries.count("zajety.dbf"), 0u);
  EXPECT_EQ(entries.count("ruv_inst.dbf"), 1u);
  EXPECT_NE(RuvIni().find("proponuj_kopie_kiedy=05.03.2011"), std::string::npos);
}

TEST_F(BackupWindow, MissingConfiguredDirectoryFallsBackToEachSourcesKopia) {
  InstallTamir();
  InstallMorta();
  WriteFile(ruvIni(), "[ustawienia]\r\nkatalog_kopii=" + tree.dir() + "brak\\kopii\\\r\n");
  auto main = MainWindow();
  Backup(*main);
  EXPECT_TRUE(FileExists(FamilyArchive()));
  EXPECT_TRUE(FileExists(CoursesArchive()));
}

TEST_F(BackupWindow, ConfiguredDirectoryTakesBothArchives) {
  InstallTamir();
  InstallMorta();
  std::filesystem::create_directories(tree.dir() + "kopie");
  WriteFile(ruvIni(), "[ustawienia]\r\nkatalog_kopii=" + tree.dir() + "kopie\r\n");
  auto main = MainWindow();
  Backup(*main);
  EXPECT_TRUE(FileExists(tree.dir() + "kopie/2011_03_05_Admin_kopia_danych_ruv.zip"));
  EXPECT_TRUE(FileExists(tree.dir() + "kopie/2011_03_05_Admin_kopia_danych_morta.zip"));
}

TEST_F(BackupWindow, NoBackupDirectoryEndsTheRunWithoutADate) {
  InstallTamir();
  WriteFile(prog() + "Kopia", "a file where the directory should be");
  const std::string candidate = prog() + "Kopia/";
  auto main = MainWindow();
  ruvtest::DialogScript script;
  script.Expect(Message("Błąd", "H", "Błąd przy tworzeniu pliku!\nlokalizacja: " + candidate, {"Dalej"}));
  const std::string log = Backup(*main, script);
  EXPECT_EQ(RuvIni().find("proponuj_kopie_kiedy"), std::string::npos);
  EXPECT_EQ(log.find("KOPIA"), std::string::npos);
}

TEST_F(BackupWindow, MissingMortaDirectoryEndsTheRunAfterTheFamilyArchive) {
  InstallTamir();
  InstallMorta();
  auto main = MainWindow();
  std::filesystem::remove_all(morta());
  ruvtest::DialogScript script;
  script.Expect(ruvtest::Dialog().Icon("H").Click("OK"));
  Backup(*main, script);
  EXPECT_TRUE(FileExists(FamilyArchive()));
  EXPECT_EQ(RuvIni().find("proponuj_kopie_kiedy"), std::string::npos);
}

TEST_F(BackupWindow, MortaWithoutItsDirectoryKeyIsBackedUpFromTheDefaultDirectory) {
  InstallTamir();
  InstallMorta();
  auto main = MainWindow();
  DropMortaKey();
  Backup(*main);
  EXPECT_TRUE(FileExists(CoursesArchive()));
}

class BackupUpload : public BackupWindow, public ::testing::WithParamInterface<bool> {};

TEST_P(BackupUpload, UploadsBothArchivesByAppend) {
  const bool passive = GetParam();
  FtpTestServer server({FtpTestServer::Account{"kopie", "haslo123"}});
  ASSERT_TRUE(server.Started());
  InstallTamir();
  InstallMorta();
  WriteFile(ruvIni(), std::string("[ustawienia]\r\ntryb_ftp=") + (passive ? "P" : "A") + "\r\n");
  auto main = MainWindow();
  const std::string log = Backup(*main, [&](TEk_Adm_kopia& w) {
    w.CheckBox1->setChecked(true);
    w.IdFTP1.Host = "127.0.0.1";
    w.IdFTP1.Port = server.Port();
    w.IdFTP1.Username = "kopie";
    w.IdFTP1.Password = "haslo123";
  });
  EXPECT_NE(log.find("*** przesyłanie kopii ***"), std::string::npos);
  EXPECT_NE(log.find("*** kopia została przesłana ***"), std::string::npos);
  const std::string home = server.Home("kopie");
  EXPECT_EQ(ReadFile(home + "2011_03_05_Admin_kopia_danych_ruv.zip"), ReadFile(FamilyArchive()));
  EXPECT_EQ(ReadFile(home + "2011_03_05_Admin_kopia_danych_morta.zip"), ReadFile(CoursesArchive()));
  const auto commands = server.Commands();
  auto has = [&](const char* c) { return std::find(commands.begin(), commands.end(), c) != commands.end(); };
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "APPE"), 2);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "USER"), 1);
  if (passive)
    EXPECT_TRUE(has("PASV") || has("EPSV"));
  else
    EXPECT_TRUE(has("PORT") || has("EPRT"));
}

INSTANTIATE_TEST_SUITE_P(Modes, BackupUpload, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Passive" : "Active"; });

TEST_F(BackupWindow, NoConnectionKeepsTheArchivesAndEndsTheRun) {
  FtpTestServer server({FtpTestServer::Account{"kopie", "haslo123"}});
  ASSERT_TRUE(server.Started());
  RefusingPort refusing;
  InstallTamir();
  WriteFile(ruvIni(), "[ustawienia]\r\nusuwac_starsze_kopie=Tak\r\nusuwac_starsze_kopie_ile_dni=1\r\n");
  WriteFile(prog() + "Kopia/2000_01_01_Admin_kopia_danych_ruv.zip", "stara");
  auto main = MainWindow();
  struct Case {
    int port;
    const char* password;
  };
  for (const Case& c : {Case{refusing.Port(), "haslo123"}, Case{server.Port(), "zle"}}) {
    SCOPED_TRACE(c.password);
    ruvtest::DialogScript script;
    script.Expect(Message("Informacja", "I",
                          "Brak możliwości przesłania kopii do VELMO Soft - problem z połączeniem.", {"Zakończ"}));
    Backup(*main, script, [&](TEk_Adm_kopia& w) {
      w.CheckBox1->setChecked(true);
      w.IdFTP1.Host = "127.0.0.1";
      w.IdFTP1.Port = c.port;
      w.IdFTP1.Username = "kopie";
      w.IdFTP1.Password = c.password;
    });
    EXPECT_EQ(Entries(FamilyArchive()).count("ruv_inst.dbf"), 1u);
    // No deletion after a failed upload.
    EXPECT_TRUE(FileExists(prog() + "Kopia/2000_01_01_Admin_kopia_danych_ruv.zip"));
  }
}

TEST_F(BackupWindow, ForcedBackupRunsOnActivationWithoutUploadOrClose) {
  InstallTamir();
  auto main = MainWindow();
  TEk_Adm_kopia w(*main);
  w.Label1->setText("T");
  w.CheckBox1->setChecked(true);
  bool stayedOpen = false;
  ruvtest::DialogScript script;
  script.Expect(Message("Informacja", "I", kFinished, {"Zakończ"}).Check([&](QWidget&) {
    // Closing while the run works is ignored.
    w.close();
    stayedOpen = w.isVisible() && w.Running();
  }));
  EXPECT_TRUE(script.Run([&] {
    w.show();
    w.activateWindow();
    EXPECT_TRUE(WaitFor([&] {
      QApplication::processEvents();
      return !w.BitBtnKopia->isEnabled() && !w.Running();
    }));
  }));
  EXPECT_TRUE(stayedOpen);
  EXPECT_FALSE(w.BitBtn8->isEnabled());
  EXPECT_FALSE(w.CheckBox1->isEnabled());
  EXPECT_FALSE(w.CheckBox1->isChecked());
  EXPECT_TRUE(FileExists(FamilyArchive()));
  // Activated again (after its own dialogs): no second run.
  w.activateWindow();
  QApplication::processEvents();
  w.close();
  EXPECT_FALSE(w.isVisible());
}

TEST_F(BackupWindow, OldBackupsOfTheDaysRuleAreDeletedAndCounted) {
  SetDate(2011, 3, 31);
  auto main = MainWindow();  // sets the engine's date picture
  const std::string dir = prog() + "Kopia/";
  for (const char* name : {"2011_02_28_Admin_kopia_danych_ruv.zip", "2011_03_01_Admin_kopia_danych_morta.zip",
                           "stare.zip", "2011_01_15_inna.ZIP", "2010_12_01_Admin_kopia_danych_ruv.zip",
                           "2010_13_01_Admin_kopia_danych_ruv.zip", "2010_11_01_notatka.txt"})
    WriteFile(dir + name, "x");
  plat::File held;
  ASSERT_EQ(held.Open(dir + "2010_12_01_Admin_kopia_danych_ruv.zip", plat::kAccessRead | plat::kShareDenyAll), 0);

  EXPECT_EQ(DeleteOldBackups(dir, 30), 2);
  EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"2010_11_01_notatka.txt", "2010_12_01_Admin_kopia_danych_ruv.zip",
                                                    "2010_13_01_Admin_kopia_danych_ruv.zip",
                                                    "2011_03_01_Admin_kopia_danych_morta.zip", "stare.zip"}));
  EXPECT_TRUE(Engine().err.AutoErrorHandling);
  // A missing directory deletes nothing, and the switch is back.
  EXPECT_EQ(DeleteOldBackups(tree.dir() + "brak/", 30), 0);
  EXPECT_TRUE(Engine().err.AutoErrorHandling);
}

TEST_F(BackupWindow, RunDeletesOldBackupsFromTheConfiguredDirectoryAsRead) {
  SetDate(2011, 3, 31);
  InstallTamir();
  // The configured directory is missing: the archive goes to Kopia/, the
  // deletion looks where the setting says and finds nothing.
  WriteFile(prog() + "Kopia/2011_02_28_Admin_kopia_danych_ruv.zip", "x");
  WriteFile(ruvIni(), "[ustawienia]\r\nusuwac_starsze_kopie=Tak\r\nusuwac_starsze_kopie_ile_dni=30\r\nkatalog_kopii=" +
                          tree.dir() + "brak\r\n");
  auto main = MainWindow();
  std::string log = Backup(*main);
  EXPECT_TRUE(FileExists(prog() + "Kopia/2011_02_28_Admin_kopia_danych_ruv.zip"));
  EXPECT_EQ(log.find("zostały usunięte"), std::string::npos);
  EXPECT_TRUE(Engine().err.AutoErrorHandling);

  WriteFile(ruvIni(), "[ustawienia]\r\nusuwac_starsze_kopie=Tak\r\nusuwac_starsze_kopie_ile_dni=30\r\n");
  log = Backup(*main);
  EXPECT_FALSE(FileExists(prog() + "Kopia/2011_02_28_Admin_kopia_danych_ruv.zip"));
  EXPECT_TRUE(FileExists(FamilyArchive("2011_03_31")));
  EXPECT_NE(log.find(" \n*** kopie starsze o 30 dni zostały usunięte (1 szt.)***"), std::string::npos) << log;
}

TEST(BackupArchiveName, DateStemAndSuffix) {
  EXPECT_EQ(BackupArchiveName(2011, 3, 5, "_ruv.zip"), "2011_03_05_Admin_kopia_danych_ruv.zip");
  EXPECT_EQ(BackupArchiveName(2024, 12, 31, "_morta.zip"), "2024_12_31_Admin_kopia_danych_morta.zip");
}

}  // namespace

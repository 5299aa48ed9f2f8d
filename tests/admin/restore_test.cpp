// Restores from backup archives and the index-file deletion, through the
// main window's menu: all or nothing, the documents rule, hostile and
// damaged archives, the guard, and which directories lose their indexes.
#include <QAbstractItemView>
#include <QAction>
#include <QCompleter>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>

#include "admin/Adm_Ekr_kopia.h"
#include "admin/Restore.h"
#include "backup_tree.h"
#include "platform/byteorder.h"
#include "platform/journal.h"
#include "tablebase/dbf4.h"
#include "tablebase/tzdbflow.h"
#include "tablebase/tzutils.h"
#include "tablebase_ui/tzmsg.h"
#include "testutil/helper_child.h"

namespace {

using namespace testutil;

// A program outside the engine that only locks `table`'s lock bytes; it
// holds them once `ready` exists.
std::unique_ptr<Child> LockTableBytes(const std::string& table, const std::string& ready) {
  auto locker = std::make_unique<Child>("/usr/bin/python3",
                                        std::vector<std::string>{"python3", "-c",
                                                                 "import fcntl, sys, time\n"
                                                                 "f = open(sys.argv[1], 'r+b')\n"
                                                                 "fcntl.lockf(f, fcntl.LOCK_EX, 1, 0x40000000)\n"
                                                                 "open(sys.argv[2], 'w').close()\n"
                                                                 "time.sleep(60)\n",
                                                                 table, ready});
  EXPECT_TRUE(WaitFor([&] { return FileExists(ready); }));
  return locker;
}

const char* kConfirm = "Potwierdź zamiar odtwarzania plików z kopii.";

class Restore : public BackupTree {
 protected:
  void SetUp() override {
    BackupTree::SetUp();
    InstallTamir();
    InstallMorta();
    std::filesystem::create_directories(prog() + "Kopia");
    std::filesystem::create_directories(morta() + "Kopia");
  }
  static ruvtest::Dialog Confirm(bool yes) {
    return Message("Potwierdzenie", "?", kConfirm, {"Nie", "Tak"}, yes ? 2 : 1);
  }
  // Every regular file under `dir` (relative name -> bytes).
  static std::map<std::string, std::string> Snapshot(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
      if (e.is_regular_file()) out[e.path().string().substr(dir.size())] = ReadFile(e.path().string());
    return out;
  }
  // The critical error of a restore that changed nothing; its text names
  // the cause, which holds `cause`.
  static ruvtest::Dialog CriticalError(const std::string& cause = "") {
    return ruvtest::Dialog().Caption("Błąd").Icon("H").Check([cause](QWidget& w) {
      const std::string text = ruvtest::Inspect(w).text;
      EXPECT_EQ(text.rfind("Błąd krytyczny przy odtwarzaniu archiwum !\n", 0), 0u) << text;
      EXPECT_NE(text.find(cause), std::string::npos) << text;
      const std::string unchanged = "\nDane nie zostały zmienione.";
      EXPECT_EQ(text.size() - std::min(text.size(), unchanged.size()), text.rfind(unchanged)) << text;
    }).Click("button1");
  }
  // Runs the family restore answering "Tak", the file dialog with
  // `archive`, and then `after`.
  bool FamilyRestore(TEkr_Ruv& main, const std::string& archive, std::vector<ruvtest::Dialog> after) {
    ruvtest::DialogScript script;
    script.Expect(Confirm(true));
    script.Expect(ChooseFile(archive));
    for (auto& d : after) script.Expect(std::move(d));
    return script.Run([&] { main.Odtworzenieplikwdanychzkopiiprogramydlaruv1->trigger(); });
  }
};

TEST_F(Restore, FamilyBackupRestoredOverChangedDataGivesBackTheBytes) {
  WriteFile(prog() + "dane.dbf", "stare dane");
  WriteFile(prog() + "notatki.txt", "notatki danych");
  WriteFile(prog() + "Dokumenty/notatki.txt", "notatki dokumentów");
  WriteFile(prog() + "Dokumenty/skan.jpg", RandomBytes(3000, 4));
  auto main = MainWindow();
  {
    TEk_Adm_kopia backup(*main);
    ruvtest::DialogScript script;
    script.Expect(Message("Informacja", "I", "Kopiowanie plików danych zostało zakończone.", {"Zakończ"}));
    EXPECT_TRUE(script.Run([&] { backup.BitBtnKopia->click(); }));
  }
  const std::string archive = prog() + "Kopia/2011_03_05_Admin_kopia_danych_ruv.zip";
  const auto backedUp = Snapshot(prog());
  const size_t entries = Entries(archive).size();

  WriteFile(prog() + "dane.dbf", "zmienione");
  WriteFile(prog() + "DANE.DBF.bak", "obok");
  std::filesystem::remove(prog() + "notatki.txt");
  WriteFile(prog() + "Dokumenty/notatki.txt", "zmienione dokumenty");
  WriteFile(prog() + "indeks.MDX", "indeks");
  {
    TIniFile ini(adminIni());
    ini.WriteString("katalogi", "ruv_sl", tree.dir() + "gdzie_indziej/");
  }
  std::string startDir;
  ruvtest::DialogScript script;
  script.Expect(Confirm(true));
  script.Expect(ChooseFile(archive, &startDir));
  script.Expect(Message("Informacja", "I",
                        "Kopia pomyślnie odtworzona.\nLiczba odtworzonych plików: " + std::to_string(entries),
                        {"Dalej"}));
  EXPECT_TRUE(script.Run([&] { main->Odtworzenieplikwdanychzkopiiprogramydlaruv1->trigger(); }));
  EXPECT_EQ(startDir + "/", prog() + "Kopia/");

  auto now = Snapshot(prog());
  EXPECT_EQ(now.erase("DANE.DBF.bak"), 1u);
  // The index file is erased; the settings file is the backed-up one with
  // the directories set back.
  EXPECT_EQ(now.count("indeks.MDX"), 0u);
  for (const auto& [name, bytes] : backedUp) {
    // The settings files come back as the archive holds them.
    if (name == "ruv_admin.ini" || name == "ruv.ini" || name.rfind("Kopia/", 0) == 0) continue;
    EXPECT_EQ(now[name], bytes) << name;
  }
  EXPECT_EQ(now["ruv.ini"], EntryBytes(archive, "ruv.ini"));
  TIniFile ini(adminIni());
  EXPECT_EQ(ini.ReadString("katalogi", "ruv_sl", ""), prog());
  EXPECT_EQ(ini.ReadString("katalogi", "morta", ""), morta());
  // No staging directory is left behind.
  for (const auto& e : std::filesystem::directory_iterator(prog()))
    EXPECT_EQ(e.path().filename().string().find(".rozpakowanie"), std::string::npos);
}

TEST_F(Restore, DocumentsGoBackToTheirDirectoryAndTheRestFlat) {
  const std::string archive = prog() + "Kopia/k.zip";
  MakeArchive(archive, {{"a.txt", "dane"},
                        {"C:\\Ruv\\Dokumenty\\a.txt", "dokument"},
                        {"stary/katalog/b.dbf", "płasko"},
                        {"x/DOKUMENTY/c.pdf", "pdf"}});
  WriteFile(prog() + "A.TXT", "stare");
  auto main = MainWindow();
  // While it runs, events are handled (a timer fires) through the
  // unpacking and the saving, a wait window tells what it does, the main
  // window does not close, and no list that completed the typed name
  // covers it.
  QStringList shown;
  bool closed = false, popup = false;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (auto* wait = main->findChild<TTzMsg*>("OknoOdtwarzania"); wait && wait->isVisible()) {
      shown << wait->MessageText();
      closed = closed || main->close();
      for (QWidget* w : QApplication::topLevelWidgets()) popup = popup || (w->isVisible() && w->windowType() == Qt::Popup);
    }
  });
  watch.start(0);
  ruvtest::DialogScript script;
  script.Expect(Confirm(true));
  script.Expect(ruvtest::Dialog().Answer([&](QWidget& w) {
    auto& fd = dynamic_cast<QFileDialog&>(w);
    auto* name = fd.findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    name->setText(QString::fromStdString(archive).chopped(5));  // the folder typed; the list offers "k.zip"
    name->completer()->complete();
    ASSERT_TRUE(WaitFor([&] {
      QApplication::processEvents();
      return name->completer()->popup()->isVisible();
    }));
    name->setText(QString::fromStdString(archive));
    QMetaObject::invokeMethod(&fd, "accept");
  }));
  script.Expect(Message("Informacja", "I", "Kopia pomyślnie odtworzona.\nLiczba odtworzonych plików: 4", {"Dalej"}));
  EXPECT_TRUE(script.Run([&] { main->Odtworzenieplikwdanychzkopiiprogramydlaruv1->trigger(); }));
  // The saving counts the settings file with the directories set back.
  for (const char* text : {"Odtwarzanie kopii: 100%, plik c.pdf", "Zapisywanie odtworzonych plików: 0 z 5",
                           "Zapisywanie odtworzonych plików: 5 z 5"})
    EXPECT_TRUE(shown.contains(text)) << text << ": " << shown.join("|").toStdString();
  EXPECT_FALSE(closed);
  EXPECT_FALSE(popup);
  EXPECT_EQ(ReadFile(prog() + "A.TXT"), "dane");  // replaced in its own letter case
  EXPECT_FALSE(FileExists(prog() + "a.txt"));
  EXPECT_EQ(ReadFile(prog() + "Dokumenty/a.txt"), "dokument");
  EXPECT_EQ(ReadFile(prog() + "Dokumenty/c.pdf"), "pdf");
  EXPECT_EQ(ReadFile(prog() + "b.dbf"), "płasko");
  EXPECT_FALSE(FileExists(prog() + "stary"));
}

TEST_F(Restore, BadArchivesChangeNothingAndSaySo) {
  WriteFile(prog() + "dane.dbf", "dane");
  WriteFile(prog() + "indeks.mdx", "indeks");
  const std::string dir = prog() + "Kopia/";
  WriteFile(dir + "smieci.zip", RandomBytes(4000, 5));
  MakeArchive(dir + "pusta.zip", {});
  MakeArchive(dir + "wrogie.zip", {{"dane.dbf", "podmienione"}, {"../../poza.dbf", "ucieczka"}});
  RunResult link = RunPython(
      "import sys, zipfile\n"
      "z = zipfile.ZipFile(sys.argv[1], 'w')\n"
      "z.writestr('dane.dbf', 'podmienione')\n"
      "i = zipfile.ZipInfo('link.dbf'); i.create_system = 3; i.external_attr = 0o120777 << 16\n"
      "z.writestr(i, '/etc/passwd')\n"
      "z.close()\n",
      {dir + "dowiazanie.zip"});
  ASSERT_EQ(link.status, 0) << link.out;
  MakeArchive(dir + "kontrolne.zip", {{"dane.dbf", "podmienione"}, {"zle\x01.dbf", "x"}});
  // Damaged data of the second entry: the first must not land alone.
  MakeArchive(dir + "uszkodzona.zip", {{"dane.dbf", "podmienione"}, {"b.dbf", TextBytes(20000, 6)}});
  {
    std::string bytes = ReadFile(dir + "uszkodzona.zip");
    const size_t at = bytes.find("b.dbf") + 5 + 100;
    bytes[at] = char(bytes[at] ^ 0x55);
    WriteFile(dir + "uszkodzona.zip", bytes);
  }
  auto main = MainWindow();
  const std::string settings = ReadFile(adminIni());
  const auto before = Snapshot(prog());

  for (const char* name : {"smieci.zip", "pusta.zip"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(FamilyRestore(*main, dir + name, {Message("Błąd", "H", "Brak plików w kopii !", {"Zakończ"})}));
    EXPECT_EQ(Snapshot(prog()), before);
  }
  for (const char* name : {"wrogie.zip", "dowiazanie.zip", "kontrolne.zip", "uszkodzona.zip"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(FamilyRestore(*main, dir + name, {CriticalError()}));
    EXPECT_EQ(Snapshot(prog()), before);
    EXPECT_FALSE(FileExists(tree.dir() + "poza.dbf"));
    EXPECT_FALSE(FileExists(prog() + "../poza.dbf"));
  }
  // A failure that is not the ZIP library's own, in the middle of unpacking.
  main->ZipMaster191.OnProgress = [](const TZipProgressDetails& d) {
    if (d.ProgType == NewFile) throw std::bad_alloc();
  };
  EXPECT_TRUE(FamilyRestore(*main, dir + "wrogie.zip", {CriticalError("std::bad_alloc")}));
  EXPECT_EQ(Snapshot(prog()), before);
  EXPECT_EQ(ReadFile(adminIni()), settings);
}

// Windows refuses to replace a file that another program holds, and so
// does the restore: before anything moves, and naming the file.
TEST_F(Restore, FilesAnotherProgramHoldsStopTheWholeRestore) {
  const std::string table = prog() + "dane.dbf";
  {
    WorkArea scratch;
    std::vector<FieldEntry> fields{{"NAZWA", 'C', 10, 0}};
    CreateDbf(scratch, table, fields);
    USE(table + " EXCLUSIVE", nullptr, 0);
    Append();
    CloseArea();
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  }
  WriteFile(prog() + "inne.txt", "stare");
  const std::string archive = prog() + "Kopia/k.zip";
  MakeArchive(archive, {{"inne.txt", "nowe"}, {"DANE.DBF", "z kopii"}});
  auto main = MainWindow();
  const auto before = Snapshot(prog());
  const std::vector<std::vector<std::string>> holds = {
      {"hold-open", table}, {"hold-exclusive", table}, {"hold-record", table, "1"}, {"hold-table", table}};
  for (const auto& hold : holds) {
    SCOPED_TRACE(hold.front());
    HelperChild holder("dbf_lock_helper", hold);
    ASSERT_EQ(holder.ReadLine(), "ready");
    EXPECT_TRUE(FamilyRestore(*main, archive, {CriticalError(table)}));
    EXPECT_EQ(Snapshot(prog()), before);
  }
  {
    // A program outside the engine that only locks the table's lock bytes.
    const auto locker = LockTableBytes(table, tree.dir() + "zablokowane");
    EXPECT_TRUE(FamilyRestore(*main, archive, {CriticalError(table)}));
    EXPECT_EQ(Snapshot(prog()), before);
  }
  EXPECT_TRUE(FamilyRestore(
      *main, archive, {Message("Informacja", "I", "Kopia pomyślnie odtworzona.\nLiczba odtworzonych plików: 2", {"Dalej"})}));
  EXPECT_EQ(ReadFile(table), "z kopii");
}

// The success message counts restored files: 0 for an archive of directories only.
TEST_F(Restore, ArchiveOfDirectoriesOnlyRestoresNoFile) {
  const std::string archive = prog() + "Kopia/k.zip";
  MakeArchive(archive, {{"katalog/", ""}, {"katalog/pod/", ""}});
  WriteFile(prog() + "indeks.mdx", "indeks");
  auto main = MainWindow();
  EXPECT_TRUE(FamilyRestore(
      *main, archive, {Message("Informacja", "I", "Kopia pomyślnie odtworzona.\nLiczba odtworzonych plików: 0", {"Dalej"})}));
  EXPECT_FALSE(FileExists(prog() + "katalog"));
  EXPECT_FALSE(FileExists(prog() + "indeks.mdx"));
}

TEST_F(Restore, CancelledOrEmptyChoiceKeepsTheDirectorySettings) {
  WriteFile(prog() + "indeks.mdx", "indeks");
  auto main = MainWindow();
  {
    TIniFile ini(adminIni());
    ini.WriteString("katalogi", "ruv_sl", tree.dir() + "gdzie_indziej/");
  }
  const std::string settings = ReadFile(adminIni());
  ruvtest::DialogScript script;
  script.Expect(Confirm(true));
  script.Expect(ruvtest::Dialog().PressEscape());
  script.Expect(Confirm(true));
  script.Expect(ruvtest::Dialog().Answer([](QWidget& w) { dynamic_cast<QDialog&>(w).done(QDialog::Accepted); }));
  script.Expect(Message("Błąd", "H", "Nie wybrano kopii do odtworzenia !", {"Zakończ"}));
  script.Expect(Confirm(false));
  EXPECT_TRUE(script.Run([&] {
    for (int i = 0; i < 3; ++i) main->Odtworzenieplikwdanychzkopiiprogramydlaruv1->trigger();
  }));
  EXPECT_EQ(ReadFile(adminIni()), settings);
  // The index files still go, as after every restore command that got past
  // the file dialog.
  EXPECT_FALSE(FileExists(prog() + "indeks.mdx"));
}

TEST_F(Restore, MortaRestoreWritesNoDirectorySettings) {
  WriteFile(morta() + "kursy.dbf", "stare");
  WriteFile(morta() + "KURSY.MDX", "indeks");
  WriteFile(prog() + "ruv.mdx", "indeks rodziny");
  const std::string archive = morta() + "Kopia/m.zip";
  MakeArchive(archive, {{"kursy.dbf", "z kopii"}});
  auto main = MainWindow();
  {
    TIniFile ini(adminIni());
    ini.WriteString("katalogi", "ruv_sl", tree.dir() + "gdzie_indziej/");
  }
  const std::string settings = ReadFile(adminIni());
  std::string startDir;
  ruvtest::DialogScript script;
  script.Expect(Confirm(true));
  script.Expect(ChooseFile(archive, &startDir));
  script.Expect(Message("Informacja", "I", "Kopia pomyślnie odtworzona.\nLiczba odtworzonych plików: 1", {"Dalej"}));
  EXPECT_TRUE(script.Run([&] { main->OdtworzenieplikwdanychzkopiiprogramMorta1->trigger(); }));
  EXPECT_EQ(startDir + "/", morta() + "Kopia/");
  EXPECT_EQ(ReadFile(morta() + "kursy.dbf"), "z kopii");
  EXPECT_FALSE(FileExists(morta() + "KURSY.MDX"));
  EXPECT_TRUE(FileExists(prog() + "ruv.mdx"));
  EXPECT_EQ(ReadFile(adminIni()), settings);
}

TEST_F(Restore, GuardRefusesWhileTheProgramWhoseDataItRestoresRuns) {
  auto main = MainWindow();
  SetProcessLister([] { return std::vector<TProcessNames>{{"/opt/ruv/RUV_TM.EXE", "", ""}}; });
  ruvtest::DialogScript script;
  script.Expect(GuardMessage());   // the family restore
  script.Expect(Confirm(false));   // Morta's is not Tamir's data
  EXPECT_TRUE(script.Run([&] {
    main->Odtworzenieplikwdanychzkopiiprogramydlaruv1->trigger();
    main->OdtworzenieplikwdanychzkopiiprogramMorta1->trigger();
  }));
  SetProcessLister([] { return std::vector<TProcessNames>{{"/opt/morta/morta.exe", "", ""}}; });
  ruvtest::DialogScript morta;
  morta.Expect(Confirm(false));
  morta.Expect(GuardMessage());
  EXPECT_TRUE(morta.Run([&] {
    main->Odtworzenieplikwdanychzkopiiprogramydlaruv1->trigger();
    main->OdtworzenieplikwdanychzkopiiprogramMorta1->trigger();
  }));
}

// A restore killed before each of its file changes in turn (writes, syncs,
// renames, erasures), as a crash or the machine stopping would end it: the
// next start finds the files all old or all new, the index files erased
// and the directory settings set back with them, no staging folder, beside
// the new tables none of the old ones' pack leftovers, and tells the user.
// In Morta's directory a directory stands where the third file goes, so
// the restore fails before anything moves, killed or not; then its
// documents directory is a link the user made, which they go through. The
// start's own settling, stopped at any step and run again, ends as once;
// it waits while a file is held or a guarded program runs, and a new
// restore meanwhile fails and changes nothing. A plan killed before its
// first move whose table another program changed since is dropped.
TEST_F(Restore, KilledAtAnyChangeTheNextStartFindsAllOldOrAllNew) {
  const std::string archive = tree.dir() + "k.zip";
  MakeArchive(archive, {{"DANE.DBF", "nowa tabela"}, {"dane.dbt", "nowe notatki"}, {"zz.txt", "nowy"},
                        {"Dokumenty/skan.jpg", "nowy skan"}, {"Dokumenty/umowa.pdf", "nowa umowa"}});
  const std::string linkedDocuments = tree.dir() + "Dokumenty_Morty/";
  const auto putOld = [&](const std::string& dir, bool inTheWay, bool linked = false) {
    std::filesystem::remove_all(dir);
    std::filesystem::remove_all(linkedDocuments);
    if (linked) {
      std::filesystem::create_directories(dir);
      std::filesystem::create_directories(linkedDocuments);
      std::filesystem::create_directory_symlink(linkedDocuments, dir + "Dokumenty");
    }
    WriteFile(dir + "dane.dbf", "stara tabela");
    WriteFile(dir + "DANE.DBT", "stare notatki");
    WriteFile(dir + "dane.$PJ", "dziennik pakowania");
    WriteFile(dir + "DANE.$$$", "nowe notatki pakowania");
    WriteFile(dir + "Dokumenty/skan.jpg", "stary skan");
    WriteFile(dir + "inne.txt", "zostaje");
    WriteFile(dir + "Dane.MDX", "stary indeks");
    WriteFile(dir + "ruv_admin.ini", "[katalogi]\r\nruv_sl=" + tree.dir() + "gdzie_indziej/\r\n");
    if (inTheWay) std::filesystem::create_directories(dir + "zz.txt");
  };
  // Every entry under `dir` (through a linked directory): a file's bytes, or "<katalog>".
  const auto entries = [](const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(
             dir, std::filesystem::directory_options::follow_directory_symlink))
      out[e.path().string().substr(dir.size())] = e.is_directory() ? "<katalog>" : ReadFile(e.path().string());
    return out;
  };
  std::map<std::string, std::string> fresh = {
      {"dane.dbf", "nowa tabela"},  {"DANE.DBT", "nowe notatki"},        {"zz.txt", "nowy"},
      {"Dokumenty", "<katalog>"},   {"Dokumenty/skan.jpg", "nowy skan"}, {"Dokumenty/umowa.pdf", "nowa umowa"},
      {"inne.txt", "zostaje"}};
  const auto restore = [&](const std::string& dir, int k) {
    return RunAdminHelper({"restore", archive, dir, "kill", std::to_string(k), dir == prog() ? "family" : "morta"});
  };
  putOld(prog(), false);
  ASSERT_EQ(restore(prog(), 0).status, 0);
  EXPECT_EQ(TIniFile(adminIni()).ReadString("katalogi", "ruv_sl", ""), prog());
  fresh["ruv_admin.ini"] = ReadFile(adminIni());
  EXPECT_EQ(entries(prog()), fresh);

  const struct {
    std::string dir;
    bool inTheWay, linked;
  } cases[] = {{prog(), false, false}, {morta(), true, false}, {morta(), false, true}};
  int finished = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dir + (c.linked ? " linked" : ""));
    putOld(c.dir, c.inTheWay, c.linked);
    const auto old = entries(c.dir);
    ASSERT_EQ(restore(c.dir, 0).status, c.inTheWay ? 1 : 0);
    const auto done = entries(c.dir);
    int status = 3, k = 0;
    while (status == 3) {
      SCOPED_TRACE(++k);
      putOld(c.dir, c.inTheWay, c.linked);
      const RunResult run = restore(c.dir, k);
      status = run.status;
      ASSERT_TRUE(status == 3 || status == (c.inTheWay ? 1 : 0)) << run.out;
      const std::vector<std::string> notices = FinishInterruptedWork();  // what the next start does first
      const auto now = entries(c.dir);
      EXPECT_TRUE(now == old || now == done) << run.out;
      for (const std::string& n : notices) {
        EXPECT_NE(n.find(c.dir), std::string::npos) << n;
        EXPECT_TRUE(now == old ? n.find("zostało wycofane") != n.npos || n.find("nie zostało wykonane") != n.npos
                               : n.find("zostało dokończone") != n.npos)
            << n;
        finished += now == done && now != old;
        EXPECT_EQ(n.find("; "), std::string::npos) << n;  // a ";" breaks the line in the message dialog
      }
      if (status != 3) {
        EXPECT_EQ(now, done);
      }
    }
  }
  EXPECT_GT(finished, 0);
  {
    // Killed after its first file went in; the link names another folder
    // since, which the settling does not go through.
    putOld(morta(), false, true);
    const int firstIn = FirstChange(restore(morta(), 0).out, "rename", "/nowe/");
    putOld(morta(), false, true);
    const auto documents = entries(linkedDocuments);
    ASSERT_EQ(restore(morta(), firstIn + 1).status, 3);
    std::filesystem::remove(morta() + "Dokumenty");
    std::filesystem::create_directories(tree.dir() + "inne_dokumenty");
    std::filesystem::create_directory_symlink(tree.dir() + "inne_dokumenty", morta() + "Dokumenty");
    const std::vector<std::string> relinked = FinishInterruptedWork();
    ASSERT_EQ(relinked.size(), 1u);
    EXPECT_NE(relinked[0].find("Dokumenty/skan.jpg"), std::string::npos) << relinked[0];
    EXPECT_EQ(entries(linkedDocuments), documents);
    EXPECT_TRUE(ListDir(tree.dir() + "inne_dokumenty").empty());
    EXPECT_EQ(ReadFile(morta() + "dane.dbf"), "stara tabela");
  }

  // Killed right after its first file went in (the rest still old).
  putOld(prog(), false);
  const RunResult listed = restore(prog(), 0);
  const int firstIn = FirstChange(listed.out, "rename", "/nowe/");
  ASSERT_GT(firstIn, 0) << listed.out;
  const auto killedMidway = [&] {
    putOld(prog(), false);
    ASSERT_EQ(restore(prog(), firstIn + 1).status, 3);
  };
  killedMidway();
  EXPECT_EQ(ReadFile(prog() + "dane.dbf") + ReadFile(prog() + "DANE.DBT"), "nowa tabelastare notatki");
  const auto midway = entries(prog());
  SetProcessLister([] { return std::vector<TProcessNames>{{"/opt/ruv/RUV_SL.EXE", "", ""}}; });
  const std::vector<std::string> waiting = FinishInterruptedWork();
  SetProcessLister([] { return std::vector<TProcessNames>{}; });
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_NE(waiting[0].find("działa program Ruv_SL.exe"), std::string::npos) << waiting[0];
  {
    const auto locker = LockTableBytes(prog() + "dane.dbf", tree.dir() + "zablokowane");
    const std::vector<std::string> held = FinishInterruptedWork();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_NE(held[0].find(prog() + "dane.dbf: plik jest zablokowany"), std::string::npos) << held[0];
    const RunResult over = restore(prog(), 0);
    EXPECT_EQ(over.status, 1);
    EXPECT_NE(over.out.find("niedokończone rozpakowanie"), std::string::npos) << over.out;
    EXPECT_EQ(entries(prog()), midway);
  }
  for (int k = 1, status = 3; status == 3; ++k) {
    SCOPED_TRACE(k);
    killedMidway();
    status = RunAdminHelper({"settle", prog(), "kill", std::to_string(k)}).status;
    ASSERT_TRUE(status == 3 || status == 0);
    EXPECT_TRUE(RecoverInterruptedUnpacks(prog()).Settled);
    EXPECT_TRUE(RecoverInterruptedUnpacks(prog()).Notices.empty());
    EXPECT_EQ(entries(prog()), fresh);
  }

  // Killed before its first move; the sibling program started first then
  // settles its table's pack leftovers, so the table changed since.
  putOld(prog(), false);
  auto opened = entries(prog());
  ASSERT_EQ(restore(prog(), FirstChange(listed.out, "rename", "")).status, 3);
  for (const char* leftover : {"dane.$PJ", "DANE.$$$"}) {
    std::filesystem::remove(prog() + leftover);
    opened.erase(leftover);
  }
  WriteFile(prog() + "dane.dbf", opened["dane.dbf"] = "tabela po otwarciu");
  const std::vector<std::string> dropped = FinishInterruptedWork();
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_NE(dropped[0].find("nie zostało wykonane. Plik " + prog() + "dane.dbf zmienił się"), std::string::npos) << dropped[0];
  EXPECT_EQ(entries(prog()), opened);
  ASSERT_EQ(restore(prog(), 0).status, 0);
  EXPECT_EQ(entries(prog()), fresh);
}

class IndexDeletion : public Restore {};

TEST_F(IndexDeletion, ErasesTheIndexFilesOfTheFirstFamilyDirectoryAndMortasOnly) {
  const std::string gorvalo = tree.dir() + "Gorvalo/";
  for (const std::string& f : {gorvalo + "a.mdx", gorvalo + "B.MDX", gorvalo + "c.Mdx", morta() + "kursy.MDX"})
    WriteFile(f, "indeks");
  for (const std::string& f : {gorvalo + "a.dbf", gorvalo + "mdx.txt", gorvalo + "sub/d.mdx", prog() + "ruv.mdx",
                               morta() + "kursy.dbf", tree.dir() + "Inny/e.mdx"})
    WriteFile(f, "zostaje");
  auto main = MainWindow();
  {
    TIniFile ini(adminIni());
    ini.WriteString("katalogi", "ruv_tamir", "  ");
    ini.WriteString("katalogi", "ruv_gorvalo", " " + gorvalo + " ");
    ini.WriteString("katalogi", "ruv_sl", tree.dir() + "Inny/");
  }
  const auto question = Message("Informacja", "I",
                                "Usunięte pliki indeksowe zostaną odtworzone po uruchomieniu programu.",
                                {"Dalej", "Anuluj"}, 2);
  {
    ruvtest::DialogScript cancelled;
    cancelled.Expect(question);
    EXPECT_TRUE(cancelled.Run([&] { main->Usunicieplikwindeksowych1->trigger(); }));
    EXPECT_TRUE(FileExists(gorvalo + "a.mdx"));
  }
  // The question comes before the guard.
  SetProcessLister([] { return std::vector<TProcessNames>{{"/x/Morta.exe", "", ""}}; });
  {
    ruvtest::DialogScript guarded;
    guarded.Expect(Message("Informacja", "I",
                           "Usunięte pliki indeksowe zostaną odtworzone po uruchomieniu programu.",
                           {"Dalej", "Anuluj"}, 1));
    guarded.Expect(GuardMessage());
    EXPECT_TRUE(guarded.Run([&] { main->Usunicieplikwindeksowych1->trigger(); }));
    EXPECT_TRUE(FileExists(gorvalo + "a.mdx"));
  }
  SetProcessLister([] { return std::vector<TProcessNames>{}; });
  ruvtest::DialogScript script;
  script.Expect(Message("Informacja", "I", "Usunięte pliki indeksowe zostaną odtworzone po uruchomieniu programu.",
                        {"Dalej", "Anuluj"}, 1));
  script.Expect(Message("Informacja", "I", "Pliki indeksowe zostały usunięte.", {"Dalej"}));
  EXPECT_TRUE(script.Run([&] { main->Usunicieplikwindeksowych1->trigger(); }));
  EXPECT_EQ(ListDir(gorvalo), (std::vector<std::string>{"a.dbf", "mdx.txt", "sub"}));
  EXPECT_FALSE(FileExists(morta() + "kursy.MDX"));
  EXPECT_TRUE(FileExists(morta() + "kursy.dbf"));
  EXPECT_TRUE(FileExists(gorvalo + "sub/d.mdx"));
  EXPECT_TRUE(FileExists(prog() + "ruv.mdx"));
  EXPECT_TRUE(FileExists(tree.dir() + "Inny/e.mdx"));
}

// A target that cannot be made changes nothing; one missing two levels is
// made with each new name synced into its parent.
TEST(RestoreArchive, TargetThatCannotBeMadeChangesNothing) {
  TempDir t;
  WriteFile(t.dir() + "plik", "zwykły plik");
  const std::string archive = t.dir() + "k.zip";
  RunResult r = RunPython("import sys, zipfile\nzipfile.ZipFile(sys.argv[1], 'w').writestr('a.dbf', 'x')\n", {archive});
  ASSERT_EQ(r.status, 0);
  TZipMaster19 zip;
  zip.ZipFileName = archive;
  TRestoreResult result = RestoreArchive(zip, t.dir() + "plik/dane/");
  EXPECT_FALSE(result.Ok);
  EXPECT_FALSE(result.Error.empty());
  EXPECT_EQ(ReadFile(t.dir() + "plik"), "zwykły plik");
  std::vector<std::string> synced;
  plat::SetFileFaultHook([&](plat::FileOp op, const std::string& path, uint64_t) {
    if (op == plat::FileOp::Flush) synced.push_back(path);
    return 0;
  });
  EXPECT_TRUE(RestoreArchive(zip, t.dir() + "nowy/dalej/dane/").Ok);
  plat::SetFileFaultHook({});
  for (const std::string& dir : {t.dir() + "nowy", t.dir() + "nowy/dalej"})
    EXPECT_NE(std::find(synced.begin(), synced.end(), dir), synced.end()) << dir;
}

// A target that cannot take the archive's files as they stand: the
// restore names the file and the true reason, changes nothing and leaves
// no staging folder; once the cause is gone it restores, and a memo
// pack's leftover of a replaced table goes whatever its letter case. A
// file swapped in just before its move (the file-fault hook on the
// rename) stops it: what moved goes back, and the swapped-in file stays.
TEST(RestoreArchive, TargetsThatCannotTakeTheFilesChangeNothing) {
  TempDir kept;
  const std::string archive = kept.dir() + "k.zip";
  RunResult r = RunPython(
      "import sys, zipfile\n"
      "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
      "  z.writestr('A.DBF', 'nowe a'); z.writestr('b.dbf', 'nowe b'); z.writestr('c.dbf', 'nowe c')\n"
      "  z.writestr('Dokumenty/d.pdf', 'dokument')\n",
      {archive});
  ASSERT_EQ(r.status, 0) << r.out;
  using Act = std::function<void(const std::string& target)>;
  const struct Row {
    const char* name;
    Act make, mend;
    std::function<int(plat::FileOp, const std::string& path, const std::string& target)> hook;
    const char* reason;
  } rows[] = {
      {"katalog", [](auto& d) { std::filesystem::create_directories(d + "b.dbf"); },
       [](auto& d) { std::filesystem::remove(d + "b.dbf"); }, {}, "b.dbf: istnieje katalog o tej nazwie"},
      {"dowiązanie", [](auto& d) { std::filesystem::create_symlink(d + "a.dbf", d + "b.dbf"); },
       [](auto& d) { std::filesystem::remove(d + "b.dbf"); }, {}, "b.dbf: jest dowiązaniem symbolicznym"},
      {"nieczytelny", {}, {}, [](auto op, auto& path, auto& d) {
         return op == plat::FileOp::Read && path == d + "a.dbf" ? plat::kErrAccessDenied : 0;
       }, "Nie można odczytać pliku {}a.dbf: brak dostępu"},
      {"podmieniony", {}, {}, [](auto op, auto& path, auto& d) {
         if (op == plat::FileOp::Rename && path == d + "a.dbf" && !FileExists(d + "../podmiana")) {
           WriteFile(d + "../podmiana", "podmieniony");
           std::filesystem::copy_file(d + "../podmiana", d + "../podmiana2");
           std::filesystem::rename(d + "../podmiana2", d + "a.dbf");
         }
         return 0;
       }, "a.dbf zmienił się"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir t;
    const std::string target = t.dir() + "dane/";
    WriteFile(target + "a.dbf", "stare a");
    WriteFile(target + "a.$pj", "dziennik pakowania");
    if (row.make) row.make(target);
    const std::vector<std::string> before = ListDir(target);
    TZipMaster19 zip;
    zip.ZipFileName = archive;
    if (row.hook)
      plat::SetFileFaultHook([&](plat::FileOp op, const std::string& path, uint64_t) { return row.hook(op, path, target); });
    TRestoreResult result = RestoreArchive(zip, target);
    plat::SetFileFaultHook({});
    EXPECT_FALSE(result.Ok);
    std::string reason = row.reason;
    if (const size_t at = reason.find("{}"); at != reason.npos) reason.replace(at, 2, target);
    EXPECT_NE(result.Error.find(reason), std::string::npos) << result.Error;
    EXPECT_EQ(ListDir(target), before);
    EXPECT_EQ(ReadFile(target + "a.dbf"), FileExists(t.dir() + "podmiana") ? "podmieniony" : "stare a");
    if (row.mend) row.mend(target);
    result = RestoreArchive(zip, target);
    EXPECT_TRUE(result.Ok) << result.Error;
    EXPECT_EQ(result.Files, 4);
    EXPECT_EQ(ListDir(target), (std::vector<std::string>{"Dokumenty", "a.dbf", "b.dbf", "c.dbf"}));
    EXPECT_EQ(ReadFile(target + "a.dbf"), "nowe a");
    EXPECT_EQ(ReadFile(target + "Dokumenty/d.pdf"), "dokument");
  }
}

}  // namespace

namespace {

using namespace testutil;

// A restore's staging folder left committed (killed after its first two
// files went in), then made hostile by a row; the start's settling must
// change nothing outside the target and no file into anything but one of
// its recorded versions, leave the files all old or all new but for the
// ones its notice names as changed, never block a new restore for good,
// and never lose a file. A row's `swap` acts on the renames and erasures
// the settling makes (the file-fault hook), as another program could
// between a check and the act.
TEST_F(Restore, HostileStagingFoldersChangeNothingButTheirOwnFiles) {
  const auto reseal = [](const std::string& journal, const std::string& from, const std::string& to) {
    std::string bytes = ReadFile(journal);
    bytes.replace(bytes.find(from), from.size(), to);
    bytes.resize(bytes.size() - 8);
    uint8_t sum[8];
    plat::writeLE64(sum, plat::Fnv1a64(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    WriteFile(journal, bytes + std::string(reinterpret_cast<char*>(sum), 8));
  };
  const auto undo = [](const std::string& s) { std::filesystem::rename(s + "plan", s + "cofnij"); };
  const std::string outside = "../poza/";  // relative to the target
  int held = -1;  // a running unpacking's lock on its journal
  using Make = std::function<void(const std::string& target, const std::string& staging)>;
  // Called before each rename the settling makes, with what it renames.
  using Swap = std::function<void(const std::string& target, const std::string& staging, const std::string& path)>;
  const auto swapOnce = [](std::string what, std::function<void(const std::string&, const std::string&)> act) {
    return [what, act, done = std::make_shared<bool>(false)](auto& t, auto& s, auto& path) {
      if (!*done && path == (what.starts_with("nowe/") ? s : t) + what) act(t, s), *done = true;
    };
  };
  const struct Row {
    const char* name;
    Make make;
    const char* notice;  // "" for a folder that goes without a word
    Swap swap = {};
  } rows[] = {
      {"nowe jako dowiązanie", [&](auto& t, auto& s) {
         std::filesystem::rename(s + "nowe", t + "../nowe_gdzie");
         std::filesystem::create_directory_symlink(t + outside, s + "nowe");
       }, "nie zostało wykonane"},
      {"stare jako dowiązanie", [&](auto& t, auto& s) {
         std::filesystem::rename(s + "stare", t + "../stare_gdzie");
         std::filesystem::create_directory_symlink(t + outside, s + "stare");
       }, "nie jest katalogiem tego programu"},
      {"plik w nowe dowiązaniem", [&](auto& t, auto& s) {
         std::filesystem::remove(s + "nowe/zz.txt");
         std::filesystem::create_symlink(t + outside + "zz.txt", s + "nowe/zz.txt");
       }, "nowe/zz.txt zmienił się"},
      {"Dokumenty dowiązaniem", [&](auto& t, auto&) {
         std::filesystem::rename(t + "Dokumenty", t + "../Dokumenty_gdzie");
         std::filesystem::create_directory_symlink(t + outside, t + "Dokumenty");
       }, "Dokumenty/d.pdf zmienił się"},
      {"dziennik dowiązaniem", [&](auto& t, auto& s) {
         std::filesystem::rename(s + "plan", t + "../plan");
         std::filesystem::create_symlink(t + "../plan", s + "plan");
       }, "nie jest plikiem tego programu"},
      {"folder dowiązaniem", [&](auto& t, auto& s) {
         std::filesystem::rename(s, t + outside + "folder");
         std::filesystem::create_directory_symlink(t + outside + "folder", s.substr(0, s.size() - 1));
       }, ""},
      {"plik zmieniony od tego czasu", [&](auto& t, auto&) { WriteFile(t + "zz.txt", "zmieniony"); },
       "zz.txt zmienił się"},
      {"ostatni plik planu zmieniony", [&](auto& t, auto&) { WriteFile(t + "Dokumenty/d.pdf", "zmieniony"); },
       "Dokumenty/d.pdf zmienił się"},
      {"plik zmieniony po przeniesieniu", [&](auto& t, auto&) { WriteFile(t + "q123456789.txt", "zmieniony"); },
       "zostało dokończone. Plik"},
      {"cofnij po pliku zmienionym", [&](auto& t, auto& s) {
         undo(s);
         WriteFile(t + "q123456789.txt", "zmieniony");
       }, "q123456789.txt zmienił się"},
      {"nazwa z ukośnikiem wstecznym", [&](auto&, auto& s) { reseal(s + "plan", "q123456789.txt", "..\\poza\\q1.txt"); },
       "nie można odczytać"},
      {"dziennik ucięty", [&](auto&, auto& s) {
         std::filesystem::resize_file(s + "plan", std::filesystem::file_size(s + "plan") - 5);
       }, "nie można odczytać"},
      {"nazwa w innej wielkości liter", [&](auto&, auto& s) {
         undo(s);
         reseal(s + "cofnij", "zz.txt", "ZZ.TXT");
       }, "ZZ.TXT zmienił się"},
      {"dziennik wcześniejszej wersji", [&](auto&, auto& s) {
         std::vector<uint8_t> frame = plat::BeginJournal({'R', 'U', 'V', 'U', 'N', 'Z', 'I', 'P'}, 0);
         plat::SealJournal(frame);
         WriteFile(s + "plan", std::string(frame.begin(), frame.end()));
       }, "wcześniejsza wersja"},
      {"plan obok trzymanego cofnij", [&](auto&, auto& s) {
         undo(s);
         WriteFile(s + "plan", "zabłąkany");
         held = ::open((s + "cofnij").c_str(), O_RDWR | O_CLOEXEC);
         struct flock fl {};
         fl.l_type = F_WRLCK;
         ASSERT_EQ(::fcntl(held, F_OFD_SETLK, &fl), 0);
       }, ""},
      {"dwa kroki jednego pliku", [&](auto&, auto& s) { reseal(s + "plan", "nowe/ab.txt", "nowe/zz.txt"); },
       "nie można odczytać"},
      {"cudzy plik jako dodany", [&](auto& t, auto& s) {
         undo(s);
         std::filesystem::rename(t + "ab.txt", t + "ab_z_kopii.txt");
         WriteFile(t + "ab.txt", "nowy ab");  // the user's, as the journal recorded the added one
       }, "ab.txt zmienił się"},
      {"obcy plik w stare", [&](auto&, auto& s) { WriteFile(s + "stare/obcy", "obcy"); }, "do sprawdzenia"},
      {"plik podmieniony przed przeniesieniem", [](auto&, auto&) {}, "zz.txt zmienił się",
       swapOnce("zz.txt", [](auto& t, auto&) {
         WriteFile(t + "../podmiana", "podmieniony");
         std::filesystem::rename(t + "../podmiana", t + "zz.txt");
       })},
      {"dowiązanie podmienione w nowe", [](auto&, auto&) {}, "zz.txt zmienił się",
       swapOnce("nowe/zz.txt", [&](auto& t, auto& s) {
         std::filesystem::remove(s + "nowe/zz.txt");
         std::filesystem::create_symlink(t + outside + "zz.txt", s + "nowe/zz.txt");
       })},
      {"plik podmieniony przed usunięciem ze stare", [](auto&, auto&) {}, "do sprawdzenia",
       [done = std::make_shared<bool>(false)](auto& t, auto& s, auto& path) {
         if (*done || !path.starts_with(s + "stare/")) return;
         *done = true;
         WriteFile(t + "../podmiana", "podmieniony");
         std::filesystem::rename(t + "../podmiana", path);
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir t;
    const std::string target = t.dir() + "dane/", archive = t.dir() + "k.zip";
    MakeArchive(archive, {{"zz.txt", "nowy"}, {"q123456789.txt", "nowy q"}, {"Dokumenty/d.pdf", "nowy d"},
                          {"ab.txt", "nowy ab"}});
    // The plan's files, old and new; ab.txt is one the restore adds.
    const std::map<std::string, std::string> old = {
        {"dane/zz.txt", "stary"}, {"dane/q123456789.txt", "stary q"}, {"dane/Dokumenty/d.pdf", "stary d"}};
    const std::map<std::string, std::string> fresh = {{"dane/zz.txt", "nowy"},
                                                      {"dane/q123456789.txt", "nowy q"},
                                                      {"dane/Dokumenty/d.pdf", "nowy d"},
                                                      {"dane/ab.txt", "nowy ab"}};
    for (const auto& [name, bytes] : old) WriteFile(t.dir() + name, bytes);
    for (const char* name : {"dane/wazne.txt", "poza/zz.txt", "poza/q1.txt", "poza/d.pdf"})
      WriteFile(t.dir() + name, "nie ruszać");
    const RunResult listed = RunAdminHelper({"restore", archive, target, "kill", "0"});
    const int kill = FirstChange(listed.out, "rename", target + "zz.txt");
    std::filesystem::remove(target + "ab.txt");
    for (const auto& [name, bytes] : old) WriteFile(t.dir() + name, bytes);  // back from the listing run
    ASSERT_EQ(RunAdminHelper({"restore", archive, target, "kill", std::to_string(kill)}).status, 3);
    std::string staging;
    for (const auto& e : std::filesystem::directory_iterator(target))
      if (e.path().filename().string().starts_with(".rozpakowanie_")) staging = e.path().string() + "/";
    ASSERT_FALSE(staging.empty());
    row.make(target, staging);
    // Every file outside the staging folders (and those set aside), by name.
    const auto files = [&] {
      std::map<std::string, std::string> out;
      for (auto it = std::filesystem::recursive_directory_iterator(t.dir()); it != decltype(it)(); ++it) {
        const std::string name = it->path().string().substr(t.dir().size());
        if (name.find("rozpakowanie_") != std::string::npos || name.find("folder") != std::string::npos ||
            name.find("gdzie") != std::string::npos) {
          it.disable_recursion_pending();
        } else if (!it->is_symlink() && it->is_regular_file()) {
          out[name] = ReadFile(it->path().string());
        }
      }
      return out;
    };
    const auto before = files();
    if (row.swap)
      plat::SetFileFaultHook([&](plat::FileOp op, const std::string& path, uint64_t) {
        if (op == plat::FileOp::Rename || op == plat::FileOp::Erase) row.swap(target, staging, path);
        return 0;
      });
    const TRecovery settled = RecoverInterruptedUnpacks(target);
    plat::SetFileFaultHook({});
    auto after = files();
    const std::string all = ::testing::PrintToString(settled.Notices);
    EXPECT_EQ(settled.Notices.empty(), !*row.notice) << all;
    EXPECT_NE(all.find(row.notice), std::string::npos) << all;
    // Each file as it was, or one recorded version put for another.
    const auto recorded = [&](const std::string& name, const std::string* bytes) {
      return fresh.count(name) && (bytes ? *bytes == fresh.at(name) || (old.count(name) && *bytes == old.at(name))
                                         : !old.count(name));
    };
    auto names = before;
    names.insert(after.begin(), after.end());
    bool allOld = true, allNew = true;
    for (const auto& [name, ignored] : names) {
      const std::string* b = before.count(name) ? &before.at(name) : nullptr;
      const std::string* a = after.count(name) ? &after.at(name) : nullptr;
      EXPECT_TRUE((a && b && *a == *b) || (!a && !b) || (recorded(name, a) && recorded(name, b)) ||
                  (row.swap && a && *a == "podmieniony"))
          << name;
      if (!fresh.count(name) || all.find(name.substr(5)) != std::string::npos) continue;
      allOld = allOld && (old.count(name) ? a && *a == old.at(name) : !a);
      allNew = allNew && a && *a == fresh.at(name);
    }
    // A settled plan leaves the files all old or all new, but for those
    // named as changed; a folder whose journal is unusable stays as it is.
    if (all.find("zostało dokończone.") != std::string::npos || all.find("wykonane") != std::string::npos) {
      EXPECT_TRUE(allOld || allNew) << all;
    }
    // No dead end: only a running unpacking keeps a new one out.
    EXPECT_EQ(settled.Settled, held < 0);
    TZipMaster19 zip;
    zip.ZipFileName = archive;
    const TRestoreResult again = RestoreArchive(zip, target);
    EXPECT_EQ(again.Ok, settled.Settled) << again.Error;
    for (const auto& [name, bytes] : fresh)
      EXPECT_EQ(ReadFile(t.dir() + name), settled.Settled ? bytes : before.count(name) ? before.at(name) : "") << name;
    if (held >= 0) {
      EXPECT_TRUE(FileExists(staging + "nowe/zz.txt"));
      ::close(std::exchange(held, -1));
    }
  }
}

}  // namespace

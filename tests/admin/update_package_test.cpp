// The update from a package file: real ".qzv" archives with dated entries,
// chosen through the file-open dialog, unpacked into the program tree.
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include <map>

#include "admin/ZipComponent.h"
#include "admin/archive_test_util.h"
#include "admin/update_window_test.h"

using namespace testutil;

namespace {

struct Entry {
  std::string name, bytes;
  std::time_t mtime;
};

// Installed executables are dated 1 March 2024 (local time), package
// entries the next day unless a test says otherwise.
const std::time_t kInstalled = Utc(2024, 3, 1, 9);
const std::time_t kNextDay = Utc(2024, 3, 2, 9);

class PackageUpdate : public UpdateTree {
 protected:
  void SetUp() override {
    UpdateTree::SetUp();
    for (const char* exe : {"Ruv_TM.exe", "Ruv_grvl.exe", "Ruv_SL.exe", "Ruv_D.exe", "Ruv_Kelpiro.exe"})
      PutFile(prog() + exe, std::string("old ") + exe, kInstalled);
    WriteFile(ruvIni(), "[ustawienia]\r\nmozliwosc_aktualizowania_z_pliku=Tak\r\n");
  }

  // A package built by the ZIP component from files with those dates.
  std::string Package(const std::vector<Entry>& entries, const std::string& name = "pakiet.qzv") {
    const std::string src = tree.dir() + "src/";
    std::filesystem::remove_all(src);
    TZipMaster19 zip;
    zip.RootDir = src;
    zip.ZipFileName = tree.dir() + name;
    std::filesystem::remove(zip.ZipFileName);  // Add would keep the entries of an earlier package
    for (const Entry& e : entries) {
      PutFile(src + e.name, e.bytes, e.mtime);
      zip.FSpecArgs.push_back(e.name);
    }
    EXPECT_TRUE(zip.Add());
    return zip.ZipFileName;
  }
  // The five family executables, newer, plus the given extras.
  std::vector<Entry> NewerFamily(std::vector<Entry> extra = {}) {
    std::vector<Entry> out = {{"RUV_TM.exe", "new TM", kNextDay},          {"Ruv_grvl.exe", "new grvl", kNextDay},
                              {"Ruv_SL.exe", "new SL", kNextDay},          {"Ruv_D.exe", "new D", kNextDay},
                              {"Ruv_Kelpiro.exe", "new Kelpiro", kNextDay}};
    out.insert(out.end(), extra.begin(), extra.end());
    return out;
  }

  bool Run(std::vector<ruvtest::Dialog> dialogs) {
    ruvtest::DialogScript script;
    for (auto& d : dialogs) script.Expect(std::move(d));
    return script.Run([&] { window().Button2Click(); });
  }

  // Every file of the program tree with its bytes and time: what "changes
  // nothing" compares.
  std::map<std::string, std::pair<std::string, std::time_t>> Snapshot() const {
    std::map<std::string, std::pair<std::string, std::time_t>> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(prog())) {
      if (!e.is_regular_file()) continue;
      std::time_t t = 0;
      plat::GetFileModTime(e.path().string(), t);
      out[e.path().string()] = {ReadFile(e.path().string()), t};
    }
    return out;
  }
  std::vector<std::string> Staged() const {
    std::vector<std::string> out;
    if (!plat::IsDirectory(staging())) return out;
    for (const auto& e : std::filesystem::directory_iterator(staging())) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }
};

// The file-open dialog, answered with `path` (or cancelled when empty).
ruvtest::Dialog Choose(const std::string& path, const std::string& startDir) {
  return ruvtest::Dialog().Answer([path, startDir](QWidget& w) {
    auto* fd = qobject_cast<QFileDialog*>(&w);
    ASSERT_NE(fd, nullptr);
    EXPECT_EQ(fd->objectName().toStdString(), "OpenDialog1");
    EXPECT_EQ(fd->directory().absolutePath().toStdString() + "/", startDir);
    EXPECT_EQ(fd->nameFilters(), QStringList{"pliki z aktualizacjami (*.qzv)"});
    EXPECT_EQ(fd->defaultSuffix().toStdString(), "qzv");
    if (path.empty()) {
      fd->reject();
      return;
    }
    // Typed into the name field, as a person would.
    auto* name = fd->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    name->setText(QString::fromStdString(path));
    QMetaObject::invokeMethod(fd, "accept");
  });
}

ruvtest::Dialog NotNewer() {
  return Answered("Informacja", "I",
                  "Wybrany plik nie zawiera nowszych wersji programów.\nAktualizacja nie zostanie wykonana.",
                  {"Zakończ"});
}

}  // namespace

TEST_F(PackageUpdate, NewerPackageIsUnpackedAndTheComparedProgramsDated) {
  // Dravon is installed in a directory of its own: it takes no part.
  Installed({"Tamir", "Gorvalo", "SL", "Dravon", "Morta"});
  std::filesystem::remove(prog() + "Ruv_D.exe");
  const std::string pkg = Package(NewerFamily({{"Ruv_Admin.exe", "admin", kNextDay},
                                               {"Inne.exe", "other", kNextDay},
                                               {"czytaj.txt", "notes", kNextDay}}));
  ASSERT_TRUE(Run({Choose(pkg, prog()),
                   Answered("Informacja", "I",
                            "Aktualizacja została zainstalowana - zostanie dokończona po uruchomieniu dowolnego z "
                            "programów.",
                            {"Dalej"})}));

  EXPECT_EQ(ReadFile(plat::ResolvePath(prog() + "Ruv_TM.exe")), "new TM");
  EXPECT_EQ(ReadFile(prog() + "Ruv_SL.exe"), "new SL");
  EXPECT_EQ(ReadFile(prog() + "Ruv_D.exe"), "new D");
  EXPECT_EQ(ReadFile(prog() + "czytaj.txt"), "notes");
  std::time_t t = 0;
  ASSERT_EQ(plat::GetFileModTime(prog() + "czytaj.txt", t), 0);
  EXPECT_EQ(t, kNextDay);  // the entries keep their dates
  for (const char* key : {"Tamir", "Gorvalo", "SL"}) EXPECT_EQ(Setting("aktualizacje", key), "02.03.2024") << key;
  for (const char* key : {"Dravon", "Kelpiro", "Morta"}) EXPECT_EQ(Setting("aktualizacje", key), "<none>") << key;
  EXPECT_EQ(Setting("aktualizacje", "wykonano"), "20.03.2024");
  // Only the executables nobody compares stay staged.
  EXPECT_EQ(Staged(), std::vector<std::string>{"Inne.exe"});
  // The report shows the new dates; the button is back.
  EXPECT_EQ(Memo().at(2), "      data wykonania ostatniej aktualizacji .... : 20.03.2024");
  EXPECT_EQ(Memo().at(6), "      \"RUV-Tamir\" .............................. : 02.03.2024");
  EXPECT_TRUE(window().Button2->isEnabled());
}

TEST_F(PackageUpdate, PackagesThatAreNotNewerChangeNothing) {
  auto without = [this](const std::string& name) {
    auto all = NewerFamily();
    all.erase(std::remove_if(all.begin(), all.end(), [&](const Entry& e) { return e.name == name; }), all.end());
    return all;
  };
  auto sameDayFor = [this](const std::string& name) {
    auto all = NewerFamily();
    for (Entry& e : all)
      if (e.name == name) e.mtime = kInstalled + 3600;  // later the same day
    return all;
  };
  std::vector<Entry> sameDates;
  for (const char* exe : {"Ruv_TM.exe", "Ruv_grvl.exe", "Ruv_SL.exe", "Ruv_D.exe", "Ruv_Kelpiro.exe"})
    sameDates.push_back({exe, "same", kInstalled + 7200});
  struct Case {
    const char* what;
    std::set<std::string> installed;
    std::vector<Entry> entries;
  } cases[] = {
      {"same dates", {"Tamir", "SL", "Kelpiro"}, sameDates},
      {"one of the same day", {"Tamir", "Gorvalo", "SL", "Dravon", "Kelpiro"}, sameDayFor("Ruv_D.exe")},
      {"lacks an installed executable", {"Tamir", "SL"}, without("Ruv_SL.exe")},
      {"no family program installed", {"Morta"}, NewerFamily()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Installed(c.installed);
    const std::string pkg = Package(c.entries);
    const auto before = Snapshot();
    ASSERT_TRUE(Run({Choose(pkg, prog()), NotNewer()}));
    EXPECT_EQ(Snapshot(), before);
    EXPECT_TRUE(Staged().empty());
    EXPECT_EQ(LastErrorCode(), 0);
    // The log stays for the user to read.
    const std::vector<std::string> log = {"Aktulizacja z pliku: " + pkg, "sprawdzanie dat wykonania programów ...",
                                          "zakończenie aktualizacji - nie zostanie zainstalowana"};
    EXPECT_EQ(Memo(), log);
    EXPECT_TRUE(window().Button2->isEnabled());
  }
}

TEST_F(PackageUpdate, EmptyDamagedAndRefusedPackagesChangeNothing) {
  Installed({"Tamir", "SL"});
  // An archive of nothing but its end record.
  const std::string empty = tree.dir() + "pusty.qzv";
  WriteFile(empty, std::string("PK\x05\x06", 4) + std::string(18, '\0'));
  const std::string garbage = tree.dir() + "smieci.qzv";
  WriteFile(garbage, "to nie jest archiwum ZIP, tylko tekst udający pakiet");
  // A package whose executables read well but whose large last entry is
  // damaged: the staging works, the unpacking into the program fails.
  std::string big;
  for (int i = 0; i < 20000; ++i) big += "linia " + std::to_string(i * 7919 % 10007) + "\n";
  const std::string damaged = Package(NewerFamily({{"zzz_dane.txt", big, kNextDay}}), "uszkodzony.qzv");
  std::string bytes = ReadFile(damaged);
  const size_t at = bytes.find("zzz_dane.txt") + 200;
  for (size_t i = at; i < at + 64; ++i) bytes[i] = char(bytes[i] ^ 0x5A);
  WriteFile(damaged, bytes);
  // Newer executables beside one entry the unpacking refuses.
  const auto withRefused = [&](const std::string& name, const std::string& addEntry) {
    const std::string pkg = Package(NewerFamily(), name);
    RunResult r = RunPython("import sys, zipfile\n"
                            "z = zipfile.ZipFile(sys.argv[1], 'a')\n" + addEntry + "z.close()\n",
                            {pkg});
    EXPECT_EQ(r.status, 0) << r.out;
    return pkg;
  };
  const std::string escaping = withRefused("ucieczka.qzv", "z.writestr('../x.txt', 'poza')\n");
  const std::string link = withRefused("dowiazanie.qzv",
                                       "i = zipfile.ZipInfo('link.txt'); i.create_system = 3\n"
                                       "i.external_attr = 0o120777 << 16\n"
                                       "z.writestr(i, '/etc/passwd')\n");

  struct Case {
    const char* what;
    std::string package;
    bool zipError;  // the unpacking's own words, else the message of a package without entries
  } cases[] = {{"no entries", empty, false},
               {"not an archive", garbage, false},
               {"damaged entry", damaged, true},
               {"escaping entry", escaping, true},
               {"link entry", link, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string iniBefore = ReadFile(ruvIni());
    const auto before = Snapshot();
    ruvtest::Dialog message =
        c.zipError ? ruvtest::Dialog().Caption("Błąd").Icon("H").Buttons({"Zakończ"}).Check([](QWidget& w) {
          const std::string text = ruvtest::Inspect(w).text;
          EXPECT_EQ(text.rfind("Błąd: ", 0), 0u) << text;
          EXPECT_GT(text.size(), std::string("Błąd: ").size()) << text;
        }).Click("button1")
                   : Answered("Błąd", "H",
                              "Problem z wybranym plikiem do aktualizacji (brak plików aktualizacyjnych) !",
                              {"Zakończ"});
    ASSERT_TRUE(Run({Choose(c.package, prog()), std::move(message)}));
    EXPECT_EQ(ReadFile(ruvIni()), iniBefore);
    EXPECT_EQ(Snapshot(), before);
    EXPECT_FALSE(FileExists(tree.dir() + "x.txt"));
    EXPECT_TRUE(Staged().empty());
    EXPECT_TRUE(window().Button2->isEnabled());
  }
}

TEST_F(PackageUpdate, CancelledChoiceChangesNothing) {
  Installed({"Tamir"});
  const auto before = Snapshot();
  ASSERT_TRUE(Run({Choose("", prog())}));
  EXPECT_EQ(Snapshot(), before);
  EXPECT_EQ(Memo().at(1), " " + std::string(65, '=') + " ");
  EXPECT_TRUE(window().Button2->isEnabled());
  EXPECT_FALSE(window().Button1->isEnabled());
}

TEST_F(PackageUpdate, ExecutablesLeftStagedBeforeDoNotPassForThePackages) {
  Installed({"Tamir", "SL"});
  PutFile(staging() + "RUV_SL.EXE", "left by an interrupted run", kNextDay);
  auto entries = NewerFamily();
  entries.erase(std::remove_if(entries.begin(), entries.end(), [](const Entry& e) { return e.name == "Ruv_SL.exe"; }),
                entries.end());
  const std::string pkg = Package(entries);
  ASSERT_TRUE(Run({Choose(pkg, prog()), NotNewer()}));
  EXPECT_EQ(ReadFile(prog() + "Ruv_SL.exe"), "old Ruv_SL.exe");
  EXPECT_TRUE(Staged().empty());
}

TEST_F(PackageUpdate, InstalledProgramsLivingElsewhereDoNotStopThePackage) {
  // Tamir and SL are installed in directories of their own: nothing here is
  // compared, so no installed program makes the package older.
  Installed({"Tamir", "SL"});
  for (const char* exe : {"Ruv_TM.exe", "Ruv_grvl.exe", "Ruv_SL.exe", "Ruv_D.exe", "Ruv_Kelpiro.exe"})
    std::filesystem::remove(prog() + exe);
  const std::string pkg = Package(NewerFamily());
  ASSERT_TRUE(Run({Choose(pkg, prog()),
                   Answered("Informacja", "I",
                            "Aktualizacja została zainstalowana - zostanie dokończona po uruchomieniu dowolnego z "
                            "programów.",
                            {"Dalej"})}));
  EXPECT_EQ(ReadFile(prog() + "Ruv_SL.exe"), "new SL");
  // No program was compared, so none gets a date; the run is recorded.
  for (const char* key : {"Tamir", "Gorvalo", "SL", "Dravon", "Kelpiro"})
    EXPECT_EQ(Setting("aktualizacje", key), "<none>") << key;
  EXPECT_EQ(Setting("aktualizacje", "wykonano"), "20.03.2024");
}

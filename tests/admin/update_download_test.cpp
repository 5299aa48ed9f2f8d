// The download and installation of the offered updates, end to end: the
// main window points its installation tables (written by python3-dbf in
// Windows-1250, as the sibling programs keep them) at the installed
// programs, the check against a real update server (pyftpdlib on 127.0.0.1)
// offers the newer archives, the download fetches, records and unpacks them.
#include <QPushButton>
#include <QTimer>

#include <map>

#include "admin/Adm_EkRuv.h"
#include "admin/archive_test_util.h"
#include "admin/update_window_test.h"
#include "tablebase/engineui.h"

using namespace testutil;

namespace {

// "Przedsiębiorstwo „Żółw” Sp. z o.o." in "Łódź"; Morta's "Zakład Usług
// Śląsk" in "Kraków"; in Windows-1250.
const std::string kName = "Przedsi\xea" "biorstwo \x84\xaf\xf3\xb3w\x94 Sp. z o.o.", kTown = "\xa3\xf3" "d\x9f";
const std::string kMortaName = "Zak\xb3" "ad Us\xb3ug \x8cl\xb9sk", kMortaTown = "Krak\xf3w";

class Download : public UpdateTree {
 protected:
  void SetUp() override {
    UpdateTree::SetUp();
    StartServer();
    // Morta's key missing: its directory is "Morta/" beside this one.
    WriteFile(prog() + "ruv_admin.ini", "[katalogi]\r\nruv_gorvalo=\r\n");
    WriteFile(ruvIni(), "[aktualizacje]\r\nTamir=01.03.2024\r\nSL=01.03.2024\r\nMorta=01.03.2024\r\n");
    Install(prog(), "Ruv_TM.exe", "ruv_inst.dbf", kName, kTown);
    Install(prog(), "Ruv_SL.exe", "", "", "");
    Install(morta(), "Morta.exe", "MRT_INST.DBF", kMortaName, kMortaTown);
  }
  void TearDown() override {
    main_.reset();
    UpdateTree::TearDown();
  }
  void StartServer(const FtpTestServer::Faults& faults = {}) {
    server_.reset();
    server_ = std::make_unique<FtpTestServer>(std::vector<FtpTestServer::Account>{{kUpdateUser, kUpdatePassword}},
                                              faults);
    ASSERT_TRUE(server_->Started());
    std::filesystem::create_directories(updates());
    PointAt(server_->Port());
  }
  std::string morta() const { return tree.dir() + "Morta/"; }
  std::string updates() const { return server_->Home(kUpdateUser) + "aktualizacje/"; }
  std::string serverLog() const { return updates() + "pobranie.txt"; }

  static void Install(const std::string& dir, const std::string& exe, const std::string& table,
                      const std::string& name, const std::string& town) {
    WriteFile(dir + exe, "exe");
    if (table.empty()) return;
    const RunResult r = RunPython(
        "import dbf, sys\n"
        "dec = lambda s: s.encode('utf-8', 'surrogateescape').decode('cp1250')\n"
        "t = dbf.Table(sys.argv[1], 'nazwa C(75); miasto C(30); nip C(13); data_inst D', codepage='cp1250')\n"
        "t.open(dbf.READ_WRITE)\n"
        "t.append((dec(sys.argv[2]), dec(sys.argv[3]), '525-000-00-00', None))\n"
        "t.close()\n",
        {dir + table, name, town});
    ASSERT_EQ(r.status, 0) << r.out;
  }
  // An update archive on the server written by Python's zipfile, dated.
  void ServerArchive(const std::string& name, const std::map<std::string, std::string>& entries, std::time_t mtime) {
    std::vector<std::string> args = {updates() + name};
    for (const auto& [entry, bytes] : entries) {
      WriteFile(tree.dir() + "src/" + entry, bytes);
      args.insert(args.end(), {tree.dir() + "src/" + entry, entry});
    }
    const RunResult r = RunPython(
        "import sys, zipfile\n"
        "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
        "    for i in range(2, len(sys.argv), 2): z.write(sys.argv[i], sys.argv[i + 1])\n",
        args);
    ASSERT_EQ(r.status, 0) << r.out;
    ASSERT_EQ(plat::SetFileModTime(updates() + name, mtime), 0);
  }
  void Archives() {
    ServerArchive("RuvTM.zip", {{"Ruv_TM.exe", "new TM"}, {"bin/pomoc.chm", "help"}}, Utc(2024, 3, 18, 23, 30));
    ServerArchive("RuvSL.zip", {{"Ruv_SL.exe", "new SL"}}, Utc(2024, 3, 15));
    ServerArchive("Mrt.zip", {{"Morta.exe", "new Morta"}, {"x/pobranie.txt", "x"}}, Utc(2024, 3, 12));
  }

  // The main window with the update window reading its buttons and tables.
  TEkr_Ruv& Start() {
    main_ = std::make_unique<TEkr_Ruv>();
    TEkr_Ruv* w = main_.get();
    window().SetInstalledQuery([w](const TSiblingProgram& p) { return w->ProgramButton(p)->isEnabled(); });
    window().SetInstallationTables(&w->Ruv_inst, &w->mrt_inst);
    return *main_;
  }
  // The check, the updates taken, and then the dialogs `after`.
  bool Update(std::vector<ruvtest::Dialog> after) {
    ruvtest::DialogScript script;
    script.Expect(Answered("Potwierdzenie", "?", "Dostępne są aktualizacje programów.",
                           {"Wykonaj_aktualizację", "Zakończ"}));
    for (auto& d : after) script.Expect(std::move(d));
    return script.Run([&] { window().Button1Click(); });
  }
  // The closing message, and the standard error box naming what failed;
  // each keeps the log before the report replaces it.
  ruvtest::Dialog Finished() {
    return Answered("Informacja", "I", "Aktualizacja została zakończona.", {"Dalej"}).Check([this](QWidget&) {
      log_ = Memo();
    });
  }
  ruvtest::Dialog Failure(const std::string& cause) {
    return ruvtest::Dialog().Icon("H").Check([this, cause](QWidget& w) {
      log_ = Memo();
      EXPECT_NE(ruvtest::Inspect(w).text.find(cause), std::string::npos) << ruvtest::Inspect(w).text;
    }).Click("OK");
  }
  // The lines appear in the log in this order, others between them.
  bool Logged(const std::vector<std::string>& lines) const {
    auto at = log_.begin();
    for (const std::string& l : lines) {
      if ((at = std::find(at, log_.end(), l)) == log_.end()) return false;
      ++at;
    }
    return true;
  }
  // However the download ended.
  void ExpectWindowRestored() {
    EXPECT_TRUE(window().BitBtn8->isEnabled());
    EXPECT_FALSE(window().ZipMaster191.DLL_Load());
    EXPECT_FALSE(window().IdFTP1.Connected());
    EXPECT_FALSE(Ui().BusyCursor());
    EXPECT_FALSE(main_->Ruv_inst.Active() || main_->mrt_inst.Active());
  }
  size_t Count(const std::string& command) const {
    const auto c = server_->Commands();
    return size_t(std::count(c.begin(), c.end(), command));
  }
  // With this run's clock, 13:00 in Warsaw.
  static std::string Record(const std::string& town, const std::string& name) {
    return "20.03.2024 , 13:00:00  - " + town + std::string(50 - town.size(), ' ') + " ;  " + name;
  }

  std::unique_ptr<FtpTestServer> server_;
  std::unique_ptr<TEkr_Ruv> main_;
  std::vector<std::string> log_;
};

}  // namespace

TEST_F(Download, NewerArchivesAreFetchedRecordedUnpackedFlatAndDated) {
  Archives();
  WriteFile(serverLog(), "earlier record");
  WriteFile(prog() + "RUVTM.ZIP", "left by an earlier failed run");
  WriteFile(ruvIni(), "[aktualizacje]\r\nTamir=01.03.2024\r\nSL=15.03.2024\r\nMorta=01.03.2024\r\n");
  TEkr_Ruv& main = Start();
  EXPECT_EQ(main.Ruv_inst.DbfFileName(), prog() + "ruv_inst.dbf");
  EXPECT_EQ(main.mrt_inst.DbfFileName(), morta() + "mrt_inst.dbf");
  ASSERT_TRUE(Update({Finished()}));

  // Morta's archive first; the family's record; SL's archive not newer.
  EXPECT_TRUE(Logged({"przygotowanie do pobierania aktualizacji programu \"MORTA-Velden\" ...",
                      "pobieranie rozpoczęte ...", "100 %", "gotowy ...",
                      "Pobieranie aktualizacji programu \"MORTA-Velden\" zakończone.", "",
                      "przygotowanie do pobierania aktualizacji programu \"RUV-Tamir\" ...",
                      "zapisywanie informacji o pobraniu aktualizacji ...",
                      "Pobieranie aktualizacji zostało zakończone.",
                      "Program \"RUV-Tamir\" został pomyślnie zaktualizowany.",
                      "Program \"MORTA-Velden\" został pomyślnie zaktualizowany."}))
      << ::testing::PrintToString(log_);
  EXPECT_EQ(ReadFile(serverLog()), "earlier record" + Record(kTown, kName));
  EXPECT_EQ(ReadFile(prog() + "Ruv_TM.exe") + ReadFile(prog() + "pomoc.chm") + ReadFile(morta() + "Morta.exe") +
                ReadFile(prog() + "Ruv_SL.exe"),
            "new TMhelpnew Mortaexe");
  for (const std::string& gone : {prog() + "RUVTM.ZIP", morta() + "Mrt.zip", morta() + "pobranie.txt",
                                  prog() + "pobranie.txt", prog() + "bin"})
    EXPECT_FALSE(FileExists(gone)) << gone;
  EXPECT_EQ(Setting("aktualizacje", "Tamir"), "18.03.2024");  // the archives' UTC dates
  EXPECT_EQ(Setting("aktualizacje", "Morta"), "12.03.2024");
  EXPECT_EQ(Setting("aktualizacje", "wykonano"), "20.03.2024");
  ExpectWindowRestored();
  EXPECT_TRUE(MemoHas("      data wykonania ostatniej aktualizacji .... : 20.03.2024"));
}

TEST_F(Download, TheRecordComesFromTheDownloadedProgramsTableUnlessSwitchedOff) {
  Archives();
  struct Case {
    std::string stored, switchOff, appended;
  } cases[] = {
      {"Tamir=20.03.2024\r\nSL=20.03.2024\r\nMorta=01.03.2024", "0", Record(kMortaTown, kMortaName)},
      {"Tamir=01.03.2024\r\nSL=20.03.2024\r\nMorta=20.03.2024", "", Record(kTown, kName)},
      {"Tamir=01.03.2024\r\nSL=20.03.2024\r\nMorta=01.03.2024", "1", ""},
  };
  Start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    std::filesystem::remove(serverLog());
    const size_t appends = Count("APPE");
    WriteFile(ruvIni(), "[ustawienia]\r\nczy_zapis_inf_o_aktualizacji=" + c.switchOff + "\r\n[aktualizacje]\r\n" +
                            c.stored + "\r\n");
    ASSERT_TRUE(Update({Finished()}));
    EXPECT_EQ(ReadFile(serverLog()), c.appended);
    EXPECT_EQ(Count("APPE"), appends + (c.appended.empty() ? 0 : 1));
    EXPECT_FALSE(FileExists(prog() + "pobranie.txt"));
  }
}

TEST_F(Download, AFailureBeforeTheUnpackingInstallsNothing) {
  // Tamir's transfer breaks off; or the server's log cannot be appended to
  // (a directory stands in its place), which the record's switch avoids.
  for (const bool dropped : {true, false}) {
    SCOPED_TRACE(dropped ? "dropped" : "record refused");
    FtpTestServer::Faults faults;
    if (dropped) faults.dropFile = "RuvTM.zip", faults.dropAfter = 100000;
    StartServer(faults);
    Archives();
    ServerArchive("RuvTM.zip", {{"Ruv_TM.exe", RandomBytes(400000, 7)}}, Utc(2024, 3, 18));
    if (!dropped) std::filesystem::create_directories(serverLog());
    WriteFile(prog() + "RuvTM.zip", "left by an earlier failed run");
    const std::string ini = ReadFile(ruvIni());
    Start();
    ASSERT_TRUE(Update({Failure(dropped ? "RuvTM.zip" : "pobranie.txt")}));
    EXPECT_EQ(ReadFile(prog() + "Ruv_TM.exe") + ReadFile(morta() + "Morta.exe"), "exeexe");
    EXPECT_EQ(ReadFile(prog() + "RuvTM.zip") == "left by an earlier failed run", dropped);
    EXPECT_EQ(ListDir(prog()).size(), dropped ? 6u : 8u);  // no temporary file left
    EXPECT_EQ(ReadFile(ruvIni()).substr(0, ini.size()), ini);  // only the check's date added
    EXPECT_EQ(Setting("aktualizacje", "wykonano"), "<none>");
    EXPECT_EQ(Logged({"pobieranie rozpoczęte ...", "Połączenie zostało zakończone.",
                      "Pobieranie aktualizacji programu \"RUV-Tamir\" zakończone."}),
              dropped);
    ExpectWindowRestored();
  }
  TIniFile(ruvIni()).WriteString("ustawienia", "czy_zapis_inf_o_aktualizacji", "1");
  ASSERT_TRUE(Update({Finished()}));
  EXPECT_EQ(Setting("aktualizacje", "Tamir"), "18.03.2024");
}

TEST_F(Download, AProgramIsDatedOnlyWhenItsWholeArchiveIsInPlace) {
  Archives();
  std::filesystem::create_directories(prog() + "pomoc.chm");  // Tamir's help file cannot be written
  Start();
  ASSERT_TRUE(Update({ruvtest::Dialog().Caption("Błąd").Icon("H").Check([](QWidget& w) {
                        EXPECT_NE(ruvtest::Inspect(w).text.find("pomoc.chm"), std::string::npos);
                      }).Click("button1"),
                      Finished()}));
  EXPECT_TRUE(Logged({"Program \"RUV-Tamir\" nie został zaktualizowany.",
                      "Program \"RUV-Selmira\" został pomyślnie zaktualizowany."}));
  // Nothing of Tamir's archive, all of the others'.
  EXPECT_EQ(ReadFile(prog() + "Ruv_TM.exe") + ReadFile(prog() + "Ruv_SL.exe") + ReadFile(morta() + "Morta.exe"),
            "exenew SLnew Morta");
  EXPECT_EQ(Setting("aktualizacje", "Tamir") + Setting("aktualizacje", "SL") + Setting("aktualizacje", "Morta"),
            "01.03.202415.03.202412.03.2024");
  EXPECT_FALSE(FileExists(prog() + "RuvTM.zip"));
  ExpectWindowRestored();
}

// While the server keeps the window waiting (a transfer that stops for a
// while, a wrong password answered late), the window's event loop goes on:
// the longest gap between the ticks of a 20 ms timer, measured all through
// the check and the download, stays short. A request to close the window
// meanwhile is ignored.
TEST_F(Download, TheWindowKeepsHandlingEventsWhileTheServerKeepsItWaiting) {
  const auto stall = [](const std::string& file, long after) {
    FtpTestServer::Faults f;
    f.stallFile = file;
    f.stallAfter = after;
    f.stallSeconds = 2;
    return f;
  };
  FtpTestServer::Faults lateRefusal;
  lateRefusal.failedLoginDelay = 2;
  // The server's log marks when it starts and stops keeping the window
  // waiting: timer ticks seen between the two are events handled during the
  // wait, however slowly the machine runs. A window that handles none while
  // it waits still gets a tick or two out of the events already queued when
  // the wait begins; one that keeps handling them gets a tick every 20 ms.
  struct Case {
    const char* what;
    FtpTestServer::Faults faults;
    bool refused;  // the check's login is refused; nothing is offered
    const char* waitStarts;
    const char* waitEnds;
  } cases[] = {
      {"a download stalls", stall("RuvTM.zip", 100000), false, "stalling RuvTM.zip", "going on with RuvTM.zip"},
      {"the record upload stalls", stall("pobranie.txt", 0), false, "stalling pobranie.txt",
       "going on with pobranie.txt"},
      {"a wrong password is answered late", lateRefusal, true, "<- PASS", "-> 530"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StartServer(c.faults);
    Archives();
    ServerArchive("RuvTM.zip", {{"Ruv_TM.exe", RandomBytes(400000, 7)}}, Utc(2024, 3, 18));
    WriteFile(ruvIni(), "[aktualizacje]\r\nTamir=01.03.2024\r\nSL=01.03.2024\r\nMorta=01.03.2024\r\n");
    if (c.refused) PointAt(server_->Port(), "zle_haslo");
    Start();

    window().show();
    int ticksWhileWaiting = 0;
    bool closeRequested = false;
    QTimer tick;
    tick.setInterval(20);
    QObject::connect(&tick, &QTimer::timeout, [&] {
      const std::string log = server_->Log();
      if (log.find(c.waitStarts) != std::string::npos && log.find(c.waitEnds) == std::string::npos) ++ticksWhileWaiting;
      if (!closeRequested) {
        closeRequested = true;
        window().close();
      }
    });
    tick.start();
    if (c.refused) {
      ruvtest::DialogScript script;
      script.Expect(Answered("Informacja", "I", "Brak możliwości połączenia - sprawdź ustawienia i spróbuj ponownie.",
                             {"Zakończ"}));
      ASSERT_TRUE(script.Run([&] { window().Button1Click(); }));
      EXPECT_TRUE(MemoHas("Nie ustanowiono połączenia."));
    } else {
      ASSERT_TRUE(Update({Finished()}));
      EXPECT_NE(server_->Log().find(c.waitEnds), std::string::npos);
      EXPECT_EQ(Setting("aktualizacje", "Tamir"), "18.03.2024");
    }
    tick.stop();
    EXPECT_GE(ticksWhileWaiting, 3);
    EXPECT_TRUE(closeRequested);
    EXPECT_TRUE(window().isVisible());
    window().hide();
  }
}

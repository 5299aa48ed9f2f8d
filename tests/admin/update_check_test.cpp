// The update window's report and its check against a real update server
// (pyftpdlib on 127.0.0.1, archives dated by their modification times).
#include <QPlainTextEdit>
#include <QPushButton>

#include <sstream>

#include "admin/update_window_test.h"

using namespace testutil;

namespace {

class UpdateCheck : public UpdateTree {
 protected:
  void SetUp() override {
    UpdateTree::SetUp();
    ASSERT_TRUE(server.Started());
    std::filesystem::create_directories(updates());
    PointAt(server.Port());
  }
  std::string updates() const { return server.Home(kUpdateUser) + "aktualizacje/"; }
  void Archive(const std::string& name, std::time_t mtime) { PutFile(updates() + name, "PK archive " + name, mtime); }

  bool Check(std::vector<ruvtest::Dialog> dialogs) {
    ruvtest::DialogScript script;
    for (auto& d : dialogs) script.Expect(std::move(d));
    return script.Run([&] { window().Button1Click(); });
  }
  // The arguments of the commands the server received, as "CMD arg".
  std::vector<std::string> Received(const std::string& command) const {
    std::vector<std::string> out;
    std::istringstream in(server.Log());
    std::string line;
    while (std::getline(in, line)) {
      const auto p = line.find(" <- " + command);
      if (p != std::string::npos) out.push_back(line.substr(p + 4));
    }
    return out;
  }

  FtpTestServer server{{FtpTestServer::Account{kUpdateUser, kUpdatePassword}}};
};

ruvtest::Dialog Offer(int button) {
  return Answered("Potwierdzenie", "?", "Dostępne są aktualizacje programów.", {"Wykonaj_aktualizację", "Zakończ"},
                  button);
}
ruvtest::Dialog NothingNewer() {
  return Answered("Informacja", "I", "Nie ma nowszych wersji programów.", {"Zakończ"});
}

const std::string kSeparator = " " + std::string(65, '=') + " ";

}  // namespace

TEST_F(UpdateCheck, OffersOnlyInstalledArchivesADayNewerByTheirUtcDate) {
  ASSERT_EQ(plat::LocalParts(Utc(2024, 3, 10, 23, 30)).day, 11) << "the local time zone must differ from UTC";
  Installed({"Tamir", "Gorvalo", "SL", "Dravon"});
  WriteFile(ruvIni(),
            "[aktualizacje]\r\nTamir=10.03.2024\r\nGorvalo=10.03.2024\r\nSL=01.01.2020\r\nDravon=20.03.2024\r\n"
            "Kelpiro=01.01.2020\r\n");
  Archive("RuvTM.zip", Utc(2024, 3, 11, 0, 30));   // the next day in UTC: newer
  Archive("RuvGRV.zip", Utc(2024, 3, 10, 23, 30));  // the 11th in Warsaw, but the 10th in UTC: not newer
  Archive("RuvDQN.zip", Utc(2024, 3, 19));          // older than the stored date
  Archive("RuvKelpiro.zip", Utc(2024, 3, 19));      // newer, but Kelpiro is not installed
  Archive("Mrt.zip", Utc(2024, 3, 19));             // Morta is not installed: never asked
  // RuvSL.zip is missing on the server: never newer.
  ASSERT_TRUE(Check({Offer(2)}));

  const std::array<bool, 6> newer{true, false, false, false, false, false};
  EXPECT_EQ(window().Newer, newer);
  EXPECT_EQ(window().ServerDate[0], "11.03.2024");
  EXPECT_EQ(window().ServerDate[1], "10.03.2024");
  EXPECT_EQ(window().ServerDate[2], "30.12.1899");  // the zero date-time of an undated file
  EXPECT_EQ(window().ServerDate[3], "19.03.2024");
  EXPECT_EQ(window().ServerDate[4], "19.03.2024");
  EXPECT_EQ(window().ServerDate[5], "");
  EXPECT_EQ(Setting("ustawienia", "proponuj_aktualizacje_kiedy"), "20.03.2024");
  // Declined: the stored dates stay, the connection is closed, the report is back.
  EXPECT_EQ(Setting("aktualizacje", "Tamir"), "10.03.2024");
  EXPECT_EQ(Received("QUIT").size(), 1u);
  EXPECT_EQ(Memo().at(1), kSeparator);
  EXPECT_TRUE(window().Button1->isEnabled());
}

TEST_F(UpdateCheck, NothingNewerSaysSo) {
  Installed({"Tamir", "Morta"});
  WriteFile(ruvIni(), "[aktualizacje]\r\nTamir=11.03.2024\r\nMorta=19.03.2024\r\n");
  Archive("RuvTM.zip", Utc(2024, 3, 11));
  Archive("Mrt.zip", Utc(2024, 3, 19, 23, 59));
  ASSERT_TRUE(Check({NothingNewer()}));
  EXPECT_EQ(window().Newer, (std::array<bool, 6>{}));
  EXPECT_EQ(window().ServerDate[5], "19.03.2024");
  EXPECT_TRUE(window().Button1->isEnabled());
  EXPECT_EQ(Memo().at(1), kSeparator);
}

TEST_F(UpdateCheck, UnwritableSettingsFileDoesNotStopTheCheck) {
  Installed({"Tamir"});
  // A name that cannot be written as a file: every read gives its default.
  std::filesystem::create_directory(ruvIni());
  Archive("RuvTM.zip", Utc(2024, 3, 1));
  ASSERT_TRUE(Check({Offer(2)}));
  EXPECT_EQ(Received("MDTM").size(), 5u);  // the family archives were dated
  EXPECT_TRUE(window().Newer[0]);
  EXPECT_TRUE(std::filesystem::is_directory(ruvIni()));
}

TEST_F(UpdateCheck, EachGroupEntersTheDirectoryAndDatesItsArchives) {
  const std::vector<std::string> family = {"MDTM RuvSL.zip", "MDTM RuvTM.zip", "MDTM RuvDQN.zip",
                                           "MDTM RuvKelpiro.zip", "MDTM RuvGRV.zip"};
  std::vector<std::string> both = {"MDTM Mrt.zip"};
  both.insert(both.end(), family.begin(), family.end());
  struct Case {
    std::set<std::string> installed;
    std::string trybFtp;  // "" = key missing
    std::vector<std::string> dated;
    bool passive;
  } cases[] = {
      {{"Morta"}, "", {"MDTM Mrt.zip"}, false},
      {{"Dravon"}, "A", family, false},
      {{"Morta", "Kelpiro"}, "a", both, true},
      {{"SL"}, "P", family, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(*c.installed.begin() + " tryb_ftp=" + c.trybFtp);
    const size_t cwdBefore = Received("CWD").size(), mdtmBefore = Received("MDTM").size();
    Installed(c.installed);
    WriteFile(ruvIni(), c.trybFtp.empty() ? "" : "[ustawienia]\r\ntryb_ftp=" + c.trybFtp + "\r\n");
    ASSERT_TRUE(Check({NothingNewer()}));
    // The second group's change to the same directory may be left out by
    // the client when the connection is already there.
    EXPECT_GT(Received("CWD").size(), cwdBefore);
    const auto mdtm = Received("MDTM");
    EXPECT_EQ(std::vector<std::string>(mdtm.begin() + long(mdtmBefore), mdtm.end()), c.dated);
    EXPECT_EQ(window().IdFTP1.Passive, c.passive);
  }
}

TEST_F(UpdateCheck, InvalidStoredDatesCompareAsTheDefaultDate) {
  // The engine would stop the program on these; they count as 15.10.2005.
  Installed({"Tamir", "Gorvalo", "SL"});
  WriteFile(ruvIni(), "[aktualizacje]\r\nTamir=32.13.2024\r\nGorvalo=abc\r\nSL=\r\n");
  Archive("RuvTM.zip", Utc(2005, 10, 16));
  Archive("RuvGRV.zip", Utc(2005, 10, 15));
  Archive("RuvSL.zip", Utc(2024, 1, 1));
  ASSERT_TRUE(Check({Offer(2)}));
  const std::array<bool, 6> newer{true, false, true, false, false, false};
  EXPECT_EQ(window().Newer, newer);
  EXPECT_EQ(LastErrorCode(), 0);
}

TEST_F(UpdateCheck, FailuresAreReportedAndTheCheckDateStillMoves) {
  RefusingPort refusing;
  struct Case {
    const char* what;
    int port;
    std::string password;
    bool withDir;
    std::string logLine, message;
  } cases[] = {
      {"wrong password", server.Port(), "zle", true, "Nie ustanowiono połączenia.",
       "Brak możliwości połączenia - sprawdź ustawienia i spróbuj ponownie."},
      {"refused", refusing.Port(), kUpdatePassword, true, "Nie ustanowiono połączenia.",
       "Brak możliwości połączenia - sprawdź ustawienia i spróbuj ponownie."},
      {"no /aktualizacje", server.Port(), kUpdatePassword, false, "Brak katalogu na serwerze ftp.",
       "Błąd połączenia - brak katalogu (/aktualizacje)."},
  };
  Installed({"Kelpiro"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.withDir) std::filesystem::remove_all(updates());
    WriteFile(ruvIni(), "[ustawienia]\r\nproponuj_aktualizacje_kiedy=01.01.2024\r\n");
    PointAt(c.port, c.password);
    window().FormShow();
    ASSERT_TRUE(Check({Answered("Informacja", "I", c.message, {"Zakończ"})}));
    EXPECT_EQ(Setting("ustawienia", "proponuj_aktualizacje_kiedy"), "20.03.2024");
    // The log stays for the user to read; the check stays off until the
    // window is shown again.
    EXPECT_TRUE(MemoHas(c.logLine));
    EXPECT_TRUE(MemoHas("łączenie ..."));
    EXPECT_FALSE(window().Button1->isEnabled());
    EXPECT_FALSE(window().IdFTP1.Connected());
  }
  const auto log = Memo();
  EXPECT_NE(std::find(log.begin(), log.end(), "sprawdzanie dostępności aktualizacji ..."), log.end());
  EXPECT_EQ(log.back(), "");  // "Rozłączony." and its empty line after the message
  EXPECT_EQ(log.at(log.size() - 2), "Rozłączony.");
}

TEST_F(UpdateCheck, ReportListsInstalledProgramsWithDatesInOneColumn) {
  Installed({"Tamir", "Dravon", "Morta"});
  WriteFile(ruvIni(),
            "[aktualizacje]\r\nTamir=01.02.2024\r\nMorta=03.04.2023\r\nwykonano=05.06.2024\r\nSL=07.08.2022\r\n");
  window().show();
  const std::vector<std::string> expected = {
      "",
      kSeparator,
      "      data wykonania ostatniej aktualizacji .... : 05.06.2024",
      kSeparator,
      "            aktualizowane programy i daty ich wykonania",
      " ",
      "      \"RUV-Tamir\" .............................. : 01.02.2024",
      "      \"RUV-Dravon Pelk\" ........................ : brak danych",
      "      \"MORTA-Velden\" ........................... : 03.04.2023",
      kSeparator,
  };
  EXPECT_EQ(Memo(), expected);
  for (size_t i = 6; i < 9; ++i) EXPECT_EQ(Memo()[i].find(" : "), 48u) << Memo()[i];
  EXPECT_TRUE(window().Memo1->font().fixedPitch());
  window().hide();

  WriteFile(ruvIni(), "");
  window().FormShow();
  EXPECT_EQ(Memo().at(2), "      data wykonania ostatniej aktualizacji .... : brak danych");
}

TEST_F(UpdateCheck, PackageUpdateAndInternetCheckAreNeverBothOn) {
  Installed({"SL"});
  struct Case {
    std::string value;
    bool check, package;
  } cases[] = {{"Tak", false, true}, {"tak", true, false}, {"Nie", true, false}, {"", true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    WriteFile(ruvIni(), c.value.empty() ? "" : "[ustawienia]\r\nmozliwosc_aktualizowania_z_pliku=" + c.value + "\r\n");
    window().show();
    EXPECT_EQ(window().Button1->isEnabled(), c.check);
    EXPECT_EQ(window().Button2->isEnabled(), c.package);
    window().hide();
  }
}

TEST_F(UpdateCheck, StatusAndProgressLines) {
  window().Memo1->clear();
  for (TIdStatus s : {hsResolving, hsConnecting, hsConnected, hsStatusText, ftpTransfer, ftpReady, ftpAborted,
                      hsDisconnecting, hsDisconnected})
    window().IdFTP1Status(s);
  const std::vector<std::string> lines = {"tworzenie połączenia ...", "łączenie ...",
                                          "Połączony.",               "połączenie generuje komunikat ...",
                                          "pobieranie rozpoczęte ...", "gotowy ...",
                                          "Połączenie zostało zakończone.", "rozłączanie ...",
                                          "Rozłączony.",              ""};
  EXPECT_EQ(Memo(), lines);

  // The percentage replaces the line below the anchor, in place.
  struct Case {
    int64_t size, count;
    TWorkMode mode;
    std::string shown;
  } cases[] = {
      {200, 90, wmRead, " 45 %"},    {200, 1, wmRead, "  1 %"},       {200, 200, wmRead, "100 %"},
      {3, 2, wmRead, " 67 %"},       {-1, 12345, wmRead, "12345 B"},  {0, 77, wmRead, "77 B"},
      {200, 50, wmWrite, "77 B"},  // uploads are not shown
  };
  window().ProgressLine = 4;
  for (const Case& c : cases) {
    window().TransferSize = c.size;
    window().IdFTP1Work(c.mode, c.count);
    EXPECT_EQ(Memo().at(5), c.shown);
    EXPECT_EQ(Memo().size(), lines.size());
  }
  // Below the last line is the open line a new line would take: the
  // percentage is written there; further down there is no line.
  window().ProgressLine = 10;
  window().IdFTP1Work(wmRead, 1);
  EXPECT_EQ(Memo().size(), lines.size());
  window().ProgressLine = 9;
  window().IdFTP1Work(wmRead, 1);
  EXPECT_EQ(Memo().size(), lines.size() + 1);
  EXPECT_EQ(Memo().back(), "  1 %");
}

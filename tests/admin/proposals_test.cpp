// The update and backup proposals' decisions, read from real settings
// files with a fixed clock.
#include "admin/Adm_EkRuv_proposals.h"
#include "admin/update_window_test.h"

using namespace testutil;

namespace {

using Proposals = UpdateTree;

std::string ReadAll(const std::string& path) { return ReadFile(path); }

}  // namespace

TEST_F(Proposals, FirstRunDefaultsAreWrittenOnce) {
  // Values already there are replaced; other keys stay.
  WriteFile(ruvIni(), "[ustawienia]\r\nproponuj_kopie=Nie\r\ntryb_ftp=P\r\nkatalog_kopii=/kopie/\r\n");
  WriteFirstRunDefaults();
  const TIniFile ruv(ruvIni());
  const std::pair<const char*, const char*> expected[] = {
      {"proponuj_aktualizacje", "Tak"}, {"proponuj_aktualizacje_co_ile", "30"},
      {"czy_zapis_inf_o_aktualizacji", "0"}, {"mozliwosc_aktualizowania_z_pliku", "Nie"},
      {"proponuj_kopie", "Tak"}, {"proponuj_kopie_co_ile", "5"},
      {"proponuj_kopie_bez_danych_osobowych", "0"}, {"katalog_kopii", ""},
      {"tryb_ftp", "P"},
  };
  for (const auto& [key, value] : expected) EXPECT_EQ(ruv.ReadString("ustawienia", key, "<none>"), value) << key;
  EXPECT_EQ(ruv.ReadString("opcje", "log_max_linii", "<none>"), "10000");
  EXPECT_EQ(TIniFile(prog() + "ruv_admin.ini").ReadString("ustawienia", "czy_pierwszy", "<none>"), "Nie");

  // Once: a later change survives the next start.
  TIniFile(ruvIni()).WriteString("ustawienia", "proponuj_kopie", "Nie");
  const std::string before = ReadAll(ruvIni());
  WriteFirstRunDefaults();
  EXPECT_EQ(ReadAll(ruvIni()), before);
}

TEST_F(Proposals, FirstRunDefaultsWaitForAWritableFile) {
  // A directory where the file should be: no one, root included, writes it.
  std::filesystem::create_directories(ruvIni());
  WriteFirstRunDefaults();
  EXPECT_FALSE(FileExists(prog() + "ruv_admin.ini"));  // czy_pierwszy stays "Tak"
}

TEST_F(Proposals, UpdateCheckIsDueAfterTheSetNumberOfDays) {
  // Today is 20.03.2024.
  struct Case {
    std::string settings;
    bool due;
  } cases[] = {
      {"proponuj_aktualizacje_kiedy=18.02.2024", true},   // 31 days
      {"proponuj_aktualizacje_kiedy=19.02.2024", false},  // 30 days
      {"proponuj_aktualizacje_kiedy=10.03.2024\r\nproponuj_aktualizacje_co_ile=9", true},
      {"proponuj_aktualizacje_kiedy=10.03.2024\r\nproponuj_aktualizacje_co_ile=10", false},
      {"", true},  // 15.10.2006 when never checked
      {"proponuj_aktualizacje_kiedy=31.02.2024", true},  // no valid date: long ago, and no halt
      {"proponuj_aktualizacje_kiedy=wczoraj", true},
      {"proponuj_aktualizacje=Nie\r\nproponuj_aktualizacje_kiedy=01.01.2000", false},
      {"proponuj_aktualizacje=tak\r\nproponuj_aktualizacje_kiedy=01.01.2000", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings);
    WriteFile(ruvIni(), "[ustawienia]\r\n" + c.settings + "\r\n");
    EXPECT_EQ(UpdateCheckDue(), c.due);
    EXPECT_EQ(LastErrorCode(), 0);
  }
}

TEST_F(Proposals, BackupIsProposedOrForcedWhenDue) {
  struct Case {
    std::string settings;
    TBackupProposal expected;
  } cases[] = {
      {"proponuj_kopie_kiedy=09.03.2024", TBackupProposal::Ask},   // 11 days, 10 when the key is missing
      {"proponuj_kopie_kiedy=10.03.2024", TBackupProposal::None},  // 10 days
      {"proponuj_kopie_kiedy=14.03.2024\r\nproponuj_kopie_co_ile=5", TBackupProposal::Ask},
      {"", TBackupProposal::Ask},
      {"wymuszaj_kopie=Tak", TBackupProposal::Force},
      {"wymuszaj_kopie=tak", TBackupProposal::Force},  // anything but "Nie" forces
      {"wymuszaj_kopie=Nie", TBackupProposal::Ask},
      {"wymuszaj_kopie=Tak\r\nproponuj_kopie_kiedy=19.03.2024", TBackupProposal::None},
      {"proponuj_kopie_kiedy=00.00.0000", TBackupProposal::Ask},  // no valid date: due, and no halt
      {"proponuj_kopie=Nie\r\nwymuszaj_kopie=Tak", TBackupProposal::None},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings);
    WriteFile(ruvIni(), "[ustawienia]\r\n" + c.settings + "\r\n");
    EXPECT_EQ(BackupProposalDue(), c.expected);
    EXPECT_EQ(LastErrorCode(), 0);
  }

  WriteFile(ruvIni(), "[ustawienia]\r\nwymuszaj_kopie=Tak\r\nproponuj_kopie=Tak\r\n");
  SwitchBackupProposalsOff();
  EXPECT_EQ(Setting("ustawienia", "proponuj_kopie"), "Nie");
  EXPECT_EQ(Setting("ustawienia", "wymuszaj_kopie"), "Nie");
  EXPECT_EQ(BackupProposalDue(), TBackupProposal::None);
}

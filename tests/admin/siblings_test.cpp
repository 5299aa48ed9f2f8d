#include "admin/Siblings.h"

#include <gtest/gtest.h>

#include "admin_test_util.h"

namespace {

using testutil::TempDir;
using testutil::WriteFile;

class ProgramDirScope {
 public:
  explicit ProgramDirScope(const std::string& dir) { SetProgramDir(dir); }
  ~ProgramDirScope() { SetProgramDir(""); }
};

TEST(Siblings, ProgramDirIsTheExecutablesDirectory) {
  std::string exe = ProgramFile();
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(ProgramDir(), exe.substr(0, exe.rfind('/') + 1));
  {
    ProgramDirScope scope("/opt/ruv");
    EXPECT_EQ(ProgramDir(), "/opt/ruv/");
    EXPECT_EQ(OpenIni(TIniKind::Admin).FileName(), "/opt/ruv/ruv_admin.ini");
    EXPECT_EQ(OpenIni(TIniKind::Ruv).FileName(), "/opt/ruv/ruv.ini");
  }
  EXPECT_EQ(ProgramDir(), exe.substr(0, exe.rfind('/') + 1));
}

TEST(Siblings, MortaLivesBesideTheProgramDirectory) {
  struct Case {
    const char* programDir;
    const char* morta;
  } cases[] = {
      {"/opt/ruv/", "/opt/Morta/"},
      {"/opt/velmo/programy/", "/opt/velmo/Morta/"},
      {"/ab/", "/Morta/"},
      {"/", "/Morta/"},
  };
  for (const auto& c : cases) {
    ProgramDirScope scope(c.programDir);
    EXPECT_EQ(DefaultProgramDir(kMorta), c.morta) << c.programDir;
    for (const auto& p : kSiblings) {
      if (p.Family) {
        EXPECT_EQ(DefaultProgramDir(p), c.programDir) << p.Name;
      }
    }
  }
}

TEST(Siblings, DirectorySettingsAreTrimmedAndDefaultOnlyWhenMissing) {
  TempDir t;
  ProgramDirScope scope(t.dir() + "ruv/");
  WriteFile(t / "ruv/ruv_admin.ini",
            "[katalogi]\r\n"
            "ruv_tamir=   /dane/tamir/  \r\n"
            "ruv_gorvalo=\r\n"
            "ruv_sl=\t\x01/dane/sl/\x02\r\n"
            "morta= \r\n");
  TIniFile ini = OpenIni(TIniKind::Admin);
  EXPECT_EQ(ReadProgramDir(ini, kTamir), "/dane/tamir/");
  EXPECT_EQ(ReadProgramDir(ini, kGorvalo), "");
  EXPECT_EQ(ReadProgramDir(ini, kSL), "/dane/sl/");
  EXPECT_EQ(ReadProgramDir(ini, kDravon), t.dir() + "ruv/");
  EXPECT_EQ(ReadProgramDir(ini, kMorta), "");
  WriteFile(t / "ruv/ruv_admin.ini", "[katalogi]\r\n");
  EXPECT_EQ(ReadProgramDir(ini, kMorta), t.dir() + "Morta/");
}

TEST(Siblings, DirectorySettingsBecomePaths) {
  EXPECT_EQ(DirPath(""), "");
  EXPECT_EQ(DirPath("/dane/ruv"), "/dane/ruv/");
  EXPECT_EQ(DirPath("/dane/ruv/"), "/dane/ruv/");
  EXPECT_EQ(DirPath("\\dane\\ruv\\"), "/dane/ruv/");
}

TEST(Siblings, ReadersDisagreeingOnADefaultHaveAnEntryEach) {
  TempDir t;
  ProgramDirScope scope(t.dir());
  TIniFile ruv = OpenIni(TIniKind::Ruv);
  EXPECT_EQ(ReadSettingInt(ruv, Keys::ProponujKopieCoIle), 10);
  EXPECT_EQ(ReadSettingInt(ruv, Keys::ProponujKopieCoIleShown), 5);
  EXPECT_EQ(ReadSettingInt(ruv, Keys::UsuwacStarszeKopieIleDni), 3650);
  EXPECT_FALSE(ReadSettingBool(ruv, Keys::CzyZapisInfOAktualizacji));
  EXPECT_EQ(ReadSetting(ruv, Keys::TrybFtp), "A");
  WriteSetting(ruv, Keys::ProponujKopieCoIle, "7");
  EXPECT_EQ(ReadSettingInt(ruv, Keys::ProponujKopieCoIleShown), 7);
}

}  // namespace

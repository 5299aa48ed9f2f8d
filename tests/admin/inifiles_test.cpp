#include "admin/IniFiles.h"

#include <gtest/gtest.h>
#include <sys/file.h>

#include <filesystem>

#include "admin_test_util.h"
#include "platform/pfile.h"

namespace {

using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

// "Łódź" and "Kraków" in Windows-1250.
const std::string kLodz1250 = "\xA3\xF3" "d\x9F";
const std::string kKrakow1250 = "Krak\xF3w";

TEST(IniFile, ReadsWithWindowsRules) {
  TempDir t;
  WriteFile(t / "ruv.ini",
            "; comment=ignored\r\n"
            "[Ustawienia]\r\n"
            "  Tryb_FTP  =   P  \r\n"
            "miasto=" + kLodz1250 + "\r\n"
            "cytat=\"  z odstepami  \"\r\n"
            "apostrof='x'\r\n"
            "pusty=\r\n"
            "bez_znaku_rownosci\r\n"
            ";tryb_ftp=X\r\n"
            "tab=\tA\t\r\n"
            "[ustawienia]\r\n"
            "tryb_ftp=drugi\r\n"
            "[katalogi]\r\n"
            "ruv_tamir=/opt/ruv/\r\n");
  TIniFile ini(t / "ruv.ini");
  struct Case {
    const char* section;
    const char* key;
    std::string expected;
  } cases[] = {
      {"ustawienia", "tryb_ftp", "P"},            // names in any case, value trimmed
      {"USTAWIENIA", "TRYB_FTP", "P"},            // the first of two sections wins
      {"ustawienia", "miasto", "Łódź"},            // Windows-1250 read as UTF-8
      {"ustawienia", "cytat", "  z odstepami  "},  // enclosing quotes removed
      {"ustawienia", "apostrof", "x"},
      {"ustawienia", "pusty", ""},
      {"ustawienia", "tab", "A"},
      {"ustawienia", "bez_znaku_rownosci", "def"},
      {"ustawienia", "; comment", "def"},
      {"katalogi", "ruv_tamir", "/opt/ruv/"},
      {"katalogi", "brak", "def"},
      {"brak", "ruv_tamir", "def"},
  };
  for (const auto& c : cases) EXPECT_EQ(ini.ReadString(c.section, c.key, "def"), c.expected) << c.key;
}

TEST(IniFile, MissingFileGivesDefaults) {
  TempDir t;
  TIniFile ini(t / "ruv.ini");
  EXPECT_EQ(ini.ReadString("a", "b", "x"), "x");
  EXPECT_EQ(ini.ReadInteger("a", "b", 7), 7);
  EXPECT_TRUE(ini.ReadBool("a", "b", true));
  EXPECT_FALSE(ini.SectionExists("a"));
  EXPECT_FALSE(testutil::FileExists(t / "ruv.ini"));
}

TEST(IniFile, LongValueIsCutToTheReadBuffer) {
  TempDir t;
  WriteFile(t / "a.ini", "[s]\r\nk=" + std::string(3000, 'x') + "\r\n");
  EXPECT_EQ(TIniFile(t / "a.ini").ReadString("s", "k", "").size(), 2047u);
}

TEST(IniFile, IntegersAndBooleans) {
  struct Case {
    const char* stored;
    int32_t integer;  // read with default -99
    bool boolean;     // read with default true
  } cases[] = {
      {"12", 12, true},
      {"  12  ", 12, true},
      {"0", 0, false},
      {"-5", -5, true},
      {"+7", 7, true},
      {"0x1F", 31, true},
      {"0X1f", 31, true},
      {"$10", 16, true},
      {"0xFFFFFFFF", -1, true},
      {"-2147483648", INT32_MIN, true},
      {"2147483647", INT32_MAX, true},
      {"2147483648", -99, true},
      {"12a", -99, true},
      {"1.5", -99, true},
      {"1 2", -99, true},
      {"", -99, true},
      {"0x", -99, true},
      {"Tak", -99, true},
  };
  TempDir t;
  for (const auto& c : cases) {
    WriteFile(t / "a.ini", std::string("[s]\r\nk=") + c.stored + "\r\n");
    TIniFile ini(t / "a.ini");
    EXPECT_EQ(ini.ReadInteger("s", "k", -99), c.integer) << c.stored;
    EXPECT_EQ(ini.ReadBool("s", "k", true), c.boolean) << c.stored;
  }
  WriteFile(t / "a.ini", "[s]\r\nk=abc\r\n");
  EXPECT_FALSE(TIniFile(t / "a.ini").ReadBool("s", "k", false));
}

TEST(IniFile, WriteKeepsEveryOtherLineInPlace) {
  TempDir t;
  const std::string head =
      "; plik wsp\xF3lny\r\n"
      "[ustawienia]\r\n"
      "  tryb_ftp = A ;stary\r\n"
      "miasto=" + kKrakow1250 + "\r\n"
      "obcy_klucz=  zostaje  \r\n"
      "\r\n"
      "[opcje]\r\n"
      "log_max_linii=10000\r\n"
      "\r\n"
      "[obca_sekcja]\r\n"
      "x=" + kLodz1250 + "\r\n";
  WriteFile(t / "ruv.ini", head);
  TIniFile ini(t / "ruv.ini");

  // An existing key: its line changes, keeping what stands before "=".
  ini.WriteString("USTAWIENIA", "Tryb_Ftp", "P");
  std::string expected = head;
  const std::string oldLine = "  tryb_ftp = A ;stary";
  expected.replace(expected.find(oldLine), oldLine.size(), "  tryb_ftp =P");
  EXPECT_EQ(ReadFile(t / "ruv.ini"), expected);

  // A new key: after the section's last line, before its blank line.
  ini.WriteInteger("ustawienia", "proponuj_kopie_co_ile", 5);
  expected.insert(expected.find("\r\n\r\n[opcje]") + 2, "proponuj_kopie_co_ile=5\r\n");
  EXPECT_EQ(ReadFile(t / "ruv.ini"), expected);

  // A new section: at the end.
  ini.WriteBool("katalogi", "czy", true);
  expected += "[katalogi]\r\nczy=1\r\n";
  EXPECT_EQ(ReadFile(t / "ruv.ini"), expected);

  ini.WriteBool("katalogi", "czy", false);
  EXPECT_EQ(ini.ReadString("katalogi", "czy", ""), "0");
}

TEST(IniFile, PolishTextIsWindows1250OnDisk) {
  TempDir t;
  TIniFile ini(t / "ruv_admin.ini");
  ini.WriteString("katalogi", "morta", "/home/Łucja/Morta/");
  EXPECT_EQ(ReadFile(t / "ruv_admin.ini"), "[katalogi]\r\nmorta=/home/\xA3ucja/Morta/\r\n");
  EXPECT_EQ(ini.ReadString("katalogi", "morta", ""), "/home/Łucja/Morta/");
}

TEST(IniFile, LineEndsFollowTheFile) {
  struct Case {
    std::string before, after;
  } cases[] = {
      {"[s]\na=1\n", "[s]\na=1\nb=2\n"},
      {"[s]\r\na=1", "[s]\r\na=1\r\nb=2\r\n"},
      {"", "[s]\r\nb=2\r\n"},
      {"[t]\nx=1", "[t]\nx=1\n[s]\nb=2\n"},
      // Mixed line ends: the new line must not join the blank line after it.
      {"[s]\rk=1\n\n[t]\r\n", "[s]\rk=1\nb=2\n\n[t]\r\n"},
  };
  TempDir t;
  for (const auto& c : cases) {
    WriteFile(t / "a.ini", c.before);
    TIniFile(t / "a.ini").WriteString("s", "b", "2");
    EXPECT_EQ(ReadFile(t / "a.ini"), c.after) << c.before;
  }
}

TEST(IniFile, RefusesWhatTheFileCannotHold) {
  TempDir t;
  const std::string before = "[katalogi]\r\nruv_tamir=/opt/ruv/\r\n";
  WriteFile(t / "ruv_admin.ini", before);
  TIniFile ini(t / "ruv_admin.ini");
  for (const char* value : {"/home/用户/ruv/", "/opt/ёж/", "a\r\nb=c", "a\nb"}) {
    EXPECT_THROW(ini.WriteString("katalogi", "ruv_tamir", value), EIniFileException) << value;
    EXPECT_EQ(ReadFile(t / "ruv_admin.ini"), before) << value;
  }
  EXPECT_TRUE(IniCanHold("/home/Łucja/Żółw/"));
  EXPECT_FALSE(IniCanHold("/home/用户/"));
}

TEST(IniFile, FindsTheFileInAnyLetterCase) {
  TempDir t;
  WriteFile(t / "RUV.INI", "[Ustawienia]\r\ntryb_ftp=P\r\n");
  TIniFile ini(t / "ruv.ini");
  EXPECT_EQ(ini.ReadString("ustawienia", "tryb_ftp", ""), "P");
  ini.WriteString("ustawienia", "tryb_ftp", "A");
  EXPECT_FALSE(testutil::FileExists(t / "ruv.ini"));
  EXPECT_EQ(ReadFile(t / "RUV.INI"), "[Ustawienia]\r\ntryb_ftp=A\r\n");
}

TEST(IniFile, EveryCallSeesTheFileAsItIsNow) {
  TempDir t;
  TIniFile a(t / "ruv.ini");
  TIniFile b(t / "ruv.ini");
  a.WriteString("s", "k", "1");
  EXPECT_EQ(b.ReadString("s", "k", ""), "1");
  // Replaced behind the objects' backs, as an archive extraction does.
  WriteFile(t / "ruv.ini", "[s]\r\nk=2\r\ninny=3\r\n");
  EXPECT_EQ(a.ReadString("s", "k", ""), "2");
  b.WriteString("s", "k", "4");
  EXPECT_EQ(ReadFile(t / "ruv.ini"), "[s]\r\nk=4\r\ninny=3\r\n");
}

TEST(IniFile, SectionsExistWhenTheyHoldAKey) {
  TempDir t;
  WriteFile(t / "a.ini",
            "[pusta]\r\n"
            "; tylko komentarz\r\n"
            "[Katalogi]\r\n"
            "ruv_tamir=\r\n"
            "[inna]\r\n"
            "x=1\r\n"
            "[katalogi]\r\n"
            "morta=/m/\r\n");
  TIniFile ini(t / "a.ini");
  EXPECT_FALSE(ini.SectionExists("pusta"));
  EXPECT_TRUE(ini.SectionExists("KATALOGI"));
  EXPECT_FALSE(ini.SectionExists("brak"));

  ini.EraseSection("katalogi");
  EXPECT_EQ(ReadFile(t / "a.ini"),
            "[pusta]\r\n"
            "; tylko komentarz\r\n"
            "[inna]\r\n"
            "x=1\r\n");
  EXPECT_FALSE(ini.SectionExists("katalogi"));
  EXPECT_EQ(ini.ReadString("katalogi", "morta", "def"), "def");
  ini.EraseSection("brak");
  EXPECT_EQ(ini.ReadString("inna", "x", ""), "1");
}

TEST(IniFile, WriteFailuresRaiseAndLoseNothing) {
  TempDir t;
  TIniFile missingDir(t / "brak/ruv.ini");
  EXPECT_THROW(missingDir.WriteString("s", "k", "v"), EIniFileException);

  // A name that cannot be read as a file must not be replaced by a new one.
  std::filesystem::create_directory(t / "ruv.ini");
  TIniFile notAFile(t / "ruv.ini");
  EXPECT_THROW(notAFile.WriteString("s", "k", "v"), EIniFileException);
  EXPECT_THROW(notAFile.EraseSection("s"), EIniFileException);
  EXPECT_TRUE(std::filesystem::is_directory(t / "ruv.ini"));

  // A read-only file in a writable folder stays as it is, also for root.
  for (const mode_t mode : {0444, 0400}) {
    SCOPED_TRACE(mode);
    const std::string ini = t / "tylko_odczyt.ini";
    const std::string before = "[s]\r\nk=1\r\n";
    WriteFile(ini, before, mode);
    EXPECT_THROW(TIniFile(ini).WriteString("s", "k", "2"), EIniFileException);
    EXPECT_THROW(TIniFile(ini).EraseSection("s"), EIniFileException);
    EXPECT_EQ(ReadFile(ini), before);
    struct stat st {};
    ASSERT_EQ(::stat(ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode);
    EXPECT_FALSE(testutil::FileExists(ini + ".~zapis"));
    std::filesystem::remove(ini);
  }

  // New contents the disk cannot sync would not outlast the machine
  // stopping: they never take the old file's place.
  const std::string ini = t / "ruv_admin.ini";
  WriteFile(ini, "[s]\r\nk=1\r\n");
  plat::SetFileFaultHook([](plat::FileOp op, const std::string& path, uint64_t) {
    return op == plat::FileOp::Flush && path.ends_with(".~zapis") ? int(plat::kErrWriteProtect) : 0;
  });
  EXPECT_THROW(TIniFile(ini).WriteString("s", "k", "2"), EIniFileException);
  plat::SetFileFaultHook({});
  EXPECT_EQ(ReadFile(ini), "[s]\r\nk=1\r\n");
  EXPECT_FALSE(testutil::FileExists(ini + ".~zapis"));
}

TEST(IniFile, WriteKeepsTheFilesMode) {
  TempDir t;
  WriteFile(t / "a.ini", "[s]\r\nk=1\r\n", 0640);
  TIniFile(t / "a.ini").WriteString("s", "k", "2");
  struct stat st {};
  ASSERT_EQ(::stat((t / "a.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  // No temporary file is left beside it.
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(t.dir())) ++entries;
  EXPECT_EQ(entries, 1);
}

// A write killed midway leaves its temporary file; the next write of the
// same file takes it over. One that another write still holds is left to
// it, and the write gives up after a short wait instead of hanging.
TEST(IniFile, TemporaryFileOfAKilledWriteGoesWithTheNextWrite) {
  TempDir t;
  const std::string ini = t / "ruv_admin.ini", tmp = ini + ".~zapis";
  WriteFile(ini, "[s]\r\nk=1\r\n");
  WriteFile(tmp, std::string(5000, 'x'));
  {
    // A real writer holding the file, killed while it holds it.
    testutil::Child writer("/usr/bin/python3",
                           {"python3", "-c",
                            "import fcntl, sys, time\n"
                            "f = open(sys.argv[1], 'a')\n"
                            "fcntl.flock(f, fcntl.LOCK_EX)\n"
                            "time.sleep(60)\n",
                            tmp});
    ASSERT_GT(writer.pid(), 0);
    const int probe = ::open(tmp.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    ASSERT_TRUE(testutil::WaitFor([&] {
      if (::flock(probe, LOCK_EX | LOCK_NB) != 0) return true;
      ::flock(probe, LOCK_UN);
      return false;
    }));
    ::close(probe);
    EXPECT_THROW(TIniFile(ini).WriteString("s", "k", "2"), EIniFileException);
    EXPECT_EQ(ReadFile(ini), "[s]\r\nk=1\r\n");
    EXPECT_EQ(ReadFile(tmp), std::string(5000, 'x'));
  }
  TIniFile(ini).WriteString("s", "k", "3");
  EXPECT_EQ(ReadFile(ini), "[s]\r\nk=3\r\n");
  EXPECT_FALSE(testutil::FileExists(tmp));
}

}  // namespace

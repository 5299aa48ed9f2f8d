// The ZIP component against real archives, checked with outside readers
// (unzip, Python's zipfile) and built by them where a test needs an
// archive our writer would never make (hostile names, links, damage).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <thread>

#include "admin/ZipComponent.h"
#include "admin/archive_test_util.h"
#include "platform/pfile.h"
#include "platform/pfs.h"

using namespace testutil;

namespace {

struct EntryInfo {
  std::string method;  // "Stored" or "Defl:X"
  int64_t size = 0;
};

// The archive's entries as `unzip -v` lists them; fails the test when
// Python's zipfile finds the archive damaged.
std::map<std::string, EntryInfo> ListArchive(const std::string& zip) {
  RunResult t = RunPython("import sys,zipfile\nz=zipfile.ZipFile(sys.argv[1])\nbad=z.testzip()\nprint('BAD',bad)",
                          {zip});
  EXPECT_EQ(t.status, 0) << t.out;
  EXPECT_EQ(t.out, "BAD None\n");
  RunResult r = Run({"/usr/bin/unzip", "-v", zip});
  EXPECT_EQ(r.status, 0) << r.out;
  std::map<std::string, EntryInfo> out;
  std::istringstream in(r.out);
  std::string line;
  bool body = false;
  while (std::getline(in, line)) {
    if (line.rfind("--------", 0) == 0) {
      if (body) break;
      body = true;
      continue;
    }
    if (!body) continue;
    std::istringstream f(line);
    EntryInfo e;
    std::string cmprSize, ratio, date, time, crc, name;
    f >> e.size >> e.method >> cmprSize >> ratio >> date >> time >> crc;
    std::getline(f, name);
    name.erase(0, name.find_first_not_of(' '));
    out[name] = e;
  }
  return out;
}

struct Recorder {
  std::vector<std::pair<int, std::string>> messages;
  std::vector<TZipProgressDetails> progress;
  void Bind(TZipMaster19& z) {
    z.OnMessage = [this](int c, const std::string& m) { messages.emplace_back(c, m); };
    z.OnProgress = [this](const TZipProgressDetails& d) { progress.push_back(d); };
  }
  int Errors() const {
    int n = 0;
    for (auto& m : messages) n += m.first > 0;
    return n;
  }
};

std::time_t MTime(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st.st_mtime;
}

// A small program tree: data files, an executable, documents.
struct Tree {
  TempDir tmp;
  std::string src = tmp.dir() + "prog/";
  std::string zip = tmp.dir() + "kopia.zip";
  Tree() {
    mkdir(src.c_str(), 0777);
    mkdir((src + "Dokumenty").c_str(), 0777);
    WriteFile(src + "dane.dbf", TextBytes(200000, 1));
    WriteFile(src + "OSOBY.DBF", TextBytes(5000, 2));
    WriteFile(src + "Osoby.dbt", TextBytes(3000, 3));
    WriteFile(src + "notatki.TXT", TextBytes(1000, 4));
    WriteFile(src + "pusty.txt", "");
    WriteFile(src + "Ruv_TM.exe", RandomBytes(50000, 5));
    WriteFile(src + "zdjecie.JPG", TextBytes(40000, 6));  // compressible, yet stored
    WriteFile(src + "Dokumenty/skan.jpg", RandomBytes(30000, 7));
    WriteFile(src + "Dokumenty/opis.txt", TextBytes(2000, 8));
    WriteFile(src + "Dokumenty/rysunek.wmf", TextBytes(9000, 9));
    plat::SetFileModTime(src + "dane.dbf", 1300000000);  // 13 March 2011
  }
};

}  // namespace

TEST(ZipComponent, AddStoresCompressedTypesAndDeflatesTheRest) {
  Tree t;
  TZipMaster19 zip;
  Recorder rec;
  rec.Bind(zip);
  zip.RootDir = t.src;
  zip.ZipFileName = t.zip;
  zip.FSpecArgs = {"*.dbf", "*.dbt", "*.txt", "ruv_tm.EXE", "*.jpg"};
  ASSERT_TRUE(zip.Add());
  EXPECT_EQ(zip.SuccessCnt(), 7);
  EXPECT_EQ(rec.Errors(), 0);

  zip.FSpecArgs = {t.src + "Dokumenty/*.jpg", t.src + "Dokumenty/*.txt", t.src + "dokumenty/*.WMF"};
  zip.AddOptions |= AddDirNames;
  ASSERT_TRUE(zip.Add());
  EXPECT_EQ(zip.SuccessCnt(), 3);

  auto entries = ListArchive(t.zip);
  const std::map<std::string, std::string> expected = {
      {"dane.dbf", "Defl:X"},           {"OSOBY.DBF", "Defl:X"},         {"Osoby.dbt", "Defl:X"},
      {"notatki.TXT", "Defl:X"},        {"pusty.txt", "Stored"},          {"Ruv_TM.exe", "Defl:X"},
      {"zdjecie.JPG", "Stored"},        {"Dokumenty/skan.jpg", "Stored"}, {"Dokumenty/opis.txt", "Defl:X"},
      {"Dokumenty/rysunek.wmf", "Defl:X"}};
  ASSERT_EQ(entries.size(), expected.size());
  for (auto& [name, method] : expected) {
    ASSERT_TRUE(entries.count(name)) << name;
    // An empty file has nothing to deflate; every reader stores it.
    if (name != "pusty.txt") {
      EXPECT_EQ(entries[name].method, method) << name;
    }
  }
  EXPECT_EQ(entries["dane.dbf"].size, 200000);
  EXPECT_EQ(zip.Count(), 10);
}

TEST(ZipComponent, ExclusionsMatchInAnyLetterCase) {
  Tree t;
  TZipMaster19 zip;
  zip.RootDir = t.src;
  zip.ZipFileName = t.zip;
  zip.FSpecArgs = {"*.dbf", "*.dbt"};
  zip.FSpecArgsExcl = {"osoby.dbf", "osoby.dbt"};
  ASSERT_TRUE(zip.Add());
  auto entries = ListArchive(t.zip);
  EXPECT_EQ(entries.size(), 1u);
  EXPECT_TRUE(entries.count("dane.dbf"));
}

TEST(ZipComponent, ProgressEventsFollowTheFiles) {
  Tree t;
  TZipMaster19 zip;
  Recorder rec;
  rec.Bind(zip);
  zip.RootDir = t.src;
  zip.ZipFileName = t.zip;
  zip.FSpecArgs = {"dane.dbf", "notatki.txt"};
  ASSERT_TRUE(zip.Add());
  std::vector<TZipProgressType> kinds;
  for (auto& p : rec.progress)
    if (kinds.empty() || kinds.back() != p.ProgType) kinds.push_back(p.ProgType);
  const std::vector<TZipProgressType> expected = {TotalSize2Process, TotalFiles2Process, NewFile,   ProgressUpdate,
                                                  EndOfItem,         NewFile,            ProgressUpdate, EndOfItem,
                                                  EndOfBatch};
  EXPECT_EQ(kinds, expected);
  EXPECT_EQ(rec.progress[0].TotalSize, 201000);
  EXPECT_EQ(rec.progress[1].TotalCount, 2);
  EXPECT_EQ(rec.progress[2].ItemName, "dane.dbf");
  int lastPerCent = 0;
  for (auto& p : rec.progress)
    if (p.ProgType == ProgressUpdate && p.ItemName == "dane.dbf") lastPerCent = p.ItemPerCent;
  EXPECT_EQ(lastPerCent, 100);
}

// Entry by entry as Python's zipfile reads them, in the archive's order:
// name, method, date and time, CRC, compressed and full size; archives
// apart by an empty line.
std::string EntryTables(const std::vector<std::string>& zips) {
  RunResult r = RunPython(
      "import sys,zipfile\nfor a in sys.argv[1:]:\n z=zipfile.ZipFile(a)\n assert z.testzip() is None\n"
      " for i in z.infolist(): print(i.filename, i.compress_type, i.date_time, i.CRC, i.compress_size, i.file_size)\n"
      " print()",
      zips);
  EXPECT_EQ(r.status, 0) << r.out;
  return r.out;
}

TEST(ZipComponent, ThreadsChangeNeitherTheArchiveNorTheEventsAndMessages) {
  const struct {
    const char* name;
    bool earlier;       // into an archive that already holds some of the files
    bool failingRead;   // one file fails half-way through its reading
  } cases[] = {{"new archive", false, false}, {"earlier archive", true, false}, {"failing read", false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Tree t;
    for (int i = 0; i < 40; ++i)
      WriteFile(t.src + "plik" + std::to_string(i) + ".txt", TextBytes(size_t(i) * 300, unsigned(i)));
    WriteFile(t.src + "Zażółć gęślą.txt", TextBytes(20000, 99));
    if (c.failingRead)
      plat::SetFileFaultHook([](plat::FileOp op, const std::string& path, uint64_t bytes) {
        return op == plat::FileOp::Read && path.find("plik30.txt") != std::string::npos && bytes > 4096
                   ? int(plat::kErrReadFault)
                   : 0;
      });
    struct Result {
      std::string zip, events;
      std::vector<std::pair<int, std::string>> messages;
    };
    auto backup = [&](int threads) {
      Result r;
      r.zip = t.tmp.dir() + "kopia" + std::to_string(threads) + ".zip";
      TZipMaster19 zip;
      zip.RootDir = t.src;
      zip.ZipFileName = r.zip;
      if (c.earlier) {
        zip.Threads = 1;
        zip.FSpecArgs = {"PLIK3*.TXT", "ruv_tm.exe"};
        EXPECT_TRUE(zip.Add());
      }
      Recorder rec;
      rec.Bind(zip);
      const auto caller = std::this_thread::get_id();
      int elsewhere = 0;
      auto record = zip.OnProgress;
      zip.OnProgress = [&](const TZipProgressDetails& d) {
        elsewhere += std::this_thread::get_id() != caller;
        record(d);
      };
      zip.Threads = threads;
      zip.FSpecArgs = {"osoby.*", "*.txt", "*.exe", "*.jpg"};
      EXPECT_TRUE(zip.Add());
      zip.FSpecArgs = {t.src + "Dokumenty/*.*"};
      zip.AddOptions |= AddDirNames;
      EXPECT_TRUE(zip.Add());
      EXPECT_EQ(elsewhere, 0);
      r.messages = rec.messages;
      // The events with each run of per-cents taken as its last one.
      const auto& events = rec.progress;
      for (size_t i = 0; i < events.size(); ++i) {
        const auto& p = events[i];
        if (p.ProgType == ProgressUpdate && i + 1 < events.size() && events[i + 1].ProgType == ProgressUpdate) continue;
        r.events += std::to_string(p.ProgType) + " " + p.ItemName + " " + std::to_string(p.ItemPerCent) + "\n";
      }
      return r;
    };
    const Result one = backup(1), four = backup(4);
    plat::SetFileFaultHook(nullptr);
    const std::string tables = EntryTables({one.zip, four.zip});
    const size_t half = tables.find("\n\n") + 2;
    EXPECT_EQ(tables.substr(half), tables.substr(0, half));
    EXPECT_GT(half, 1000u);
    EXPECT_TRUE(ReadFile(four.zip) == ReadFile(one.zip));
    EXPECT_EQ(four.messages, one.messages);
    EXPECT_EQ(four.messages.size(), c.failingRead ? 1u : 0u);
    // On one thread a failing read makes the whole archive be written again,
    // with every event once more.
    if (!c.failingRead) {
      EXPECT_EQ(four.events, one.events);
    }
    EXPECT_EQ(ListDir(t.tmp.dir()), (std::vector<std::string>{"kopia1.zip", "kopia4.zip", "prog"}));
  }
}

TEST(ZipComponent, SecondAddKeepsOtherEntriesAndReplacesSameNameInAnyCase) {
  Tree t;
  TZipMaster19 zip;
  zip.RootDir = t.src;
  zip.ZipFileName = t.zip;
  zip.FSpecArgs = {"*.dbf", "*.txt"};
  ASSERT_TRUE(zip.Add());
  // The file is renamed in case and changed; the archive gets the new one.
  ASSERT_EQ(rename((t.src + "dane.dbf").c_str(), (t.src + "DANE.DBF").c_str()), 0);
  WriteFile(t.src + "DANE.DBF", "nowe dane");
  zip.FSpecArgs = {"dane.dbf"};
  ASSERT_TRUE(zip.Add());
  auto entries = ListArchive(t.zip);
  EXPECT_EQ(entries.size(), 4u);
  EXPECT_TRUE(entries.count("DANE.DBF"));
  EXPECT_FALSE(entries.count("dane.dbf"));
  EXPECT_EQ(entries["DANE.DBF"].size, 9);
}

TEST(ZipComponent, UnreadableSourceIsReportedAndLeftOut) {
  Tree t;
  // Held deny-all by another handle, as a running program may hold a table.
  plat::File holder;
  ASSERT_EQ(holder.Open(t.src + "OSOBY.DBF", plat::kAccessReadWrite | plat::kShareDenyAll), 0);
  TZipMaster19 zip;
  Recorder rec;
  rec.Bind(zip);
  zip.RootDir = t.src;
  zip.ZipFileName = t.zip;
  zip.FSpecArgs = {"*.dbf", "*.dbt"};
  ASSERT_TRUE(zip.Add());
  EXPECT_EQ(zip.SuccessCnt(), 2);
  ASSERT_EQ(rec.Errors(), 1);
  EXPECT_EQ(rec.messages[0].first, ZipErrSourceFile);
  EXPECT_NE(rec.messages[0].second.find("OSOBY.DBF"), std::string::npos);
  auto entries = ListArchive(t.zip);
  EXPECT_EQ(entries.size(), 2u);
  EXPECT_FALSE(entries.count("OSOBY.DBF"));
}

TEST(ZipComponent, SourceFailingWhileCompressedIsLeftOutAndArchiveStillWritten) {
  Tree t;
  // The read fails half-way through the file, after the archive writing began.
  plat::SetFileFaultHook([](plat::FileOp op, const std::string& path, uint64_t bytes) {
    return op == plat::FileOp::Read && path.find("dane.dbf") != std::string::npos && bytes > 50000
               ? int(plat::kErrReadFault)
               : 0;
  });
  TZipMaster19 zip;
  Recorder rec;
  rec.Bind(zip);
  zip.RootDir = t.src;
  zip.ZipFileName = t.zip;
  zip.FSpecArgs = {"*.dbf", "*.txt"};
  const bool ok = zip.Add();
  plat::SetFileFaultHook(nullptr);
  ASSERT_TRUE(ok);
  EXPECT_EQ(zip.SuccessCnt(), 3);
  ASSERT_EQ(rec.Errors(), 1);
  EXPECT_NE(rec.messages[0].second.find("dane.dbf"), std::string::npos);
  auto entries = ListArchive(t.zip);
  EXPECT_EQ(entries.size(), 3u);
  EXPECT_FALSE(entries.count("dane.dbf"));
  EXPECT_EQ(ListDir(t.tmp.dir()), (std::vector<std::string>{"kopia.zip", "prog"}));
}

TEST(ZipComponent, ArchiveThatCannotBeWrittenLeavesTheEarlierOneOrNoneAndNoParts) {
  // The write runs out of room part-way: a child process limited to files
  // of 20 kB. With threads it is the part archive of the executable that
  // cannot be written, while the parts of the other files can.
  const struct {
    int threads;
    bool earlier;
  } cases[] = {{1, true}, {4, true}, {4, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.threads << " threads, earlier archive " << c.earlier);
    Tree t;
    for (int i = 0; i < 12; ++i) WriteFile(t.src + "opis" + std::to_string(i) + ".txt", TextBytes(3000, unsigned(i)));
    TZipMaster19 zip;
    zip.RootDir = t.src;
    zip.ZipFileName = t.zip;
    zip.FSpecArgs = {"notatki.txt"};
    if (c.earlier) {
      ASSERT_TRUE(zip.Add());
    }
    const std::string before = c.earlier ? ReadFile(t.zip) : "";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit lim{20000, 20000};
      setrlimit(RLIMIT_FSIZE, &lim);
      TZipMaster19 child;
      int errors = 0;
      child.OnMessage = [&](int code, const std::string& text) {
        errors += code == ZipErrArchive && text.find(t.zip) != std::string::npos ? 1 : 100;
      };
      child.Threads = c.threads;
      child.RootDir = t.src;
      child.ZipFileName = t.zip;
      child.FSpecArgs = {"*.txt", "*.exe"};
      const bool ok = child.Add();
      _exit(!ok && errors == 1 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    if (c.earlier) {
      EXPECT_TRUE(ReadFile(t.zip) == before);
      EXPECT_EQ(ListArchive(t.zip).size(), 1u);
      EXPECT_EQ(ListDir(t.tmp.dir()), (std::vector<std::string>{"kopia.zip", "prog"}));
    } else {
      EXPECT_EQ(ListDir(t.tmp.dir()), (std::vector<std::string>{"prog"}));
    }
  }
}

TEST(ZipComponent, ArchiveInAPathThroughARegularFileIsReported) {
  Tree t;
  TZipMaster19 zip;
  Recorder rec;
  rec.Bind(zip);
  zip.RootDir = t.src;
  zip.ZipFileName = t.src + "dane.dbf/kopia.zip";
  zip.FSpecArgs = {"*.txt"};
  EXPECT_FALSE(zip.Add());
  EXPECT_EQ(rec.Errors(), 1);
  EXPECT_EQ(zip.SuccessCnt(), 0);
}

TEST(ZipComponent, DamagedExistingArchiveIsLeftAlone) {
  Tree t;
  WriteFile(t.zip, "PK\x03\x04 uszkodzona kopia");
  TZipMaster19 zip;
  Recorder rec;
  rec.Bind(zip);
  zip.RootDir = t.src;
  zip.ZipFileName = t.zip;
  zip.FSpecArgs = {"*.txt"};
  EXPECT_FALSE(zip.Add());
  EXPECT_EQ(rec.Errors(), 1);
  EXPECT_EQ(ReadFile(t.zip), "PK\x03\x04 uszkodzona kopia");
  EXPECT_EQ(ListDir(t.tmp.dir()), (std::vector<std::string>{"kopia.zip", "prog"}));
}

TEST(ZipComponent, NothingToAddWritesNoArchive) {
  Tree t;
  TZipMaster19 zip;
  zip.RootDir = t.src;
  zip.ZipFileName = t.zip;
  zip.FSpecArgs = {"*.xls"};
  EXPECT_FALSE(zip.Add());
  EXPECT_FALSE(FileExists(t.zip));
}

TEST(ZipComponent, CountOfMissingEmptyAndDamagedArchivesIsZero) {
  TempDir tmp;
  TZipMaster19 zip;
  Recorder rec;
  rec.Bind(zip);
  zip.ZipFileName = tmp.dir() + "brak.zip";
  EXPECT_EQ(zip.Count(), 0);
  EXPECT_EQ(rec.Errors(), 0);

  ASSERT_EQ(RunPython("import sys,zipfile\nzipfile.ZipFile(sys.argv[1],'w').close()", {tmp.dir() + "pusty.zip"}).status,
            0);
  zip.ZipFileName = tmp.dir() + "pusty.zip";
  EXPECT_EQ(zip.Count(), 0);

  WriteFile(tmp.dir() + "zly.zip", "PK\x03\x04 to nie jest archiwum");
  zip.ZipFileName = tmp.dir() + "zly.zip";
  EXPECT_EQ(zip.Count(), 0);
  EXPECT_EQ(rec.Errors(), 1);
}

TEST(ZipComponent, ExtractRestoresBytesAndDatesFlatAndReplacesAnyCase) {
  Tree t;
  TZipMaster19 zip;
  zip.RootDir = t.src;
  zip.ZipFileName = t.zip;
  zip.FSpecArgs = {"*.dbf", "*.txt"};
  ASSERT_TRUE(zip.Add());
  zip.FSpecArgs = {t.src + "Dokumenty/*.*"};
  zip.AddOptions = AddDirNames;
  ASSERT_TRUE(zip.Add());

  const std::string dst = t.tmp.dir() + "cel/";
  mkdir(dst.c_str(), 0777);
  WriteFile(dst + "dane.DBF", "stare dane");  // replaced, no second copy beside it
  WriteFile(dst + "inny.dbf", "zostaje");
  zip.ExtrBaseDir = dst;
  zip.ExtrOptions = ExtrOverWrite;
  zip.FSpecArgs = {"*.*"};
  Recorder rec;
  rec.Bind(zip);
  ASSERT_TRUE(zip.Extract());
  EXPECT_EQ(zip.SuccessCnt(), 7);
  EXPECT_EQ(rec.Errors(), 0);
  EXPECT_EQ(ListDir(dst), (std::vector<std::string>{"OSOBY.DBF", "dane.DBF", "inny.dbf", "notatki.TXT", "opis.txt",
                                                    "pusty.txt", "rysunek.wmf", "skan.jpg"}));
  EXPECT_EQ(ReadFile(dst + "dane.DBF"), ReadFile(t.src + "dane.dbf"));
  EXPECT_EQ(ReadFile(dst + "skan.jpg"), ReadFile(t.src + "Dokumenty/skan.jpg"));
  EXPECT_EQ(ReadFile(dst + "inny.dbf"), "zostaje");
  // The archive keeps times to two seconds, as DOS does.
  EXPECT_LE(std::abs(MTime(dst + "dane.DBF") - 1300000000), 1);
  EXPECT_LE(std::abs(MTime(dst + "opis.txt") - MTime(t.src + "Dokumenty/opis.txt")), 1);
}

TEST(ZipComponent, ExtractKeepsNamedDirectoriesAndCreatesTheBase) {
  Tree t;
  TZipMaster19 zip;
  zip.RootDir = t.src;
  zip.ZipFileName = t.zip;
  zip.FSpecArgs = {"*.txt"};
  ASSERT_TRUE(zip.Add());
  zip.FSpecArgs = {t.src + "Dokumenty/*.txt"};
  zip.AddOptions = AddDirNames;
  ASSERT_TRUE(zip.Add());

  // Without ExtrForceDirs a missing base is an error.
  const std::string dst = t.tmp.dir() + "nowy/kat/";
  zip.ExtrBaseDir = dst;
  zip.FSpecArgs = {};
  zip.ExtrOptions = ExtrOverWrite;
  EXPECT_FALSE(zip.Extract());
  EXPECT_FALSE(FileExists(dst));

  zip.ExtrOptions = ExtrOverWrite | ExtrForceDirs;
  zip.ExtrKeepDirs = {"DOKUMENTY"};
  ASSERT_TRUE(zip.Extract());
  EXPECT_EQ(zip.SuccessCnt(), 3);
  EXPECT_EQ(ListDir(dst), (std::vector<std::string>{"DOKUMENTY", "notatki.TXT", "pusty.txt"}));
  EXPECT_EQ(ReadFile(dst + "DOKUMENTY/opis.txt"), ReadFile(t.src + "Dokumenty/opis.txt"));
}

TEST(ZipComponent, ExtractWithoutOverwriteKeepsExistingFiles) {
  Tree t;
  TZipMaster19 zip;
  zip.RootDir = t.src;
  zip.ZipFileName = t.zip;
  zip.FSpecArgs = {"*.txt", "*.exe"};
  ASSERT_TRUE(zip.Add());
  const std::string dst = t.tmp.dir() + "cel/";
  mkdir(dst.c_str(), 0777);
  WriteFile(dst + "NOTATKI.txt", "moje");
  zip.ExtrBaseDir = dst;
  zip.ExtrOptions = 0;
  zip.FSpecArgs = {"*.EXE", "*.txt"};
  ASSERT_TRUE(zip.Extract());
  EXPECT_EQ(zip.SuccessCnt(), 2);
  EXPECT_EQ(ReadFile(dst + "NOTATKI.txt"), "moje");
  EXPECT_EQ(ListDir(dst), (std::vector<std::string>{"NOTATKI.txt", "Ruv_TM.exe", "pusty.txt"}));

  // Only the selected entries.
  const std::string stage = t.tmp.dir() + "stage/";
  zip.ExtrBaseDir = stage;
  zip.ExtrOptions = ExtrOverWrite | ExtrForceDirs;
  zip.FSpecArgs = {"*.exe"};
  ASSERT_TRUE(zip.Extract());
  EXPECT_EQ(ListDir(stage), (std::vector<std::string>{"Ruv_TM.exe"}));
}

TEST(ZipComponent, HostileArchiveNeverWritesOutsideTheTarget) {
  TempDir tmp;
  const std::string zipPath = tmp.dir() + "zly.zip";
  const char* script = R"(
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1], 'w')
def add(name, data=b'x', attr=None):
    i = zipfile.ZipInfo(name, (2011, 3, 5, 10, 0, 0))
    if attr is not None:
        i.create_system = 3
        i.external_attr = attr << 16
    z.writestr(i, data)
add('../../ucieczka.txt')
add('/bezwzgledna.txt')
add('a/../../wyzej.txt')
add('a\\..\\..\\okno.txt')
add('.')
add('kat/..')
add('ster\x01ujacy.txt')
add('link.txt', b'/etc/passwd', 0o120777)
add('fifo', b'', 0o010644)
add('katalog/')
add('dobry.txt', b'dobre dane')
add('gleboko/w/drzewie/plik.dbf', b'dbf')
z.close()
)";
  ASSERT_EQ(RunPython(script, {zipPath}).status, 0);
  const std::string dst = tmp.dir() + "a/b/cel/";
  ASSERT_EQ(system(("mkdir -p " + dst).c_str()), 0);
  TZipMaster19 zip;
  Recorder rec;
  rec.Bind(zip);
  zip.ZipFileName = zipPath;
  zip.ExtrBaseDir = dst;
  zip.ExtrOptions = ExtrOverWrite;
  EXPECT_FALSE(zip.Extract());
  EXPECT_EQ(zip.SuccessCnt(), 2);
  EXPECT_EQ(rec.Errors(), 9);
  for (auto& m : rec.messages) EXPECT_EQ(m.first, ZipErrEntry) << m.second;
  EXPECT_EQ(ListDir(dst), (std::vector<std::string>{"dobry.txt", "plik.dbf"}));
  EXPECT_EQ(ListDir(tmp.dir()), (std::vector<std::string>{"a", "zly.zip"}));
  EXPECT_EQ(ListDir(tmp.dir() + "a/"), (std::vector<std::string>{"b"}));
  EXPECT_EQ(ListDir(tmp.dir() + "a/b/"), (std::vector<std::string>{"cel"}));
  EXPECT_EQ(ReadFile(dst + "dobry.txt"), "dobre dane");
}

TEST(ZipComponent, DamagedArchivesChangeNothing) {
  Tree t;
  TZipMaster19 zip;
  zip.RootDir = t.src;
  zip.ZipFileName = t.zip;
  zip.FSpecArgs = {"dane.dbf"};
  ASSERT_TRUE(zip.Add());
  const std::string good = ReadFile(t.zip);

  struct Case {
    const char* name;
    std::string bytes;
  };
  std::string flipped = good;
  flipped[200] = char(flipped[200] ^ 0x55);  // inside the deflated data
  std::string truncated = good.substr(0, good.size() / 2);
  std::string noDirectory = good.substr(0, good.size() - 22);
  for (const Case& c : {Case{"flipped", flipped}, Case{"truncated", truncated}, Case{"noDirectory", noDirectory}}) {
    SCOPED_TRACE(c.name);
    const std::string dst = t.tmp.dir() + c.name + "/";
    mkdir(dst.c_str(), 0777);
    WriteFile(dst + "DANE.DBF", "stare");
    const std::string bad = t.tmp.dir() + c.name + ".zip";
    WriteFile(bad, c.bytes);
    TZipMaster19 x;
    Recorder rec;
    rec.Bind(x);
    x.ZipFileName = bad;
    x.ExtrBaseDir = dst;
    x.ExtrOptions = ExtrOverWrite;
    EXPECT_FALSE(x.Extract());
    EXPECT_EQ(x.SuccessCnt(), 0);
    EXPECT_GE(rec.Errors(), 1);
    EXPECT_EQ(ListDir(dst), (std::vector<std::string>{"DANE.DBF"}));
    EXPECT_EQ(ReadFile(dst + "DANE.DBF"), "stare");
  }
}

TEST(ZipComponent, WindowsNamesInTheOemCodePageAreDecoded) {
  TempDir tmp;
  const std::string zipPath = tmp.dir() + "win.zip";
  // "Źródła.txt" in code page 852 without the UTF-8 flag, as a Polish
  // Windows archiver writes it: zipfile writes an ASCII name of the same
  // length, which is then replaced by those bytes.
  const char* script = R"(
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1], 'w')
z.writestr(zipfile.ZipInfo('Dokumenty\\Zrodla.txt', (2011, 3, 5, 10, 0, 0)), b'abc')
z.close()
data = open(sys.argv[1], 'rb').read().replace(b'Zrodla.txt', 'Źródła.txt'.encode('cp852'))
open(sys.argv[1], 'wb').write(data)
)";
  ASSERT_EQ(RunPython(script, {zipPath}).status, 0) << RunPython(script, {zipPath}).out;
  TZipMaster19 zip;
  zip.ZipFileName = zipPath;
  zip.ExtrBaseDir = tmp.dir() + "cel";
  zip.ExtrOptions = ExtrOverWrite | ExtrForceDirs;
  zip.ExtrKeepDirs = {"Dokumenty"};
  ASSERT_TRUE(zip.Extract());
  EXPECT_EQ(ListDir(tmp.dir() + "cel/Dokumenty"), (std::vector<std::string>{"Źródła.txt"}));
}

TEST(ZipComponent, ModuleScopeLoadsAndRestores) {
  TZipMaster19 zip;
  EXPECT_FALSE(zip.DLL_Load());
  {
    TZipModuleScope outer(zip);
    EXPECT_TRUE(zip.DLL_Load());
    {
      TZipModuleScope inner(zip);
      EXPECT_TRUE(zip.DLL_Load());
    }
    EXPECT_TRUE(zip.DLL_Load());
  }
  EXPECT_FALSE(zip.DLL_Load());
}

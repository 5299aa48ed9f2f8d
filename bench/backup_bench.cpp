// The backup and the restore on a data tree like a real installation,
// against Info-ZIP on the same files:
//
//   backup_bench [megabytes]      (default 200)
//
// Writes a program directory into a temporary folder: DBF tables and memo
// files of about that many megabytes, and besides them about 60 MB in a few
// thousand small text, log and settings files, program files, and a
// "Dokumenty" directory of images and documents. Then, in one run:
//   - the backup as the backup window makes it (data masks, then the
//     documents with their directory) against `zip -9 -n <stored types>`
//     on the same files;
//   - the restore as the main window makes it (staged, all or nothing)
//     against `unzip -o -j`.
// Prints times, archive sizes and ratios. The targets: the backup within
// 1.2 times zip's time and 1% of its size, the restore within 1.2 times
// unzip's time.
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "admin/Restore.h"
#include "admin/ZipComponent.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Rng {
  uint64_t s;
  uint64_t Next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
  size_t Below(size_t n) { return size_t(Next() % n); }
};

void Put(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
}

void AppendNumber(std::string& s, uint64_t v, size_t width) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  std::string n(buf, r.ptr);
  if (n.size() < width) s.append(width - n.size(), ' ');
  s += n;
}

const char* kNames[] = {"Anna", "Piotr", "Katarzyna", "Tomasz", "Małgorzata", "Krzysztof", "Agnieszka",
                        "Andrzej", "Barbara", "Paweł", "Ewa", "Michał", "Joanna", "Marcin", "Zofia"};
const char* kSurnames[] = {"Nowak", "Kowalski", "Wiśniewska", "Wójcik", "Kowalczyk", "Kamiński", "Lewandowska",
                           "Zieliński", "Szymańska", "Woźniak", "Dąbrowski", "Kozłowska", "Jankowski"};
const char* kTowns[] = {"Kraków", "Warszawa", "Łódź", "Wrocław", "Poznań", "Gdańsk", "Szczecin", "Lublin"};

void Pad(std::string& s, const std::string& text, size_t width) {
  s += text.substr(0, width);
  if (text.size() < width) s.append(width - text.size(), ' ');
}

// A table: a header and fixed-width records of names, towns, dates and
// numbers, as the sibling programs keep them.
std::string Table(size_t bytes, Rng& rng) {
  std::string s(512, '\0');
  s[0] = 3;
  while (s.size() < bytes) {
    s += ' ';
    Pad(s, kNames[rng.Below(std::size(kNames))], 30);
    Pad(s, kSurnames[rng.Below(std::size(kSurnames))], 40);
    Pad(s, kTowns[rng.Below(std::size(kTowns))], 30);
    AppendNumber(s, 19500101 + rng.Below(60) * 10000 + rng.Below(12) * 100 + rng.Below(28), 8);
    AppendNumber(s, rng.Below(1000000), 12);
    AppendNumber(s, rng.Below(100), 4);
    s += rng.Below(2) ? 'T' : 'F';
    AppendNumber(s, rng.Below(5000), 10);
    s.append(20, ' ');
  }
  s.resize(bytes);
  return s;
}

// Running text: memo files, logs, reports.
std::string Text(size_t bytes, Rng& rng) {
  static const char* words[] = {"szkolenie", "pracownik", "stanowisko", "ryzyko", "ocena", "zagrożenie",
                                "odzież", "ochronna", "wypadek", "badanie", "lekarskie", "termin", "data", "BHP",
                                "kurs", "zaświadczenie", "wydano", "dnia", "nr", "zgodnie", "z", "przepisami"};
  std::string s;
  s.reserve(bytes + 32);
  while (s.size() < bytes) {
    s += words[rng.Below(std::size(words))];
    s += rng.Below(12) == 0 ? "\r\n" : " ";
    if (rng.Below(20) == 0) AppendNumber(s, rng.Below(100000), 0);
  }
  s.resize(bytes);
  return s;
}

std::string Random(size_t bytes, Rng& rng) {
  std::string s(bytes, '\0');
  for (size_t i = 0; i < bytes; i += 8) {
    uint64_t v = rng.Next();
    for (size_t j = 0; j < 8 && i + j < bytes; ++j) s[i + j] = char(v >> (8 * j));
  }
  return s;
}

struct Tree {
  std::vector<std::string> files;  // relative names, for zip
  uint64_t bytes = 0;
};

Tree MakeTree(const std::string& dir, uint64_t megabytes) {
  Tree t;
  Rng rng{0x9E3779B97F4A7C15ull};
  auto add = [&](const std::string& name, std::string bytes) {
    t.bytes += bytes.size();
    Put(dir + name, bytes);
    t.files.push_back(name);
  };
  const uint64_t total = megabytes << 20;
  // Tables and memo files: about 85% of the bytes.
  const int tables = 120;
  for (int i = 0; i < tables; ++i) {
    const size_t size = size_t(total * 70 / 100 / tables * (50 + rng.Below(100)) / 100);
    add("tabela" + std::to_string(i) + ".dbf", Table(size, rng));
    add("tabela" + std::to_string(i) + ".dbt", Text(size / 5, rng));
  }
  // Many small files.
  const char* smallExt[] = {".txt", ".log", ".csv", ".ini", ".rtf", ".rw", ".etm", ".skk"};
  for (int i = 0; i < 2200; ++i)
    add("plik" + std::to_string(i) + smallExt[i % std::size(smallExt)], Text(1000 + rng.Below(20000), rng));
  for (const char* exe : {"Ruv_TM.exe", "Ruv_SL.exe", "Ruv_Admin.exe", "Pomoc.dll"}) add(exe, Random(2 << 20, rng));
  // Documents: images (stored) and other documents.
  for (int i = 0; i < 500; ++i) add("Dokumenty/skan" + std::to_string(i) + ".jpg", Random(20000 + rng.Below(80000), rng));
  for (int i = 0; i < 150; ++i) add("Dokumenty/pismo" + std::to_string(i) + ".pdf", Text(30000 + rng.Below(40000), rng));
  for (int i = 0; i < 50; ++i) add("Dokumenty/rysunek" + std::to_string(i) + ".bmp", Table(100000, rng));
  return t;
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

template <class F>
double Time(F&& f) {
  auto start = std::chrono::steady_clock::now();
  f();
  return Seconds(std::chrono::steady_clock::now() - start);
}

int Shell(const std::string& command) {
  pid_t pid = 0;
  std::string c = command;
  char sh[] = "/bin/sh", dashC[] = "-c";
  char* argv[] = {sh, dashC, c.data(), nullptr};
  if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

uint64_t SizeOf(const std::string& path) {
  std::error_code ec;
  auto n = fs::file_size(path, ec);
  return ec ? 0 : n;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t megabytes = 200;
  if (argc > 1) std::from_chars(argv[1], argv[1] + std::char_traits<char>::length(argv[1]), megabytes);
  std::string tmpl = (fs::temp_directory_path() / "backup_benchXXXXXX").string();
  if (!mkdtemp(tmpl.data())) return 1;
  const std::string root = tmpl + "/";
  const std::string prog = root + "ruv/";
  struct Cleanup {
    std::string dir;
    ~Cleanup() {
      std::error_code ec;
      fs::remove_all(dir, ec);
    }
  } cleanup{root};

  std::printf("writing the data tree (%llu MB)...\n", (unsigned long long)megabytes);
  const Tree tree = MakeTree(prog, megabytes);
  std::printf("%zu files, %.1f MB\n\n", tree.files.size(), double(tree.bytes) / (1 << 20));

  // The backup as the window makes it, and Info-ZIP on the same files;
  // each twice, taking turns, and the better time of each counts (the
  // machine and its disk cache are shared with the other).
  const std::string ours = root + "kopia.zip";
  const std::string theirs = root + "zip.zip";
  std::string list;
  for (const auto& f : tree.files) list += f + "\n";
  Put(root + "lista.txt", list);
  std::string suffixes;
  for (const auto& s : kZipStoreSuffixes) suffixes += (suffixes.empty() ? "." : ":.") + s;
  TZipMaster19 zip;
  zip.SetDLL_Load(true);
  double backupTime = 1e9, zipTime = 1e9, restoreTime = 1e9, unzipTime = 1e9;
  for (int round = 0; round < 2; ++round) {
    fs::remove(ours);
    backupTime = std::min(backupTime, Time([&] {
      zip.RootDir = prog;
      zip.ZipFileName = ours;
      zip.AddOptions = 0;
      zip.FSpecArgs = {"*.dbf", "*.dbt", "*.ini", "*.rtf", "*.log", "*.txt", "*.rw", "*.csv", "*.etm", "*.skk",
                       "*.exe", "*.dll"};
      zip.Add();
      zip.AddOptions |= AddDirNames;
      zip.FSpecArgs.clear();
      for (const char* m : {"*.jpg", "*.bmp", "*.pdf"}) zip.FSpecArgs.push_back(prog + "Dokumenty/" + m);
      zip.Add();
    }));
    fs::remove(theirs);
    zipTime = std::min(zipTime, Time([&] {
      if (Shell("cd '" + prog + "' && zip -9 -q -n '" + suffixes + "' '" + theirs + "' -@ < '" + root +
                "lista.txt'") != 0)
        std::printf("zip failed\n");
    }));
  }

  // The restore as the main window makes it, and unzip, likewise.
  TRestoreResult restored;
  for (int round = 0; round < 2; ++round) {
    const std::string mine = root + "odtworzone" + std::to_string(round) + "/";
    const std::string other = root + "unzip" + std::to_string(round) + "/";
    restoreTime = std::min(restoreTime, Time([&] { restored = RestoreArchive(zip, mine); }));
    if (!restored.Ok) std::printf("restore failed: %s\n", restored.Error.c_str());
    unzipTime = std::min(unzipTime, Time([&] {
      if (Shell("unzip -o -j -q '" + theirs + "' -d '" + other + "'") != 0) std::printf("unzip failed\n");
    }));
    std::error_code ec;
    fs::remove_all(mine, ec);
    fs::remove_all(other, ec);
  }

  const double oursSize = double(SizeOf(ours)), theirsSize = double(SizeOf(theirs));
  std::printf("%-34s %10s %14s\n", "best of 2 runs", "seconds", "archive bytes");
  std::printf("%-34s %10.2f %14.0f\n", "backup (ZIP component)", backupTime, oursSize);
  std::printf("%-34s %10.2f %14.0f\n", "zip -9 -n", zipTime, theirsSize);
  std::printf("%-34s %10.2f %14s\n", "restore (staged, all or nothing)", restoreTime, "");
  std::printf("%-34s %10.2f %14s\n", "unzip -o -j", unzipTime, "");
  std::printf("\nbackup time / zip time       %.3f   (target <= 1.2)\n", backupTime / zipTime);
  std::printf("backup size / zip size       %.4f  (target <= 1.01)\n", oursSize / theirsSize);
  std::printf("restore time / unzip time    %.3f   (target <= 1.2)\n", restoreTime / unzipTime);
  std::printf("files restored: %d of %zu\n", restored.Files, tree.files.size());
  return 0;
}

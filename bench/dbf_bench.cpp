// The DBF engine against shapelib's DBF code doing the same work on one
// table (C30, N10.2, N8, D, L):
//
//   dbf_bench [records]      (default 1000000)
//
// Each step runs on a file of its own library's making, in a temporary
// folder, and prints its time per record and the ratio engine/shapelib
// (below 1: the engine is faster). The engine runs each step exclusive
// (EXCLUSIVE, no locks taken) and shared (other programs may use the
// table: appends under the table lock, replaces under record locks, every
// read from the file). Each step is run three times, the sides taking
// turns, and the best time of each side counts: the machine may be
// shared. Also printed: the machine's core count and load, the time to
// read the file's bytes alone, the growth of the resident memory over each
// engine step, for Replace the system calls each one makes and the time of
// those system calls alone, and at the end the targets with what this run
// measured; the exit status is 2 when a target was missed.
#include <fcntl.h>
#include <shapefil.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "platform/pfile.h"
#include "tablebase/dbf4.h"
#include "tablebase/tzdbflow.h"
#include "tablebase/tzutils.h"

namespace {

using bench::Clock;
using bench::LoadAverages;
using bench::RssKb;
using bench::Seconds;

// Record i's values: a name, an amount, a count, a date, a flag.
std::string Name(int i) {
  std::string s = "Kowalski-" + std::to_string(int64_t(i) * 7919 % 1000003);
  s.resize(30, ' ');
  return s;
}
double Amount(int i) { return double(i % 100000) / 4.0; }
int Count(int i) { return i % 9999999; }
std::string Digits(int v, int width) {
  std::string s(size_t(width), '0');
  for (int i = width - 1; i >= 0 && v > 0; --i, v /= 10) s[size_t(i)] = char('0' + v % 10);
  return s;
}
std::string Date(int i) {
  return Digits(1 + i % 28, 2) + "." + Digits(1 + i % 12, 2) + "." + Digits(1990 + i % 35, 4);
}
std::string StoredDate(int i) { return Digits(1990 + i % 35, 4) + Digits(1 + i % 12, 2) + Digits(1 + i % 28, 2); }

// Typed-buffer slots of the engine's table (see dbf4.h).
struct Slots {
  char *name, *amount, *count, *date, *flag;
  Slots() : name(FieldAddress(1)), amount(FieldAddress(2)), count(FieldAddress(3)), date(FieldAddress(4)), flag(FieldAddress(5)) {}
};

void Fill(const Slots& s, int i) {
  std::string n = Name(i), d = Date(i);
  s.name[0] = char(n.size());
  std::memcpy(s.name + 1, n.data(), n.size());
  double a = Amount(i);
  std::memcpy(s.amount, &a, sizeof a);
  int32_t c = Count(i);
  std::memcpy(s.count, &c, sizeof c);
  s.date[0] = char(d.size());
  std::memcpy(s.date + 1, d.data(), d.size());
  s.flag[0] = i % 3 == 0;
}

// What a reader does with a record: every field taken out.
struct Sink {
  double sum = 0;
  size_t bytes = 0;
  void Engine(const Slots& s) {
    char name[31], date[11];
    std::memcpy(name, s.name + 1, uint8_t(s.name[0]));
    std::memcpy(date, s.date + 1, uint8_t(s.date[0]));
    double a;
    int32_t c;
    std::memcpy(&a, s.amount, sizeof a);
    std::memcpy(&c, s.count, sizeof c);
    sum += a + c + (s.flag[0] ? 1 : 0);
    bytes += uint8_t(s.name[0]) + uint8_t(s.date[0]) + size_t(name[0] + date[0]) % 2;
  }
  void Shape(DBFHandle h, int rec) {
    const char* n = DBFReadStringAttribute(h, rec, 0);
    bytes += std::strlen(n);
    sum += DBFReadDoubleAttribute(h, rec, 1);
    sum += DBFReadIntegerAttribute(h, rec, 2);
    bytes += std::strlen(DBFReadStringAttribute(h, rec, 3));
    sum += DBFReadLogicalAttribute(h, rec, 4)[0] == 'T' ? 1 : 0;
  }
};

struct Row {
  const char* step;
  int per;  // records the step goes through
  double exclusive, shared, shape;
  long rssExclusive, rssShared;
  double floorExclusive = 0, floorShared = 0;  // the system calls alone, where measured
};

std::vector<Row> g_rows;

// Runs an engine step and returns its time and the memory it added.
template <class F>
std::pair<double, long> TimeEngine(F&& f) {
  long before = RssKb();
  auto t = Clock::now();
  f();
  double s = Seconds(t);
  return {s, RssKb() - before};
}

void Check(const char* what) {
  if (LastErrorCode() != 0) {
    std::fprintf(stderr, "%s: engine error %u %s\n", what, LastErrorCode(), LastErrorMessage().c_str());
    std::exit(1);
  }
}

void OpenEngine(const std::string& path, bool exclusive) {
  USE(path + (exclusive ? " EXCLUSIVE" : ""), nullptr, 0);
  Check("USE");
}

void EngineCreate(const std::string& path, int n, bool exclusive) {
  std::vector<FieldEntry> fields(5);
  const struct {
    const char* name;
    char type;
    uint8_t len, dec;
  } defs[] = {{"NAZWISKO", 'C', 30, 0}, {"KWOTA", 'N', 10, 2}, {"ILOSC", 'N', 8, 0}, {"DATA", 'D', 8, 0}, {"AKTYWNY", 'L', 1, 0}};
  for (size_t i = 0; i < 5; ++i) {
    fields[i].Name = defs[i].name;
    fields[i].Type = defs[i].type;
    fields[i].Len = defs[i].len;
    fields[i].Dec = defs[i].dec;
  }
  WorkArea scratch;
  CreateDbf(scratch, path, fields);
  Check("CreateDbf");
  OpenEngine(path, exclusive);
  if (!exclusive && !ALock()) Check("ALock");
  Slots s;
  for (int i = 1; i <= n; ++i) {
    *FieldAddress(0) = 0;
    Fill(s, i);
    Append();
  }
  Check("Append");
  CloseArea();
  Check("CloseArea");
}

void EngineRead(const std::string& path, bool exclusive, int n, Sink& sink) {
  OpenEngine(path, exclusive);
  Slots s;
  int seen = 0;
  for (GoTop(); !dEOF(); SKIP(1)) {
    sink.Engine(s);
    ++seen;
  }
  Check("SKIP");
  if (seen != n) {
    std::fprintf(stderr, "engine read %d records of %d\n", seen, n);
    std::exit(1);
  }
  CloseArea();
}

void EngineLocate(const std::string& path, bool exclusive) {
  OpenEngine(path, exclusive);
  if (Locate("NAZWISKO", std::string("Nowak"), false, 1, false)) {
    std::fprintf(stderr, "engine Locate found a record\n");
    std::exit(1);
  }
  Check("Locate");
  CloseArea();
}

void EngineRandom(const std::string& path, bool exclusive, const std::vector<int>& recs, Sink& sink) {
  OpenEngine(path, exclusive);
  Slots s;
  for (int r : recs) {
    GO(r);
    sink.Engine(s);
  }
  Check("GO");
  CloseArea();
}

// What a program does to change one value of a record: GO, in a shared
// table the record lock, Replace, Unlock.
void ReplaceLoop(bool exclusive, const std::vector<int>& recs) {
  Slots s;
  for (int r : recs) {
    GO(r);
    if (!exclusive && !RLock()) Check("RLock");
    double a;
    std::memcpy(&a, s.amount, sizeof a);
    a += 1;
    std::memcpy(s.amount, &a, sizeof a);
    Replace();
    if (!exclusive) Unlock();
  }
  Check("Replace");
}

void EngineReplace(const std::string& path, bool exclusive, const std::vector<int>& recs) {
  OpenEngine(path, exclusive);
  ReplaceLoop(exclusive, recs);
  CloseArea();
}

// The least the same Replaces can cost on this machine: the table opened
// and closed by the engine, and in between, on its descriptor, only the
// system calls and memory touches that the lock protocol and a write that
// other programs see at once need: the record read through a shared
// mapping (GO), in a shared table a lock of its region, the read again,
// one write of the record, the unlock.
void ReplaceFloor(const std::string& path, bool exclusive, const std::vector<int>& recs) {
  OpenEngine(path, exclusive);
  const WorkArea& a = *CurrentWorkArea();
  const int fd = a.File.Fd();
  const off_t size = ::lseek(fd, 0, SEEK_END);
  void* map = ::mmap(nullptr, size_t(size), PROT_READ, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) std::exit(1);
  const char* bytes = static_cast<const char*>(map);
  std::vector<char> rec(a.RecLen);
  auto lock = [&](short type, int r) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = off_t(DbSettings().LockBase + a.HeaderLen + uint32_t(r - 1) * a.RecLen);
    fl.l_len = a.RecLen;
    if (::fcntl(fd, F_OFD_SETLK, &fl) != 0) std::exit(1);
  };
  for (int r : recs) {
    const off_t pos = off_t(a.HeaderLen) + off_t(r - 1) * a.RecLen;
    std::memcpy(rec.data(), bytes + pos, rec.size());
    if (!exclusive) lock(F_WRLCK, r);
    std::memcpy(rec.data(), bytes + pos, rec.size());
    if (::pwrite(fd, rec.data(), rec.size(), pos) != ssize_t(rec.size())) std::exit(1);
    if (!exclusive) lock(F_UNLCK, r);
  }
  ::munmap(map, size_t(size));
  CloseArea();
}

// Read and write system calls of this process so far, as the kernel
// counts them.
std::pair<long, long> IoCalls() {
  std::ifstream in("/proc/self/io");
  std::string key;
  long value, reads = 0, writes = 0;
  while (in >> key >> value) {
    if (key == "syscr:") reads = value;
    if (key == "syscw:") writes = value;
  }
  return {reads, writes};
}

// The system calls of one Replace loop, per Replace: reads and writes as
// the kernel counts them, lock calls and size queries as the engine's files
// make them (each is one system call). Reads through the mapping make none.
struct SysCalls {
  double reads = 0, writes = 0, locks = 0, sizes = 0;
  double Total() const { return reads + writes + locks + sizes; }
};

SysCalls CountReplaceCalls(const std::string& path, bool exclusive, const std::vector<int>& recs) {
  OpenEngine(path, exclusive);
  long locks = 0, sizes = 0;
  plat::SetFileFaultHook([&](plat::FileOp op, const std::string&, uint64_t) {
    if (op == plat::FileOp::Lock || op == plat::FileOp::Unlock) ++locks;
    if (op == plat::FileOp::Size || op == plat::FileOp::Flush) ++sizes;
    return 0;
  });
  // What looking at the counters costs is seen between two looks.
  const auto first = IoCalls(), before = IoCalls();
  const long ownReads = before.first - first.first, ownWrites = before.second - first.second;
  ReplaceLoop(exclusive, recs);
  const auto after = IoCalls();
  plat::SetFileFaultHook(nullptr);
  CloseArea();
  const double n = double(recs.size());
  SysCalls c;
  c.reads = double(after.first - before.first - ownReads) / n;
  c.writes = double(after.second - before.second - ownWrites) / n;
  c.locks = double(locks) / n;
  c.sizes = double(sizes) / n;
  return c;
}

DBFHandle ShapeOpen(const std::string& path) {
  DBFHandle h = DBFOpen(path.c_str(), "rb+");
  if (!h) {
    std::fprintf(stderr, "shapelib cannot open %s\n", path.c_str());
    std::exit(1);
  }
  return h;
}

void ShapeCreate(const std::string& path, int n) {
  DBFHandle h = DBFCreate(path.c_str());
  DBFAddField(h, "NAZWISKO", FTString, 30, 0);
  DBFAddField(h, "KWOTA", FTDouble, 10, 2);
  DBFAddField(h, "ILOSC", FTInteger, 8, 0);
  DBFAddNativeFieldType(h, "DATA", 'D', 8, 0);
  DBFAddNativeFieldType(h, "AKTYWNY", 'L', 1, 0);
  for (int i = 1; i <= n; ++i) {
    const int rec = i - 1;
    DBFWriteStringAttribute(h, rec, 0, Name(i).c_str());
    DBFWriteDoubleAttribute(h, rec, 1, Amount(i));
    DBFWriteIntegerAttribute(h, rec, 2, Count(i));
    DBFWriteStringAttribute(h, rec, 3, StoredDate(i).c_str());
    DBFWriteLogicalAttribute(h, rec, 4, i % 3 == 0 ? 'T' : 'F');
  }
  DBFClose(h);
}

void ShapeRead(const std::string& path, int n, Sink& sink) {
  DBFHandle h = ShapeOpen(path);
  const int count = DBFGetRecordCount(h);
  if (count != n) std::exit(1);
  for (int r = 0; r < count; ++r) sink.Shape(h, r);
  DBFClose(h);
}

void ShapeLocate(const std::string& path) {
  DBFHandle h = ShapeOpen(path);
  const int count = DBFGetRecordCount(h);
  for (int r = 0; r < count; ++r)
    if (std::strncmp(DBFReadStringAttribute(h, r, 0), "Nowak", 5) == 0) std::exit(1);
  DBFClose(h);
}

void ShapeRandom(const std::string& path, const std::vector<int>& recs, Sink& sink) {
  DBFHandle h = ShapeOpen(path);
  for (int r : recs) sink.Shape(h, r - 1);
  DBFClose(h);
}

void ShapeReplace(const std::string& path, const std::vector<int>& recs) {
  DBFHandle h = ShapeOpen(path);
  for (int r : recs) DBFWriteDoubleAttribute(h, r - 1, 1, DBFReadDoubleAttribute(h, r - 1, 1) + 1);
  DBFClose(h);
}

double RawRead(const std::string& path) {
  auto t = Clock::now();
  std::vector<char> buf(1 << 20);
  FILE* f = std::fopen(path.c_str(), "rb");
  size_t total = 0, got;
  while ((got = std::fread(buf.data(), 1, buf.size(), f)) > 0) total += got;
  std::fclose(f);
  double s = Seconds(t);
  if (total == 0) std::exit(1);
  return s;
}

double Ns(double seconds, int per) { return seconds * 1e9 / per; }

// Runs the three sides `rounds` times, taking turns, and keeps the best
// time of each. `floor` (exclusive or not), when given, takes its turn
// too: the least the engine's work can cost, printed below the step.
template <class E, class S>
void Step(const char* name, int per, int rounds, E&& engine, S&& shape,
          const std::function<void(bool)>& floor = nullptr) {
  Row row{name, per, 1e300, 1e300, 1e300, 0, 0};
  if (floor) row.floorExclusive = row.floorShared = 1e300;
  for (int r = 0; r < rounds; ++r) {
    auto ex = TimeEngine([&] { engine(true); });
    auto sh = TimeEngine([&] { engine(false); });
    auto t = Clock::now();
    shape();
    row.shape = std::min(row.shape, Seconds(t));
    if (ex.first < row.exclusive) row.exclusive = ex.first, row.rssExclusive = ex.second;
    if (sh.first < row.shared) row.shared = sh.first, row.rssShared = sh.second;
    if (floor) {
      row.floorExclusive = std::min(row.floorExclusive, TimeEngine([&] { floor(true); }).first);
      row.floorShared = std::min(row.floorShared, TimeEngine([&] { floor(false); }).first);
    }
  }
  g_rows.push_back(row);
  std::printf("%-26s engine excl %7.0f ns (x%.2f)  shared %7.0f ns (x%.2f)  shapelib %7.0f ns   rss +%ld/+%ld KiB\n",
              name, Ns(row.exclusive, per), row.exclusive / row.shape, Ns(row.shared, per), row.shared / row.shape,
              Ns(row.shape, per), row.rssExclusive, row.rssShared);
  if (floor)
    std::printf("%-26s        excl %7.0f ns (x%.2f)  shared %7.0f ns (x%.2f)\n", "  its system calls alone",
                Ns(row.floorExclusive, per), row.floorExclusive / row.shape, Ns(row.floorShared, per),
                row.floorShared / row.shape);
  std::fflush(stdout);
}

constexpr int kRounds = 3;

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 1000000;
  if (n < 1) return 2;
  char tmpl[] = "/tmp/dbfbenchXXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  EngineStartup();
  SetDateFormat(4);
  SetCentury();
  const std::string engineFile = dir + "/ENGINE.DBF", sharedFile = dir + "/SHARED.DBF", shapeFile = dir + "/shape.dbf";

  std::printf("%d records, %s, load averages %s; times per record (per GO, per Replace), best of %d runs;\n"
              "ratios are engine time / shapelib time\n",
              n, bench::Cores().c_str(), LoadAverages().c_str(), kRounds);
  // Each turn on a fresh file: none left over from the turn before.
  Step(
      "create + append all", n, kRounds,
      [&](bool exclusive) {
        const std::string& file = exclusive ? engineFile : sharedFile;
        std::filesystem::remove(file);
        EngineCreate(file, n, exclusive);
      },
      [&] {
        std::filesystem::remove(shapeFile);
        ShapeCreate(shapeFile, n);
      });
  std::printf("file sizes: engine %lld, shapelib %lld bytes\n", (long long)std::filesystem::file_size(engineFile),
              (long long)std::filesystem::file_size(shapeFile));

  Sink sink;
  Step(
      "read all, natural order", n, kRounds, [&](bool exclusive) { EngineRead(engineFile, exclusive, n, sink); },
      [&] { ShapeRead(shapeFile, n, sink); });
  const Row read = g_rows.back();
  double raw = RawRead(engineFile);
  for (int r = 1; r < kRounds; ++r) raw = std::min(raw, RawRead(engineFile));
  std::printf("%-26s %7.1f ns; exclusive read = x%.1f of it, shared read = x%.2f of exclusive\n",
              "read the file's bytes", Ns(raw, n), read.exclusive / raw, read.shared / read.exclusive);

  Step(
      "Locate, no match", n, kRounds, [&](bool exclusive) { EngineLocate(engineFile, exclusive); },
      [&] { ShapeLocate(shapeFile); });

  std::mt19937 rng(42);
  std::uniform_int_distribution<int> pick(1, n);
  std::vector<int> randomRecs(100000), replaceRecs(10000);
  for (int& r : randomRecs) r = pick(rng);
  for (int& r : replaceRecs) r = pick(rng);
  Step(
      "100,000 random GO + read", int(randomRecs.size()), kRounds,
      [&](bool exclusive) { EngineRandom(engineFile, exclusive, randomRecs, sink); },
      [&] { ShapeRandom(shapeFile, randomRecs, sink); });
  Step(
      "10,000 Replace", int(replaceRecs.size()), kRounds,
      [&](bool exclusive) { EngineReplace(engineFile, exclusive, replaceRecs); },
      [&] { ShapeReplace(shapeFile, replaceRecs); },
      [&](bool exclusive) { ReplaceFloor(engineFile, exclusive, replaceRecs); });
  for (bool exclusive : {true, false}) {
    const SysCalls c = CountReplaceCalls(engineFile, exclusive, replaceRecs);
    std::printf("%-26s %s %.2f: %.2f reads, %.2f writes, %.2f lock calls, %.2f size queries\n",
                "  system calls per Replace", exclusive ? "excl  " : "shared", c.Total(), c.reads, c.writes, c.locks,
                c.sizes);
  }

  std::vector<bench::Target> targets = {
      {"read all, exclusive / shapelib", read.exclusive / read.shape, 0.33},
      {"read all, exclusive / the file's bytes", read.exclusive / raw, 10.0},
      {"read all, shared / exclusive", read.shared / read.exclusive, 1.5},
  };
  for (const Row& row : g_rows) {
    const bool replace = std::strcmp(row.step, "10,000 Replace") == 0;
    if (row.step != read.step)
      targets.push_back({std::string(row.step) + ", exclusive / shapelib", row.exclusive / row.shape, 0.5, row.floorExclusive / row.shape});
    targets.push_back({std::string(row.step) + ", shared / shapelib", row.shared / row.shape, replace ? 1.0 : 0.5, row.floorShared / row.shape});
  }
  const int missed = bench::ReportTargets(targets);
  std::printf("(checksum %.0f %zu; load averages at the end %s)\n", sink.sum, sink.bytes, LoadAverages().c_str());
  EngineShutdown();
  std::filesystem::remove_all(dir);
  return missed == 0 ? 0 : 2;
}

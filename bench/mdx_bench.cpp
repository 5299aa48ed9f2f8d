// MDX indexes on a real table: the build of a C(10), an N and a D tag,
// random seeks, a full scan in key order, and appends that keep the three
// tags, each exclusive and shared (the semaphore file's brackets around
// every move and change, anchors under the file's lock).
//
//   mdx_bench [records] [appends]      (defaults 1000000 and 100000)
//
// Prints the machine's core count, the times, the build's time per record
// at a tenth and at all of the records (O(N log N) keeps their ratio near
// log N / log(N/10)), the growth of the resident memory over the build,
// the node reads of a seek against the tree's depth, the ordered scan
// against the natural-order scan per record (the two take turns eleven
// times on a copy of the table each, three times shared, the best of each
// counts, since the machine may be shared, and the spread of each, its
// slowest turn over its best, is printed), the index file's size; then the
// appends, exclusive and shared, against the shared ones' semaphore file
// operations alone (five turns of each in alternation, the best counting),
// with the operations per append counted; and at the end the targets with
// what this run measured; the exit status is 2 when a target was missed.
#include <stdlib.h>

#include <algorithm>
#include <charconv>
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
#include "platform/byteorder.h"
#include "platform/pfile.h"
#include "tables/tablesinit.h"
#include "tables/mdx/tzndx.h"
#include "tables/mdx/tzndx_sema.h"
#include "tables/expr/tzndxlow.h"
#include "tablebase/dbf4.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"

namespace {

using bench::Clock;
using bench::RssKb;
using bench::Seconds;

// Record i: a name of 10 characters (many repeat), an amount, a date.
std::string Name(uint32_t v) {
  static const char* const kNames[] = {"NOWAK", "KOWALSKI", "WOJCIK", "ZIELINSKI", "LEWANDOWSK", "KAMINSKI"};
  std::string s = kNames[v % 6];
  s += std::to_string(v / 6 % 100000);
  s.resize(10, ' ');
  return s;
}

void WriteTable(const std::string& path, int records) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  bench::WriteDbfHeader(out, uint32_t(records), {{"NAZWA", 'C', 10, 0}, {"KWOTA", 'N', 12, 2}, {"DATA", 'D', 8, 0}});
  std::mt19937 rng(11);
  std::string rec;
  for (int r = 0; r < records; ++r) {
    rec = " " + Name(rng());
    std::string amount = FormatNumber(double(rng() % 100000000) / 100.0, 12, 2);
    rec += amount;
    rec += JulianToDtos(JulianFromYMD(1950 + int(rng() % 75), 1 + int(rng() % 12), 1 + int(rng() % 28)));
    out.write(rec.data(), std::streamsize(rec.size()));
  }
  out.put('\x1A');
}

// A scan of the current area in its order: natural, or the controlling
// tag's.
double Scan(long& count) {
  auto start = Clock::now();
  count = 0;
  for (GoTop(); !dEOF(); SKIP(1)) ++count;
  return Seconds(start);
}

// Depth of the first tag's tree, read from the file.
int Depth(const std::string& mdx) {
  std::ifstream in(mdx, std::ios::binary);
  auto at = [&](uint32_t page, size_t off, size_t len) {
    std::string b(len, '\0');
    in.seekg(std::streamoff(page) * 512 + std::streamoff(off));
    in.read(b.data(), std::streamsize(len));
    return b;
  };
  uint32_t header = plat::readLE32(at(1, 32, 4).data());
  std::string th = at(header, 0, 20);
  uint32_t page = plat::readLE32(th.data());
  const uint16_t item = plat::readLE16(th.data() + 18);
  int depth = 1;
  for (;;) {
    std::string node = at(page, 0, 1024);
    uint32_t count = plat::readLE32(node.data());
    if (plat::readLE32(node.data() + 8 + count * item) == 0) return depth;
    page = plat::readLE32(node.data() + 8);
    ++depth;
  }
}

bool Check(const char* what) {
  if (LastErrorCode() == 0) return true;
  std::fprintf(stderr, "%s: %d %s\n", what, LastErrorCode(), LastErrorMessage().c_str());
  return false;
}

double Ns(double seconds, long per) { return seconds * 1e9 / double(std::max(per, 1L)); }

std::vector<bench::Target> g_targets;

// Turns of the two scans: the exclusive ones are the target's; a shared
// key-order scan takes seconds and has none.
constexpr int kRounds = 11, kSharedRounds = 3;

// The table of each mode, and the area that keeps it open for the appends.
std::string TableName(bool shared) { return shared ? "SHARED" : "BENCH"; }
int AreaOf(bool shared) { return shared ? 3 : 1; }

bool Run(const std::string& dir, bool shared) {
  const std::string base = dir + "/" + TableName(shared), natural = dir + "/NATURAL.DBF";
  const std::string table = base + ".DBF", mdx = base + ".MDX";
  const char* mode = shared ? "shared" : "exclusive";
  std::printf("\n%s\n", mode);
  // The natural-order side scans a copy without an index in area 2.
  std::filesystem::copy_file(table, natural, std::filesystem::copy_options::overwrite_existing);
  Select(2);
  USE(natural + (shared ? "" : " EXCLUSIVE"), nullptr, 0);
  if (!Check("USE")) return false;
  long count = 0;
  Scan(count);  // warm the page cache
  Select(AreaOf(shared));
  USE(table + (shared ? "" : " EXCLUSIVE"), nullptr, 0);
  if (!Check("USE")) return false;

  const std::vector<TIndexTagSpec> specs = {{"NAZWA", "NAZWA", "", 0, 0}, {"KWOTA", "KWOTA", "", 0, 0},
                                            {"DATA", "DATA", "", 0, 0}};
  auto start = Clock::now();
  const long rss = RssKb();
  if (!MakeIndex(specs, "") || !Check("MakeIndex")) return false;
  const double build = Seconds(start);
  std::printf("  build of 3 tags: %.3f s (%.0f ns per record and tag), memory +%ld KB, file %.1f MB\n", build,
              build * 1e9 / 3 / double(count), RssKb() - rss, double(std::filesystem::file_size(mdx)) / 1048576);
  if (!SetIndexTo("") || !Check("SetIndexTo")) return false;

  // Seeks of names that are there.
  std::mt19937 rng(11);
  std::vector<std::string> keys;
  for (int i = 0; i < 100000; ++i) keys.push_back(Name(rng()));
  std::shuffle(keys.begin(), keys.end(), rng);
  int found = 0;
  start = Clock::now();
  for (const auto& k : keys) found += Find(k) ? 1 : 0;
  const double seeks = Seconds(start);
  long reads = 0;
  plat::SetFileFaultHook([&](plat::FileOp op, const std::string& path, uint64_t) {
    if (op == plat::FileOp::Read && path.size() > 4 && path.compare(path.size() - 4, 4, ".MDX") == 0) ++reads;
    return 0;
  });
  for (int i = 0; i < 1000; ++i) Find(keys[size_t(i)]);
  plat::SetFileFaultHook({});
  std::printf("  %zu seeks: %.3f s (%.2f us each, %d found), %.2f node reads per seek, tree depth %d\n",
              keys.size(), seeks, seeks * 1e6 / double(keys.size()), found, double(reads) / 1000, Depth(mdx));

  double scan = 1e300, plain = 1e300, scanWorst = 0, plainWorst = 0;
  long ordered = 0;
  const int rounds = shared ? kSharedRounds : kRounds;
  for (int r = 0; r < rounds; ++r) {
    Select(2);
    const double p = Scan(count);
    Select(AreaOf(shared));
    const double k = Scan(ordered);
    plain = std::min(plain, p);
    plainWorst = std::max(plainWorst, p);
    scan = std::min(scan, k);
    scanWorst = std::max(scanWorst, k);
  }
  // A shared move takes the semaphore file's read bracket (its locks and
  // record I/O) that a natural-order move does without.
  constexpr double kScanLimit = 2.7;
  std::printf("  scan of %ld records, best of %d turns: natural order %.1f ns per record (spread %.0f%%), key order"
              " %.1f ns (spread %.0f%%), %.2f times%s\n",
              ordered, rounds, Ns(plain, count), 100 * (plainWorst / plain - 1), Ns(scan, ordered),
              100 * (scanWorst / scan - 1), scan / plain,
              shared ? "" : (" (limit " + std::to_string(int(kScanLimit * Ns(plain, count) + 0.5)) + " ns)").c_str());
  g_targets.push_back({std::string("seek, node reads / tree depth, ") + mode, double(reads) / 1000 / Depth(mdx), 1.0});
  if (!shared) g_targets.push_back({"ordered scan / natural-order scan, exclusive", scan / plain, kScanLimit});

  // The table stays open for the appends; the natural-order copy goes.
  Select(2);
  CloseArea();
  std::filesystem::remove(natural);
  return true;
}

// `n` appends to the current area's table, each with a new name; a shared
// table's under its table lock, as a program sharing it appends.
bool Appends(bool shared, int n, std::mt19937& rng) {
  char* name = FieldAddress(1);
  for (int i = 0; i < n; ++i) {
    std::string v = Name(rng());
    name[0] = char(v.size());
    std::memcpy(name + 1, v.data(), v.size());
    if (shared && !ALock()) {
      Check("ALock");
      return false;
    }
    Append();
    if (shared) Unlock();
    if (!Check("Append")) return false;
  }
  return true;
}

// What the write bracket of `n` uncontended shared appends does to the
// semaphore file, alone: the test of the lock region and a read of the
// record, the region's lock, a read and a write (the writer mark), a read
// and a write (the counter moved on) and the region's unlock. The record
// is written back as it was read, so the file stays as it is.
bool RoundTrips(plat::File& sem, int n) {
  uint8_t rec[4];
  size_t got = 0;
  for (int i = 0; i < n; ++i) {
    if (sem.IsLockedByOther(0, 4) || sem.ReadAt(0, rec, 4, &got) != 0 || sem.Lock(1, 4) != 0 ||
        sem.ReadAt(0, rec, 4, &got) != 0 || sem.WriteAt(0, rec, 4) != 0 || sem.ReadAt(0, rec, 4, &got) != 0 ||
        sem.WriteAt(0, rec, 4) != 0 || sem.Unlock(1, 4) != 0) {
      std::fprintf(stderr, "semaphore file round trip failed\n");
      return false;
    }
  }
  return true;
}

// The operations on semaphore files while `work` runs, per `per`, as the
// engine's file layer makes them (each one system call).
std::string SemaphoreCalls(int per, const std::function<bool()>& work) {
  long reads = 0, writes = 0, locks = 0;
  plat::SetFileFaultHook([&](plat::FileOp op, const std::string& path, uint64_t) {
    if (path.ends_with(".@S@")) {
      reads += op == plat::FileOp::Read;
      writes += op == plat::FileOp::Write;
      locks += op == plat::FileOp::Lock || op == plat::FileOp::Unlock;
    }
    return 0;
  });
  const bool ok = work();
  plat::SetFileFaultHook({});
  char text[96];
  std::snprintf(text, sizeof text, "%.1f reads, %.1f writes, %.1f locks and unlocks", double(reads) / per,
                double(writes) / per, double(locks) / per);
  return ok ? text : "";
}

// Appends keeping three tags, exclusive (area 1) and shared (area 3), and
// the shared ones' semaphore file operations alone, taking turns; the best
// turn of each counts.
constexpr int kAppendTurns = 5;

bool AppendTurns(const std::string& dir, int appends) {
  plat::File sem;
  const std::string semName = SemaphoreFileName(dir + "/" + TableName(true) + ".DBF");
  if (int rc = sem.Open(semName, plat::kAccessReadWrite | plat::kShareDenyNone)) {
    std::fprintf(stderr, "cannot open %s: %d\n", semName.c_str(), rc);
    return false;
  }
  std::mt19937 rng(12);
  constexpr int kCounted = 1000;
  Select(AreaOf(true));
  const std::string engineCalls = SemaphoreCalls(kCounted, [&] { return Appends(true, kCounted, rng); });
  const std::string aloneCalls = SemaphoreCalls(kCounted, [&] { return RoundTrips(sem, kCounted); });
  if (engineCalls.empty() || aloneCalls.empty()) return false;

  const int per = std::max(appends / kAppendTurns, 1);
  double best[3] = {1e300, 1e300, 1e300}, worst[3] = {0, 0, 0};
  for (int turn = 0; turn < kAppendTurns; ++turn) {
    for (int side = 0; side < 3; ++side) {
      const auto start = Clock::now();
      bool ok = true;
      if (side < 2) {
        Select(AreaOf(side == 1));
        ok = Appends(side == 1, per, rng);
      } else {
        ok = RoundTrips(sem, per);
      }
      const double s = Seconds(start);
      if (!ok) return false;
      best[side] = std::min(best[side], s);
      worst[side] = std::max(worst[side], s);
    }
  }
  auto us = [&](int side) { return best[side] * 1e6 / per; };
  auto spread = [&](int side) { return 100 * (worst[side] / best[side] - 1); };
  const double exclusive = us(0), shared = us(1), trips = us(2);
  std::printf("\nappends with 3 tags, best of %d turns of %d each, taken in alternation:\n", kAppendTurns, per);
  std::printf("  exclusive %.1f us each (spread %.0f%%), shared %.1f us (spread %.0f%%): x%.2f\n", exclusive,
              spread(0), shared, spread(1), shared / exclusive);
  std::printf("  semaphore file per shared append: %s (alone: %s)\n", engineCalls.c_str(), aloneCalls.c_str());
  std::printf("  those round trips alone %.1f us (spread %.0f%%); with the exclusive append %.1f us, the shared"
              " append x%.2f of that\n",
              trips, spread(2), trips + exclusive, shared / (trips + exclusive));
  // x3 of the exclusive append, or, where the semaphore file's round trips
  // alone take more than the exclusive append, x1.5 of the two together.
  const double floor = (trips + exclusive) / exclusive;
  g_targets.push_back({"append with 3 tags, shared / exclusive", shared / exclusive, std::max(3.0, 1.5 * floor),
                       floor, "round trips + exclusive"});
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int records = 1000000, appends = 100000;
  if (argc > 1) std::from_chars(argv[1], argv[1] + std::strlen(argv[1]), records);
  if (argc > 2) std::from_chars(argv[2], argv[2] + std::strlen(argv[2]), appends);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  char tmpl[] = "/tmp/ruvmdxbenchXXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  std::printf("%d records, %s, load %s\n", records, bench::Cores().c_str(),
              bench::LoadAverages().c_str());
  TablesStartup();
  SetAutoErrorHandling(false);
  SetCentury();
  SetDateFormat(4);

  // The build's growth: a tenth of the records, then all of them.
  for (int n : {records / 10, records}) {
    WriteTable(dir + "/GROWTH.DBF", n);
    Select(1);
    USE(dir + "/GROWTH.DBF EXCLUSIVE", nullptr, 0);
    auto start = Clock::now();
    if (!MakeIndex({{"NAZWA", "NAZWA", "", 0, 0}}, "")) return Check("MakeIndex") ? 0 : 1;
    std::printf("build of one C(10) tag over %d records: %.0f ns per record\n", n,
                Seconds(start) * 1e9 / double(std::max(n, 1)));
    CloseAll();
  }
  int rc = 0;
  for (bool shared : {false, true}) {
    WriteTable(dir + "/" + TableName(shared) + ".DBF", records);
    if (!Run(dir, shared)) rc = 1;
  }
  if (rc == 0 && !AppendTurns(dir, appends)) rc = 1;
  CloseAll();
  std::filesystem::remove_all(dir);
  std::printf("\nload at the end %s\n", bench::LoadAverages().c_str());
  if (bench::ReportTargets(g_targets) > 0 && rc == 0) rc = 2;
  return rc;
}

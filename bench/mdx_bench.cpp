// MDX indexes on a real table: the build of a C(10), an N and a D tag,
// random seeks, a full scan in key order, and appends that keep the three
// tags, each exclusive and shared (the semaphore file's brackets around
// every move and change, anchors under the file's lock).
//
//   mdx_bench [records]      (default 1000000)
//
// Prints the machine's core count, the times, the build's time per record
// at a tenth and at all of the records (O(N log N) keeps their ratio near
// log N / log(N/10)), the growth of the resident memory over the build,
// the node reads of a seek against the tree's depth, the ordered scan
// against the natural-order scan per record (the two take turns eleven
// times on a copy of the table each, three times shared, the best of each
// counts, since the machine may be shared, and the spread of each, its
// slowest turn over its best, is printed), the index file's size, and at the end the targets
// with what this run measured; the exit status is 2 when a target was
// missed.
#include <stdlib.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "platform/byteorder.h"
#include "platform/pfile.h"
#include "tables/tablesinit.h"
#include "tables/mdx/tzndx.h"
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

bool Run(const std::string& dir, bool shared) {
  const std::string table = dir + "/BENCH.DBF", natural = dir + "/NATURAL.DBF", mdx = dir + "/BENCH.MDX";
  const char* mode = shared ? "shared" : "exclusive";
  std::printf("\n%s\n", mode);
  // The natural-order side scans a copy without an index in area 2.
  std::filesystem::copy_file(table, natural, std::filesystem::copy_options::overwrite_existing);
  Select(2);
  USE(natural + (shared ? "" : " EXCLUSIVE"), nullptr, 0);
  if (!Check("USE")) return false;
  long count = 0;
  Scan(count);  // warm the page cache
  Select(1);
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
    Select(1);
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

  start = Clock::now();
  char* name = FieldAddress(1);
  for (int i = 0; i < 100000; ++i) {
    std::string n = Name(rng());
    name[0] = char(n.size());
    std::memcpy(name + 1, n.data(), n.size());
    if (shared && !ALock()) return Check("ALock");
    Append();
    if (shared) Unlock();
    if (!Check("Append")) return false;
  }
  const double appends = Seconds(start);
  std::printf("  100000 appends with 3 tags: %.3f s (%.1f us each), file %.1f MB\n", appends, appends * 1e6 / 1e5,
              double(std::filesystem::file_size(mdx)) / 1048576);
  CloseAll();
  std::filesystem::remove(natural);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int records = 1000000;
  if (argc > 1) std::from_chars(argv[1], argv[1] + std::strlen(argv[1]), records);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  char tmpl[] = "/tmp/ruvmdxbenchXXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  std::printf("%d records, %u cores, load %s\n", records, std::thread::hardware_concurrency(),
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
    WriteTable(dir + "/BENCH.DBF", records);
    std::filesystem::remove(dir + "/BENCH.MDX");
    if (!Run(dir, shared)) rc = 1;
  }
  std::filesystem::remove_all(dir);
  std::printf("\nload at the end %s\n", bench::LoadAverages().c_str());
  if (bench::ReportTargets(g_targets) > 0 && rc == 0) rc = 2;
  return rc;
}

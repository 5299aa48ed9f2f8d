// Memo files of the three flavours (dBASE III, dBASE IV, FoxPro), each
// exclusive and shared: writing, reading and rewriting memos of 250 to 350
// bytes.
//
//   memo_bench [memos]      (default 100000)
//
// Per flavour and mode: the memos are written (AddMemo), the memo file's
// bytes are read alone (plain reads of 64 KiB), the memos are read back
// through blob descriptors as a stream reads them (into a 32 KiB buffer
// until the memo ends), and then as many rewrites as there are memos go
// through the text device to the memos of random records with texts of 100
// to 1,400 bytes, each record written with its new reference (a dBASE IV
// memo's text goes to a free run or to the end, and its old blocks join the
// free chain once the record refers to the new one). Each memo has a
// record of its own. The
// reading and the bytes alone take turns three times and the best of each
// counts (the machine may be shared). Prints the core count and the load
// averages, the ns per memo of each step, the rewrite's ns per memo over
// its first and its last tenth, the memo file's size after writing and
// after rewriting, and at the end the targets with what this run measured:
// the read within x10 of reading the file's bytes alone, the last tenth of
// the rewrites within x2 of the first. The exit status is 2 when a target
// was missed. Memo writes are not synced one by one (the memo layer's
// no-flush switch), so that the disk's speed stays out of the figures.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "platform/byteorder.h"
#include "tables/memo/memo.h"
#include "tables/tablesinit.h"
#include "tablebase/dbf4.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzdbflow.h"
#include "tablebase/tzutils.h"

namespace {

using bench::Clock;
using bench::Seconds;

constexpr int kTurns = 3;

bool Check(const char* what) {
  if (LastErrorCode() == 0) return true;
  std::fprintf(stderr, "%s: %d %s\n", what, LastErrorCode(), LastErrorMessage().c_str());
  return false;
}

double Ns(double seconds, size_t per) { return seconds * 1e9 / double(std::max<size_t>(per, 1)); }

std::string Text(std::mt19937& rng, size_t minLen, size_t maxLen) {
  static const char kWords[] = "pracownik szkolenie badanie okresowe stanowisko uwagi ";
  std::string s(minLen + rng() % (maxLen - minLen + 1), ' ');
  const size_t offset = rng() % (sizeof kWords - 1);
  for (size_t i = 0; i < s.size(); ++i) s[i] = kWords[(offset + i) % (sizeof kWords - 1)];
  s.back() = '.';
  return s;
}

// Reads the file's bytes with plain reads of 64 KiB (past the share mode
// of an exclusive open); the bytes read.
size_t ReadBytesAlone(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  std::vector<char> buf(64 * 1024);
  size_t total = 0;
  for (ssize_t n; (n = ::pread(fd, buf.data(), buf.size(), off_t(total))) > 0;) total += size_t(n);
  ::close(fd);
  return total;
}

// The runs of a dBASE IV memo file's free chain, walked as any program
// walks it: from the header to a pointer at or past the file's end.
size_t ChainRuns(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string b((std::istreambuf_iterator<char>(in)), {});
  const uint32_t blocks = uint32_t((b.size() + 511) / 512);
  size_t runs = 0;
  for (uint32_t at = plat::readLE32(reinterpret_cast<const uint8_t*>(b.data())); at > 0 && at < blocks && runs < blocks;
       ++runs)
    at = plat::readLE32(reinterpret_cast<const uint8_t*>(b.data()) + size_t(at) * 512);
  return runs;
}

// Reads every memo as a stream does; the bytes read.
size_t ReadMemos(const std::vector<int32_t>& refs) {
  static std::vector<char> buf(32 * 1024);
  size_t total = 0;
  for (int32_t ref : refs) {
    CreateBlobDescriptor(false, ref, kBlobRead);
    while (int32_t n = ReadBlob(buf.data(), int32_t(buf.size()))) total += size_t(n);
    DestroyBlobDescriptor();
  }
  return total;
}

// Rewrites the memo of record `recno` and writes the record with its new
// reference, which it answers.
int32_t RewriteRecord(int32_t recno, const std::string& text) {
  GO(recno);
  RLock();
  int32_t ref;
  std::memcpy(&ref, FieldAddress(2), sizeof ref);
  {
    TextFile f;
    AssignMemo(f, ref);
    f.Rewrite();
    f.Write(text);
  }
  std::memcpy(FieldAddress(2), &ref, sizeof ref);
  Replace();
  Unlock();
  return ref;
}

std::vector<bench::Target> g_targets;

bool Run(const std::string& dir, uint8_t version, const char* flavour, bool shared, size_t memos) {
  const std::string table = dir + "/MEMO.DBF";
  const std::string memoFile = dir + (version == 0xF5 ? "/MEMO.FPT" : "/MEMO.DBT");
  const std::string name = std::string(flavour) + (shared ? " shared" : " exclusive");
  DbSettings().DefaultVersionByte = version;
  WorkArea scratch;
  std::vector<FieldEntry> fields = {{"ID", 'N', 6, 0}, {"UWAGI", 'M', 10, 0}};
  CreateDbf(scratch, table, fields);
  if (!Check("CreateDbf")) return false;
  Select(1);
  USE(table + (shared ? "" : " EXCLUSIVE"), nullptr, 0);
  if (!Check("USE")) return false;

  std::mt19937 rng(20261207);
  std::vector<int32_t> refs(memos);
  auto start = Clock::now();
  for (int32_t& ref : refs) ref = AddMemo(Text(rng, 250, 350));
  const double write = Seconds(start);
  if (!Check("AddMemo")) return false;
  ALock();
  for (int32_t ref : refs) {
    std::memcpy(FieldAddress(2), &ref, sizeof ref);
    Append();
  }
  Unlock();
  if (!Check("Append")) return false;
  const auto written = std::filesystem::file_size(memoFile);

  double read = 1e9, alone = 1e9;
  size_t readBytes = 0, aloneBytes = 0;
  for (int turn = 0; turn < kTurns; ++turn) {
    start = Clock::now();
    aloneBytes = ReadBytesAlone(memoFile);
    alone = std::min(alone, Seconds(start));
    start = Clock::now();
    readBytes = ReadMemos(refs);
    read = std::min(read, Seconds(start));
    if (!Check("ReadBlob")) return false;
  }

  const size_t tenth = std::max<size_t>(memos / 10, 1);
  double first = 0, last = 0;
  start = Clock::now();
  auto step = start;
  for (size_t i = 0; i < memos; ++i) {
    const size_t record = rng() % memos;
    refs[record] = RewriteRecord(int32_t(record + 1), Text(rng, 100, 1400));
    if (i + 1 == tenth) first = Seconds(step);
    if (i + 1 == memos - tenth) step = Clock::now();
  }
  last = Seconds(step);
  const double rewrite = Seconds(start);
  if (!Check("Rewrite")) return false;
  const auto rewritten = std::filesystem::file_size(memoFile);
  CloseAll();
  const size_t runs = version == 0x83 || version == 0xF5 ? 0 : ChainRuns(memoFile);

  std::printf("\n%s (load %s)\n", name.c_str(), bench::LoadAverages().c_str());
  std::printf("  write %zu memos:                  %8.0f ns per memo\n", memos, Ns(write, memos));
  std::printf("  read them (%zu bytes):            %8.0f ns per memo\n", readBytes, Ns(read, memos));
  std::printf("  the file's bytes alone (%zu):     %8.0f ns per memo\n", aloneBytes, Ns(alone, memos));
  std::printf("  rewrite %zu times:                %8.0f ns per memo (first tenth %.0f, last tenth %.0f)\n", memos,
              Ns(rewrite, memos), Ns(first, tenth), Ns(last, tenth));
  std::printf("  memo file: %llu bytes written, %llu after the rewrites", (unsigned long long)written,
              (unsigned long long)rewritten);
  if (version == 0x8B) std::printf(", its free chain %zu runs", runs);
  std::printf("\n");
  g_targets.push_back({name + ": read / bytes alone", read / alone, 10});
  g_targets.push_back({name + ": rewrite last tenth / first", last / first, 2});
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  size_t memos = 100000;
  if (argc > 1) std::from_chars(argv[1], argv[1] + std::strlen(argv[1]), memos);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  char tmpl[] = "/tmp/ruvmemobenchXXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  std::printf("%zu memos, %s, load %s\n", memos, bench::Cores().c_str(),
              bench::LoadAverages().c_str());
  TablesStartup();
  SetAutoErrorHandling(false);
  // Each memo written reaches the disk when the system sees fit, not at
  // once: a sync per memo would measure the disk.
  Engine().memo.NoFlush = true;
  int rc = 0;
  const struct {
    uint8_t version;
    const char* name;
  } flavours[] = {{0x83, "dBASE III"}, {0x8B, "dBASE IV"}, {0xF5, "FoxPro"}};
  for (const auto& f : flavours)
    for (bool shared : {false, true})
      if (!Run(dir, f.version, f.name, shared, memos)) rc = 1;
  std::filesystem::remove_all(dir);
  if (bench::ReportTargets(g_targets) > 0 && rc == 0) rc = 2;
  return rc;
}

// Typical index keys and a FOR condition over every record of a real
// table, against the time of reading the records themselves.
//
//   expr_bench [records] [turns]      (default 1000000 and 15)
//
// Writes a table of that many records into a temporary folder. For each
// expression, scans that read the records alone and scans that also make
// the expression's key from every record, as an index build and key
// maintenance make it (the text of a C key, the packed-decimal key of an N
// tag, the date key of a D tag; the FOR condition's logical value), take
// turns; the best of each counts, since the machine may be shared, and the
// spread of each (its slowest turn over its best) is printed. The key's
// cost is the difference of the two bests. The target: making a key costs
// at most half of reading its record (the FOR condition is shown without a
// target). Beside it stands the evaluation alone, repeated on one record,
// where every branch is predicted and the number stays in a register. The
// exit status is 2 when a key misses the target.
#include <stdlib.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "tables/tablesinit.h"
#include "tables/expr/tzndxlow.h"
#include "tables/expr/tzparser.h"
#include "tablebase/dbf4.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"

namespace {

std::string Padded(std::string s, int len, bool right) {
  if (int(s.size()) >= len) return s.substr(0, size_t(len));
  return right ? std::string(size_t(len) - s.size(), ' ') + s : s + std::string(size_t(len) - s.size(), ' ');
}

void WriteTable(const std::string& path, int records) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  bench::WriteDbfHeader(out, uint32_t(records),
                        {{"NAZWISKO", 'C', 25, 0}, {"IMIE", 'C', 15, 0}, {"DATA", 'D', 8, 0},
                         {"KWOTA", 'N', 12, 2}, {"ILOSC", 'N', 6, 0}, {"AKTYWNY", 'L', 1, 0}});
  static const char* const kNames[] = {"Nowak", "Kowalski", "Wisniewski", "Wojcik", "Kowalczyk",
                                       "Kaminski", "Lewandowski", "Zielinski", "Szymanski", "Wozniak"};
  static const char* const kFirst[] = {"Anna", "Piotr", "Maria", "Jan", "Katarzyna", "Tomasz"};
  std::mt19937 rng(7);
  std::string rec;
  for (int r = 0; r < records; ++r) {
    rec.assign(1, ' ');
    rec += Padded(std::string(kNames[rng() % 10]) + char('a' + rng() % 26), 25, false);
    rec += Padded(kFirst[rng() % 6], 15, false);
    rec += JulianToDtos(JulianFromYMD(1950 + int(rng() % 75), 1 + int(rng() % 12), 1 + int(rng() % 28)));
    rec += Padded(FormatNumber(double(rng() % 10000000) / 100.0, 0, 2), 12, true);
    rec += Padded(std::to_string(rng() % 1000), 6, true);
    rec += rng() % 2 ? 'T' : 'F';
    out.write(rec.data(), std::streamsize(rec.size()));
  }
  out.put('\x1A');
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Reads every record in natural order; returns the seconds taken.
double ScanOnly(long& count) {
  auto start = std::chrono::steady_clock::now();
  count = 0;
  for (GoTop(); !dEOF(); SKIP(1)) ++count;
  return Seconds(std::chrono::steady_clock::now() - start);
}

// The key of the current record in the bytes a tag of the expression's type
// stores.
uint64_t MakeKey(ExprRecord* r) {
  switch (r->ResultType) {
    case 'C': return uint8_t(ExprText(Evaluate(r))[0]);
    case 'N': return EvaluateNumericKey(r, r->ResultDec)[2];
    case 'L': return ExprLogical(Evaluate(r)) ? 1 : 0;
    default: return std::bit_cast<uint64_t>(ExprNumber(Evaluate(r)));
  }
}

// Reads every record and makes its key.
double ScanAndKey(ExprRecord* r, uint64_t& check) {
  auto start = std::chrono::steady_clock::now();
  for (GoTop(); !dEOF(); SKIP(1)) check += MakeKey(r);
  return Seconds(std::chrono::steady_clock::now() - start);
}

// Evaluates on the current record only, `times` times: the evaluation's
// cost without any reading.
double EvaluateOnly(ExprRecord* r, long times, uint64_t& check) {
  auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < times; ++i) check += uint8_t(*static_cast<const char*>(Evaluate(r)));
  return Seconds(std::chrono::steady_clock::now() - start);
}

// The best of a series of timings and how far its worst lies above it.
struct Best {
  double best = 1e300, worst = 0;
  void Add(double t) {
    best = std::min(best, t);
    worst = std::max(worst, t);
  }
  double Spread() const { return worst / best - 1; }
};

}  // namespace

int main(int argc, char** argv) {
  int records = 1000000, turns = 15;
  if (argc > 1) std::from_chars(argv[1], argv[1] + std::strlen(argv[1]), records);
  if (argc > 2) std::from_chars(argv[2], argv[2] + std::strlen(argv[2]), turns);
  turns = std::max(turns, 1);
  char tmpl[] = "/tmp/ruvbenchXXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string dir = tmpl;
  std::string table = dir + "/bench.dbf";
  WriteTable(table, records);

  TablesStartup();
  SetAutoErrorHandling(false);
  SetCentury();
  SetDateFormat(4);
  Select(1);
  USE(table + " EXCLUSIVE", nullptr, 0);
  if (LastErrorCode() != 0) {
    std::fprintf(stderr, "USE failed: %s\n", LastErrorMessage().c_str());
    return 1;
  }
  long count = 0;
  ScanOnly(count);  // warm the page cache
  std::printf("records: %ld, %s, load %s; %d turns of each scan, the best counting\n", count,
              bench::Cores().c_str(), bench::LoadAverages().c_str(), turns);

  const char* exprs[] = {"UPPER(NAZWISKO)+DTOS(DATA)", "KWOTA", "ILOSC * 100 + KWOTA", "DATA",
                         "AKTYWNY .AND. KWOTA > 1000 .AND. DATA >= CTOD('01.01.2000')"};
  std::vector<bench::Target> targets;
  for (const char* text : exprs) {
    ExprRecord* r = AssignExpr(text);
    if (!r) {
      std::fprintf(stderr, "%s: %s\n", text, LastErrorMessage().c_str());
      return 1;
    }
    uint64_t check = 0;
    Best read, keyed, alone;
    for (int i = 0; i < turns; ++i) {
      read.Add(ScanOnly(count));
      keyed.Add(ScanAndKey(r, check));
    }
    GO(int32_t(count / 2));
    for (int i = 0; i < 3; ++i) alone.Add(EvaluateOnly(r, count, check));
    const double key = keyed.best - read.best;
    const auto ns = [&](double seconds) { return seconds * 1e9 / double(count); };
    const bool isKey = r->ResultType != 'L';
    std::printf("%s (%c)\n  reading %.1f ns per record (spread %.0f%%), reading and making the %s %.1f ns (spread %.0f%%):"
                " the %s %.1f ns, x%.2f of the reading%s\n"
                "  evaluation alone on one record: %.1f ns, x%.2f of the reading\n",
                text, r->ResultType, ns(read.best), 100 * read.Spread(), isKey ? "key" : "value", ns(keyed.best),
                100 * keyed.Spread(), isKey ? "key" : "value", ns(key), key / read.best,
                isKey ? (" (limit " + std::to_string(int(ns(0.5 * read.best) + 0.5)) + " ns)").c_str() : "",
                ns(alone.best), alone.best / read.best);
    if (check == 1) std::printf("\n");  // keeps the keys from being optimised away
    if (isKey) targets.push_back({std::string("key ") + text + " / reading its record", key / read.best, 0.5});
    FreeExpr(r);
  }
  CloseAll();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return bench::ReportTargets(targets) == 0 ? 0 : 2;
}

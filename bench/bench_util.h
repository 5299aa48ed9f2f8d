// Small pieces the benchmarks share: timing, memory, the machine's cores and load,
// the header of a dBASE III table written straight to a stream, and the
// report of the targets.
#pragma once

#include <sched.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// Resident memory of this process, in KiB.
inline long RssKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

// The cores this process may run on, and the machine's when it has more:
// "8 cores", or "2 of 8 cores" under taskset or a container's limit.
inline std::string Cores() {
  const unsigned machine = std::thread::hardware_concurrency();
  cpu_set_t set;
  CPU_ZERO(&set);
  const unsigned mine = sched_getaffinity(0, sizeof set, &set) == 0 ? unsigned(CPU_COUNT(&set)) : machine;
  return mine < machine ? std::to_string(mine) + " of " + std::to_string(machine) + " cores"
                        : std::to_string(mine) + " cores";
}

// The 1, 5 and 15 minute load averages, as one text.
inline std::string LoadAverages() {
  std::ifstream in("/proc/loadavg");
  double a = 0, b = 0, c = 0;
  in >> a >> b >> c;
  char text[64];
  std::snprintf(text, sizeof text, "%.2f %.2f %.2f", a, b, c);
  return text;
}

struct Field {
  const char* name;
  char type;
  int len, dec;
};

// Writes the header of a dBASE III table of `records` records with these
// fields (no memo); the records follow it, then the end byte.
inline void WriteDbfHeader(std::ostream& out, uint32_t records, std::initializer_list<Field> fields) {
  int recLen = 1;
  for (const auto& f : fields) recLen += f.len;
  const int headerLen = 32 + 32 * int(fields.size()) + 1;
  std::string h(32, '\0');
  h[0] = 0x03;
  h[1] = 126;
  h[2] = h[3] = 1;
  for (int i = 0; i < 4; ++i) h[size_t(4 + i)] = char((records >> (8 * i)) & 0xFF);
  h[8] = char(headerLen & 0xFF);
  h[9] = char(headerLen >> 8);
  h[10] = char(recLen & 0xFF);
  h[11] = char(recLen >> 8);
  for (const auto& f : fields) {
    std::string d(32, '\0');
    std::memcpy(d.data(), f.name, std::strlen(f.name));
    d[11] = f.type;
    d[16] = char(f.len);
    d[17] = char(f.dec);
    h += d;
  }
  h += '\x0D';
  out.write(h.data(), std::streamsize(h.size()));
}

// One target: `value` must not exceed `limit`.
struct Target {
  std::string what;
  double value, limit;
  double floor = 0;  // the ratio of the work's system calls alone, where measured
  std::string floorWhat = "its system calls alone";
};

// Prints the targets with what this run measured; the number missed.
inline int ReportTargets(const std::vector<Target>& targets) {
  std::printf("\ntargets:\n");
  int missed = 0;
  for (const Target& t : targets) {
    const bool met = t.value <= t.limit;
    missed += met ? 0 : 1;
    std::printf("  %-50s x%-6.2f <= x%-5.2f %-6s", t.what.c_str(), t.value, t.limit, met ? "met" : "MISSED");
    if (t.floor > 0) std::printf(" (%s: x%.2f)", t.floorWhat.c_str(), t.floor);
    std::printf("\n");
  }
  return missed;
}

}  // namespace bench

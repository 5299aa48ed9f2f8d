// Shared pieces of the table tests: a temporary folder, a fixed clock,
// tables made through the engine, file bytes, and running outside tools
// (dbfread as the outside reader).
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/psys.h"
#include "tablebase/dbf4.h"
#include "tablebase/tzdbflow.h"
#include "tablebase/tzutils.h"
#include "testutil/localtime.h"

namespace dbftest {

// A fresh engine with the clock at 2026-03-15 12:00 and automatic error
// handling off, in its own temporary folder (removed afterwards).
class TableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::time_t t = LocalTime(2026, 3, 15);
    plat::SetClock([t] { return t; });
    ResetEngineState();
    SetAutoErrorHandling(false);
    char tmpl[] = "/tmp/ruvdbfXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    ResetEngineState();
    plat::SetFileFaultHook({});
    plat::SetClock({});
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  static FieldEntry F(const char* name, char type, uint8_t len = 0, uint8_t dec = 0) {
    return {name, type, len, dec};
  }

  // Creates a table through the engine; asserts success.
  void Create(const std::string& name, std::vector<FieldEntry> fields) {
    WorkArea scratch;
    CreateDbf(scratch, Path(name), fields);
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  }

  static std::vector<uint8_t> Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }
  static void WriteBytes(const std::string& path, const std::vector<uint8_t>& b) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
  }

  // Sets a "C" slot of the typed buffer.
  static void SetC(int field, const std::string& v) {
    char* p = FieldAddress(field);
    ASSERT_NE(p, nullptr);
    p[0] = char(v.size());
    std::memcpy(p + 1, v.data(), v.size());
  }
  static std::string GetC(int field) {
    const char* p = FieldAddress(field);
    return p ? std::string(p + 1, uint8_t(p[0])) : std::string();
  }
  static void SetN(int field, double v) { std::memcpy(FieldAddress(field), &v, sizeof v); }
  static void SetI(int field, int32_t v) { std::memcpy(FieldAddress(field), &v, sizeof v); }
  static double GetN(int field) {
    double v;
    std::memcpy(&v, FieldAddress(field), sizeof v);
    return v;
  }
  static int32_t GetI(int field) {
    int32_t v;
    std::memcpy(&v, FieldAddress(field), sizeof v);
    return v;
  }
  static void SetL(int field, bool v) { *FieldAddress(field) = v ? 1 : 0; }

  std::string dir_;
};

// Runs a command line through the shell; returns its exit status and puts
// its standard output in `out`.
inline int RunCommand(const std::string& cmd, std::string& out) {
  out.clear();
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = pclose(p);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Runs a Python script with Debian's Python (which sees python3-dbfread and
// python3-dbf); the script gets the paths as sys.argv[1:].
inline int RunPython(const std::string& dir, const std::string& script, const std::vector<std::string>& args,
                     std::string& out) {
  std::string file = dir + "/script.py";
  {
    std::ofstream f(file);
    f << script;
  }
  std::string cmd = "/usr/bin/python3 " + file;
  for (const auto& a : args) cmd += " '" + a + "'";
  return RunCommand(cmd + " 2>&1", out);
}

// Prints one line per record: the deleted mark and each value, as dbfread
// gives them.
inline const char* kDumpWithDbfread = R"(import sys, dbfread
t = dbfread.DBF(sys.argv[1], encoding=sys.argv[2], load=True, raw=False)
print('fields', ','.join('%s:%s:%d:%d' % (f.name, f.type, f.length, f.decimal_count) for f in t.fields))
def show(v):
    return 'None' if v is None else (v.isoformat() if hasattr(v, 'isoformat') else str(v))
for r in t.records:
    print(' ', '|'.join(show(v) for v in r.values()))
for r in t.deleted:
    print('*', '|'.join(show(v) for v in r.values()))
)";

}  // namespace dbftest

// Shared pieces of the index tests: a fresh engine with the index hooks,
// tables written byte by byte or through the engine, and an index file read
// back from disk on its own, every node checked on the way.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/byteorder.h"
#include "platform/psys.h"
#include "tables/expr/expr_testutil.h"
#include "tables/mdx/tzndx.h"
#include "tables/mdx/tzndx_internal.h"
#include "tables/expr/tzndxlow.h"
#include "tablebase/tzcommon.h"
#include "testutil/localtime.h"

namespace ndxtest {

using exprtest::DbfField;
using exprtest::WriteDbf;

struct Entry {
  std::string key;
  int32_t rec = 0;
  bool operator==(const Entry& o) const { return key == o.key && rec == o.rec; }
};

inline void PrintTo(const Entry& e, std::ostream* os) {
  *os << "#" << e.rec << " ";
  for (unsigned char c : e.key) {
    if (c >= 32 && c < 127)
      *os << c;
    else
      *os << "\\x" << "0123456789ABCDEF"[c >> 4] << "0123456789ABCDEF"[c & 15];
  }
}

// Where two entry lists part, for a readable failure.
inline std::string FirstDifference(const std::vector<Entry>& a, const std::vector<Entry>& b) {
  for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
    if (i < a.size() && i < b.size() && a[i] == b[i]) continue;
    std::ostringstream os;
    os << "entry " << i << ": ";
    if (i < a.size()) PrintTo(a[i], &os); else os << "(none)";
    os << " against ";
    if (i < b.size()) PrintTo(b[i], &os); else os << "(none)";
    return os.str();
  }
  return "";
}

// One tag as the file holds it.
struct TagDump {
  std::string name;
  char type = ' ';
  uint8_t flags = 0;
  uint16_t keyLen = 0, itemLen = 0, keysPerNode = 0;
  uint32_t root = 0, headerPage = 0;
  bool hasFor = false, hasKeys = false;
  std::string keyExpr, forExpr;
  std::vector<Entry> entries;  // in tree order
  std::string fault;           // the first structural fault found, empty when none
};

inline std::vector<uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::vector<uint8_t> bytes(in ? size_t(in.tellg()) : 0);
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
  return bytes;
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& b) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

// Tag order of two keys of a dumped tag, by the rules of the key type.
inline int Order(const TagDump& t, const std::string& a, const std::string& b, bool oem) {
  const std::string& x = (t.flags & 0x08) ? b : a;
  const std::string& y = (t.flags & 0x08) ? a : b;
  if (t.type == 'C') {
    const uint8_t* rank = oem ? ndx::kOemRank : ndx::kAnsiRank;
    for (size_t i = 0; i < x.size(); ++i)
      if (x[i] != y[i]) return int(rank[uint8_t(x[i])]) - int(rank[uint8_t(y[i])]);
    return 0;
  }
  if (t.type == 'D') {
    double dx, dy;
    std::memcpy(&dx, x.data(), 8);
    std::memcpy(&dy, y.data(), 8);
    return CompareFloats(dx, dy);
  }
  BcdKey kx, ky;
  std::memcpy(kx.data(), x.data(), 12);
  std::memcpy(ky.data(), y.data(), 12);
  return CompareBcdKeys(kx, ky);
}

// Walks one tree from its root. Returns the largest key below `page`.
inline std::string Walk(const std::vector<uint8_t>& f, TagDump& t, uint32_t page, std::set<uint32_t>& seen,
                        int depth) {
  auto fail = [&](const std::string& why) {
    if (t.fault.empty()) t.fault = why + " at page " + std::to_string(page);
    return std::string();
  };
  if (depth > 40 || page % 2 || page < 4 || size_t(page) * 512 + 1024 > f.size()) return fail("bad page");
  if (!seen.insert(page).second) return fail("page reached twice");
  const uint8_t* n = f.data() + size_t(page) * 512;
  const int count = int(plat::readLE32(n));
  if (count < 0 || count > t.keysPerNode) return fail("bad count");
  auto item = [&](int i) { return n + 8 + size_t(i) * t.itemLen; };
  const uint32_t trailing = plat::readLE32(item(count));
  if (trailing == 0) {
    for (int i = 0; i < count; ++i)
      t.entries.push_back({std::string(reinterpret_cast<const char*>(item(i) + 4), t.keyLen),
                           int32_t(plat::readLE32(item(i)))});
    if (count == 0 && depth > 0) return fail("empty leaf below the root");
    return count ? std::string(reinterpret_cast<const char*>(item(count - 1) + 4), t.keyLen) : std::string();
  }
  for (int i = 0; i < count; ++i) {
    std::string max = Walk(f, t, plat::readLE32(item(i)), seen, depth + 1);
    if (max != std::string(reinterpret_cast<const char*>(item(i) + 4), t.keyLen))
      return fail("separator is not the largest key below it");
  }
  return Walk(f, t, trailing, seen, depth + 1);
}

// Every tag of an index file, read straight from its bytes, with the
// structure of its tree checked and its entries in order.
inline std::vector<TagDump> DumpIndex(const std::string& path, bool oem = true) {
  std::vector<TagDump> out;
  const std::vector<uint8_t> f = FileBytes(path);
  if (f.size() < 2048) return out;
  for (int n = 1; n <= f[28]; ++n) {
    const uint8_t* e = f.data() + 512 + 32 * n;
    TagDump t;
    t.name = CountedCopy(reinterpret_cast<const char*>(e + 4), 11);
    t.headerPage = plat::readLE32(e);
    const uint8_t* h = f.data() + size_t(t.headerPage) * 512;
    t.root = plat::readLE32(h);
    t.flags = h[8];
    t.type = char(h[9]);
    t.keyLen = plat::readLE16(h + 12);
    t.keysPerNode = plat::readLE16(h + 14);
    t.itemLen = plat::readLE16(h + 18);
    t.keyExpr = CountedCopy(reinterpret_cast<const char*>(h + 24), 221);
    t.hasFor = h[245] != 0;
    t.hasKeys = h[246] != 0;
    t.forExpr = CountedCopy(reinterpret_cast<const char*>(h + 762), 221);
    std::set<uint32_t> seen;
    Walk(f, t, t.root, seen, 0);
    for (size_t i = 1; i < t.entries.size() && t.fault.empty(); ++i) {
      int c = Order(t, t.entries[i - 1].key, t.entries[i].key, oem);
      if (c > 0 || (c == 0 && t.entries[i - 1].rec >= t.entries[i].rec))
        t.fault = "entries out of order at " + std::to_string(i);
    }
    out.push_back(std::move(t));
  }
  return out;
}

// Character keys of a dump, trailing blanks removed.
inline std::vector<std::string> Keys(const TagDump& t) {
  std::vector<std::string> k;
  for (const auto& e : t.entries) k.push_back(RTrim(e.key));
  return k;
}
inline std::vector<int32_t> Records(const TagDump& t) {
  std::vector<int32_t> r;
  for (const auto& e : t.entries) r.push_back(e.rec);
  return r;
}

// The records a walk in the current order stands on, from GoTop or
// GoBottom to the other end or to the first error (at most 1,000).
inline std::vector<int32_t> WalkRecords(bool forward) {
  std::vector<int32_t> seen;
  for (forward ? GoTop() : GoBottom(); LastErrorCode() == 0 && !(forward ? dEOF() : dBOF()) && seen.size() < 1000;
       SKIP(forward ? 1 : -1))
    seen.push_back(RecNo());
  return seen;
}

inline TIndexTagSpec Spec(const std::string& name, const std::string& key, const std::string& forExpr = "",
                          bool descending = false, bool unique = false) {
  return TIndexTagSpec{name, key, forExpr, uint8_t(descending), uint8_t(unique)};
}

// The expression tests' fresh engine (tables layer started, automatic
// error handling off, dates as dd.MM.yyyy, a temporary folder) with the
// clock at 2026-03-15.
class NdxTest : public exprtest::ExprTest {
 protected:
  void SetUp() override {
    std::time_t t = LocalTime(2026, 3, 15);
    plat::SetClock([t] { return t; });
    ExprTest::SetUp();
  }
  void TearDown() override {
    ExprTest::TearDown();
    plat::SetFileFaultHook({});
    plat::SetClock({});
  }

  // Builds and opens the table's own index; asserts success.
  void Index(const std::vector<TIndexTagSpec>& specs) {
    ASSERT_TRUE(MakeIndex(specs, "")) << LastErrorCode() << " " << LastErrorMessage();
    ASSERT_TRUE(SetIndexTo("")) << LastErrorCode() << " " << LastErrorMessage();
  }

  // Sets field n of the typed buffer from text in the field's own terms:
  // C as is, N and F as a number, D as "dd.mm.yyyy", L "T"/"F".
  static void SetField(int n, const std::string& text) {
    char* p = FieldAddress(n);
    switch (FieldType(n)) {
      case 'C':
        p[0] = char(std::min<size_t>(text.size(), FieldLen(n)));
        std::memcpy(p + 1, text.data(), uint8_t(p[0]));
        break;
      case 'N':
      case 'F':
        if (FieldDec(n) > 0) {
          double v = ReadNumber(text);
          std::memcpy(p, &v, sizeof v);
        } else {
          int32_t v = int32_t(ReadNumber(text));
          std::memcpy(p, &v, sizeof v);
        }
        break;
      case 'D':
        p[0] = char(std::min<size_t>(text.size(), 10));
        std::memcpy(p + 1, text.data(), uint8_t(p[0]));
        break;
      default: p[0] = text == "T" ? 1 : 0;
    }
  }
  // Appends a record to the current area with the given field texts.
  static void AppendRow(const std::vector<std::string>& values) {
    for (size_t i = 0; i < values.size(); ++i) SetField(int(i + 1), values[i]);
    Append();
  }
};

}  // namespace ndxtest

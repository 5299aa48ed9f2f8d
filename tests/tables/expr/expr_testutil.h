// Shared pieces of the expression tests: a fresh engine with the expression
// hooks installed, evaluation to a printable result, and DBF tables written
// byte by byte as another program would write them.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "tables/tablesinit.h"
#include "tables/expr/tzndxlow.h"
#include "tables/expr/tzparser.h"
#include "tablebase/dbf4.h"
#include "tablebase/tzutils.h"

namespace exprtest {

// Windows-1250 bytes of a UTF-8 literal.
inline std::string Cp(const std::string& utf8) { return plat::Utf8ToWin1250Lossy(utf8); }
// The OEM bytes of a UTF-8 literal: tables keep their text in the OEM code
// page unless marked otherwise.
inline std::string Oem(const std::string& utf8) { return plat::AnsiToOem(Cp(utf8)); }

struct Outcome {
  bool compiled = false;
  char type = ' ';
  std::string value;  // text, number (17 significant digits), "T"/"F"
  uint16_t len = 0;
  uint8_t dec = 0;
  uint16_t error = 0;  // LastErrorCode after compiling and evaluating
  std::string message;
};

inline std::string NumberText(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

// Compiles and evaluates Text once, with automatic error handling off.
inline Outcome Eval(const std::string& text) {
  Outcome o;
  AutoErrorHandlingScope quiet(false);
  LastErrorCode() = 0;
  ExprRecord* rec = AssignExpr(text);
  o.compiled = rec != nullptr;
  if (rec) {
    o.type = rec->ResultType;
    o.len = rec->ResultLen;
    o.dec = rec->ResultDec;
    const void* r = Evaluate(rec);
    switch (rec->ResultType) {
      case 'C':
      case 'M': o.value = ExprText(r); break;
      case 'L': o.value = ExprLogical(r) ? "T" : "F"; break;
      default: o.value = NumberText(ExprNumber(r)); break;
    }
    FreeExpr(rec);
  }
  o.error = LastErrorCode();
  o.message = TakeLastErrorMessage();
  return o;
}

struct ValueCase {
  std::string text;
  char type;
  std::string value;
};

// Each text compiles and evaluates without an error to its type and value.
inline void ExpectValues(const std::vector<ValueCase>& cases) {
  for (const auto& c : cases) {
    auto o = Eval(c.text);
    EXPECT_TRUE(o.compiled) << c.text << ": " << o.message;
    EXPECT_EQ(o.type, c.type) << c.text;
    EXPECT_EQ(o.value, c.value) << c.text;
    EXPECT_EQ(o.error, 0) << c.text << ": " << o.message;
  }
}

struct DbfField {
  std::string name;
  char type;
  uint8_t len, dec;
};

// A dBASE III table written byte by byte; each row holds the field texts
// as stored (padded here), and a leading "*" in the first value's place
// is not used: `deleted` marks rows.
inline void WriteDbf(const std::string& path, const std::vector<DbfField>& fields,
                     const std::vector<std::vector<std::string>>& rows,
                     const std::vector<bool>& deleted = {}) {
  uint16_t recLen = 1;
  for (const auto& f : fields) recLen = uint16_t(recLen + f.len);
  uint16_t headerLen = uint16_t(32 + 32 * fields.size() + 1);
  std::string out(32, '\0');
  out[0] = 0x03;
  out[1] = 124;
  out[2] = 3;
  out[3] = 15;
  uint32_t n = uint32_t(rows.size());
  for (int i = 0; i < 4; ++i) out[4 + i] = char((n >> (8 * i)) & 0xFF);
  out[8] = char(headerLen & 0xFF);
  out[9] = char(headerLen >> 8);
  out[10] = char(recLen & 0xFF);
  out[11] = char(recLen >> 8);
  for (const auto& f : fields) {
    std::string d(32, '\0');
    std::memcpy(d.data(), f.name.data(), std::min<size_t>(f.name.size(), 10));
    d[11] = f.type;
    d[16] = char(f.len);
    d[17] = char(f.dec);
    out += d;
  }
  out += '\x0D';
  for (size_t r = 0; r < rows.size(); ++r) {
    out += r < deleted.size() && deleted[r] ? '*' : ' ';
    for (size_t i = 0; i < fields.size(); ++i) {
      std::string v = i < rows[r].size() ? rows[r][i] : "";
      v.resize(fields[i].len, ' ');
      if (fields[i].type == 'N' || fields[i].type == 'F') {
        std::string t = i < rows[r].size() ? rows[r][i] : "";
        t = t.substr(0, fields[i].len);
        v = std::string(fields[i].len - t.size(), ' ') + t;
      }
      out += v;
    }
  }
  out += '\x1A';
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(out.data(), std::streamsize(out.size()));
}

// A fresh engine with the tables layer started, automatic error handling
// off, the picture dd.MM.yyyy, and a temporary folder.
class ExprTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetTablesState();
    SetAutoErrorHandling(false);
    SetCentury();
    SetDateFormat(4);
    char tmpl[] = "/tmp/ruvexprXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    ResetTablesState();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  // Opens a table in area `area`; asserts success.
  void Open(int area, const std::string& command) {
    Select(area);
    USE(dir_ + "/" + command, nullptr, 0);
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  }

  std::string dir_;
};

}  // namespace exprtest

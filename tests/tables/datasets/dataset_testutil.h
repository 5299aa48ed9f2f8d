// Shared pieces of the dataset tests: a fresh tables layer in a temporary
// folder with dates as the program sets them, the messages the datasets
// show, and tables written through the engine.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/psys.h"
#include "tables/tablesinit.h"
#include "tables/datasets/utzfds.h"
#include "tablebase/dbf4.h"
#include "tablebase/engineui.h"
#include "tablebase/tzdbflow.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"
#include "testutil/localtime.h"
#include "testutil/tempdir.h"

namespace dstest {

// Keeps the texts of the message boxes shown, answering each with OK, and
// the captions and steps of the progress windows.
class MessageLog : public EngineUi {
 public:
  int MessageBox(const std::string& text, const std::string&, uint16_t) override {
    texts.push_back(text);
    return 1;
  }
  std::unique_ptr<EngineProgressWindow> CreateProgressWindow(const std::string& caption) override {
    captions.push_back(caption);
    struct Counter : EngineProgressWindow {
      explicit Counter(int& n) : n_(n) {}
      void Step() override { ++n_; }
      int& n_;
    };
    return std::make_unique<Counter>(steps);
  }
  std::vector<std::string> texts;
  std::vector<std::string> captions;
  int steps = 0;
};

class DatasetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::time_t t = LocalTime(2026, 3, 15);
    plat::SetClock([t] { return t; });
    ResetTablesState();
    SetErrorRaises(true);
    // As the program runs: four-digit years, day.month.year.
    SetCentury();
    SetDate(4);
    SetUi(&log_);
  }
  void TearDown() override {
    SetUi(nullptr);
    ResetTablesState();
    plat::SetClock({});
  }

  std::string Path(const std::string& name) const { return dir_ / name; }

  // A table "<name>.dbf" of `fields` ("name, T, len, dec") holding `rows`,
  // each a list of field texts as xBase writes them (numbers, "yyyyMMdd"
  // dates, "T"/"F"); a row starting with "*" is stored deleted.
  void MakeTable(const std::string& name, const std::vector<std::string>& fields,
                 const std::vector<std::vector<std::string>>& rows) {
    TTzDbf maker("maker");
    maker.DbfFields = fields;
    maker.SetDbfFileName(Path(name));
    ASSERT_TRUE(maker.CreateTableFromDbfFields());
    USE(Path(name) + " EXCLUSIVE", nullptr, 0);
    for (const auto& row : rows) {
      ClearRecord();
      Append();
      for (size_t i = 0; i < row.size(); ++i) {
        const int n = int(i) + 1;
        const bool deleted = i == 0 && !row[i].empty() && row[i][0] == '*';
        std::string text = deleted ? row[i].substr(1) : row[i];
        if (FieldType(n) == 'N' || FieldType(n) == 'F') text = std::string(FieldLen(n) - text.size(), ' ') + text;
        Poke(text, n, RecNo());
        if (deleted) Poke("*", 0, RecNo());
      }
    }
    CloseArea();
  }

  // The stored text of field `field` of record `rec` in the table file.
  std::string Stored(const std::string& name, int field, int rec) {
    AreaScope scope(kPublicAreas);
    USE(Path(name) + " ALIAS STORED", nullptr, 0);
    RecCount();  // records appended meanwhile
    std::string v = Peek(field, rec);
    CloseArea();
    return v;
  }

  TempDir dir_;
  MessageLog log_;
};

// Windows-1250 bytes of a UTF-8 literal.
inline std::string Cp(const std::string& utf8) { return plat::Utf8ToWin1250Lossy(utf8); }

// What python3-dbfread prints for a table: `perRecord`, a Python
// expression of the record `r`, one line per record.
inline std::string Dbfread(const std::string& path, const std::string& encoding, const std::string& perRecord) {
  const std::string cmd = "/usr/bin/python3 -c \"import sys, dbfread\nfor r in dbfread.DBF(sys.argv[1], encoding=sys.argv[2]):\n  print(" +
                          perRecord + ")\" '" + path + "' " + encoding + " 2>&1";
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[512];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// The value of the dataset's named fields, joined by "|".
inline std::string Row(TTzCDataSet& d, const std::vector<std::string>& names) {
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : "|") + d.FieldByName(n).AsString();
  return out;
}

}  // namespace dstest

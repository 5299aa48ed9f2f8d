// An outside reader: Debian's libdbd-xbase-perl walks and searches the
// tags the engine builds and maintains.
#include <cstdio>
#include <random>
#include <sstream>

#include "tables/mdx/ndx_testutil.h"

namespace ndxtest {
namespace {

// Runs a command and gives its standard output.
std::string Output(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// index_dump's lines: the key, blanks, the record number.
std::vector<Entry> IndexDump(const std::string& mdx, const std::string& tag) {
  std::vector<Entry> out;
  std::istringstream in(Output("index_dump '" + mdx + "' " + tag + " 2>&1"));
  std::string line;
  while (std::getline(in, line)) {
    size_t cut = line.find_last_of(' ');
    if (cut == std::string::npos) continue;
    out.push_back({RTrim(line.substr(0, cut)), int32_t(std::stol(line.substr(cut + 1)))});
  }
  return out;
}

class NdxInterop : public NdxTest {};

TEST_F(NdxInterop, DbdXbaseReadsTheTagsTheEngineWritesAndMaintains) {
  // 4033 records: the build's last leaf hangs one level higher than the
  // others, a shape the reader must follow too.
  std::mt19937 rng(5);
  auto key = [&] {
    std::string k(6, 'A');
    for (char& c : k) c = char('A' + rng() % 8);
    return k;
  };
  std::vector<std::vector<std::string>> rows;
  for (int i = 0; i < 4033; ++i)
    rows.push_back({key(), std::to_string(int(rng() % 5000) - 2500), "20" + ZeroPadded(rng() % 30, 2) + "0615"});
  WriteDbf(Path("T.DBF"), {{"K", 'C', 8, 0}, {"N", 'N', 6, 0}, {"D", 'D', 8, 0}}, rows);
  Open(1, "T.DBF EXCLUSIVE");
  Index({Spec("K", "K"), Spec("KD", "K", "", true), Spec("N", "N"), Spec("D", "D")});
  for (int i = 0; i < 300; ++i) AppendRow({key(), std::to_string(i), "01.02.2003"});
  for (int i = 0; i < 300; ++i) {
    GO(1 + int32_t(rng() % 4333));
    SetField(1, key());
    Replace();
  }
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  CloseAll();
  const auto ours = DumpIndex(Path("T.MDX"));
  for (const auto& t : ours) {
    SCOPED_TRACE(t.name);
    ASSERT_EQ(t.fault, "");
    std::vector<Entry> theirs = IndexDump(Path("T.MDX"), t.name);
    ASSERT_EQ(theirs.size(), t.entries.size());
    for (size_t i = 0; i < theirs.size(); ++i) {
      // Only the character keys print as they are stored.
      if (t.type == 'C') {
        ASSERT_EQ(theirs[i].key, RTrim(t.entries[i].key)) << i;
      }
      ASSERT_EQ(theirs[i].rec, t.entries[i].rec) << i;
    }
  }
  // Its seeks go down through the interior nodes to the first key from
  // the probe on.
  {
    std::ofstream script(Path("seek.pl"));
    script << "use XBase; my $t = new XBase shift; my $c = $t->prepare_select_with_index([shift, 'K'], 'K');\n"
              "for my $k (@ARGV) { $c->find_eq($k); my @d = $c->fetch; print((@d ? $d[0] : '-'), \"\\n\"); }\n";
  }
  const std::vector<std::string> probes = {"A", "AAAAAA", "CBA", "DDDDDD", "HHHHHH", "HHHHHI", "EFG"};
  std::string cmd = "perl '" + Path("seek.pl") + "' '" + Path("T.DBF") + "' '" + Path("T.MDX") + "'";
  for (const auto& p : probes) cmd += " " + p;
  std::istringstream found(Output(cmd + " 2>&1"));
  for (const auto& p : probes) {
    std::string want = "-";
    for (const auto& e : ours[0].entries)
      if (e.key >= p) {
        want = RTrim(e.key);
        break;
      }
    std::string line;
    std::getline(found, line);
    EXPECT_EQ(line, want) << p;
  }
}

}  // namespace
}  // namespace ndxtest

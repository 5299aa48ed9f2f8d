// Two or three programs (tests/helpers/model_writer_helper) share one table
// with tags and a memo field, and this test steps them through a seeded
// random interleaving: reads, assignments of every field type (to a value,
// to zero or blank, back to what was read, text padded or not), memo
// rewrites, dropped edits, Replace, delete and recall, appends, posts
// through the table component with a re-read between edit and post, raw
// writes of a field, closes and reopens. A model says what each record
// must hold: a field holds the last committed write that changed it, and a
// field that a writer left alone or set back to what it read is not its
// change. After each run every record, every memo's text, the ownership of
// every memo block (no two records, no record and the free chain) and
// every tag (against a fresh build from the table) are checked.
//
// RUV_MODEL_SEED and RUV_MODEL_STEPS (per table flavour) rerun or lengthen
// it; both are printed.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>

#include "tablebase/tzdbflow.h"
#include "tables/mdx/ndx_testutil.h"
#include "tables/memo/memo.h"
#include "testutil/helper_child.h"

namespace ndxtest {
namespace {

constexpr int kFields = 5;  // NAME C(10), QTY N(5), AMT F(9,2), DAT D, OK L; then NOTE M
constexpr int kRunSteps = 50;
const char* const kNames[kFields] = {"NAME", "QTY", "AMT", "DAT", "OK"};
const int kWidth[kFields] = {10, 5, 9, 8, 1};

// A record as stored: the deletion flag, each field's bytes, the memo.
struct Rec {
  bool del = false;
  std::string f[kFields];
  int32_t ref = 0;
  std::string memo;
  std::string Text() const {
    std::string s = del ? "*" : " ";
    for (const auto& v : f) s += "|" + v;
    return s + "|" + std::to_string(ref);
  }
};

std::string Digits(int v, int width) {
  std::string s = StrInt(v, width);
  std::replace(s.begin(), s.end(), ' ', '0');
  return s;
}

bool Blank(const std::string& s) { return s.find_first_not_of(' ') == std::string::npos; }

// The bytes that the typed value unpacked from stored bytes `r` packs to.
std::string Canon(int i, const std::string& r) {
  if (i == 1 && Blank(r)) return "    0";
  if (i == 2 && Blank(r)) return "     0.00";
  if (i == 4) return r == "T" || r == "Y" ? "T" : "F";
  return r;
}

// One area's edit: the record as read and what its typed values pack to.
struct Edit {
  int rec = 0;  // 0: no record read (or, for the component, not editing)
  Rec read, now;
  bool memo = false;  // the memo was rewritten
  void Read(int n, const Rec& r) {
    rec = n;
    read = now = r;
    for (int i = 0; i < kFields; ++i) now.f[i] = Canon(i, r.f[i]);
    memo = false;
  }
};

// What a committed edit leaves in stored record `s`: a field whose new
// value packs to the bytes read is not the writer's change; a zero or false
// over a field read without a value is written only while nobody changed
// those bytes since.
void Commit(Rec& s, Edit& e) {
  for (int i = 0; i < kFields; ++i) {
    const std::string &p = e.now.f[i], &r = e.read.f[i];
    if (p != r && (p != Canon(i, r) || s.f[i] == r)) s.f[i] = p;
  }
  if (e.memo || e.now.ref != e.read.ref) {
    s.ref = e.now.ref;
    s.memo = e.now.memo;
  }
}

struct Child {
  std::unique_ptr<HelperChild> proc;
  Edit area, ds;
};

class SharedWritesModel : public NdxTest {
 protected:
  void SetUp() override {
    NdxTest::SetUp();
    plat::SetClock({});  // the helpers date the index semaphore by the real clock
  }

  uint64_t Next(uint64_t n) { return rng_() % n; }
  std::string Name() { return std::string(1, char('A' + Next(3))) + char('0' + Next(4)); }
  std::string Date() {
    const int d = 1 + int(Next(28)), m = 1 + int(Next(12)), y = 1995 + int(Next(40));
    return Digits(d, 2) + "." + Digits(m, 2) + "." + Digits(y, 4);
  }
  static std::string Stored(const std::string& date) {
    return date.empty() ? std::string(8, ' ') : date.substr(6, 4) + date.substr(3, 2) + date.substr(0, 2);
  }
  static std::string Amount(int cents) {
    const std::string s = std::to_string(std::abs(cents) / 100) + "." + Digits(std::abs(cents) % 100, 2);
    return cents < 0 ? "-" + s : s;
  }
  std::string MemoText() {
    if (Next(5) == 0) return "";
    std::string t = "S" + std::to_string(step_) + "-";
    return t + std::string(size_t(Next(3) == 0 ? 500 + Next(700) : Next(200)), char('a' + Next(26)));
  }
  // A value for field i: the text sent to the typed record, and its bytes.
  std::pair<std::string, std::string> Value(int i) {
    std::string v;
    switch (i) {
      case 0: v = Name(); return {v, PadR(v, 10)};
      case 1: v = std::to_string(Next(120)); return {v, std::string(5 - v.size(), ' ') + v};
      case 2: v = Amount(int(Next(100000)) - 500); return {v, std::string(9 - v.size(), ' ') + v};
      case 3: v = Next(4) ? Date() : ""; return {v, Stored(v)};
      default: v = Next(2) ? "T" : "F"; return {v, v};
    }
  }

  // Sends a command; its answer after "ok", or a failure and nullopt.
  std::optional<std::string> Ask(Child& c, const std::string& cmd) {
    log_.push_back(std::to_string(step_) + " #" + std::to_string(&c - children_.data()) + " " + cmd.substr(0, 60));
    const std::string a = c.proc->Ask(cmd);
    if (a.rfind("ok", 0) == 0) return a.size() > 3 ? a.substr(3) : "";
    Fail("the helper answered \"" + a + "\"");
    return std::nullopt;
  }
  void Fail(const std::string& what) {
    if (failure_.empty()) failure_ = what;
  }

  int PickRecord() { return 1 + int(Next(Next(4) ? std::min<size_t>(model_.size(), 2) : model_.size())); }

  // A logical field read as "Y" and left as read packs to "T": whether that
  // counts as a change is not settled, so such a writer sets it first.
  void SettleLogical(Child& c, Edit& e, bool component) {
    if (e.read.f[4] != "Y" || e.now.f[4] != "T") return;
    if (Ask(c, component ? "dsbool OK F" : "set 5 F")) e.now.f[4] = "F";
  }

  // The group of a kind of step (by its range in Step): reads and commits
  // (0) are in every run, each other group in about half of them.
  static int Group(uint64_t what) {
    constexpr uint64_t kEnds[] = {14, 36, 50, 64, 69, 75, 80, 100};
    constexpr int kGroups[] = {0, 1, 2, 0, 3, 4, 5, 6};
    int k = 0;
    while (what >= kEnds[k]) ++k;
    return kGroups[k];
  }

  void Step(Child& c) {
    Edit& a = c.area;
    Edit& d = c.ds;
    uint64_t what;
    do what = Next(100);
    while (!(groups_ >> Group(what) & 1));
    if (a.rec == 0 && what < 75) what = 0;  // these need a record read
    if (what < 14) {  // read, dropping whatever the area changed
      const int r = PickRecord();
      if (auto got = Ask(c, "read " + std::to_string(r))) {
        const Rec& m = model_[size_t(r - 1)];
        if (FromBytes(*got).Text() != m.Text())
          Fail("record " + std::to_string(r) + " read as \"" + FromBytes(*got).Text() + "\", the model \"" + m.Text() + "\"");
        a.Read(r, m);
      }
    } else if (what < 36) {  // an assignment
      const int i = int(Next(kFields));
      const uint64_t kind = Next(4);
      std::pair<std::string, std::string> v = Value(i);
      if (kind == 2) {  // zero, false or blank
        v = i == 0 ? std::make_pair("", std::string(10, ' '))
                   : i == 3 ? std::make_pair("", std::string(8, ' ')) : std::make_pair("0", Canon(i, ""));
      } else if (kind == 3) {  // back to what was read
        const std::string& r = a.read.f[i];
        v.second = Canon(i, r);
        v.first = i == 0 ? RTrim(r) : i == 3 ? (Blank(r) ? "" : r.substr(6, 2) + "." + r.substr(4, 2) + "." + r.substr(0, 4))
                                   : i == 4 ? v.second : std::string(Canon(i, r));
      }
      if (i == 0 && Next(2)) v.first = PadR(v.first, 10);  // the length byte says nothing
      if (Ask(c, "set " + std::to_string(i + 1) + " " + v.first)) a.now.f[i] = v.second;
    } else if (what < 50) {  // a memo rewrite
      std::string t = MemoText();
      if (t.empty() && a.read.ref == 0) t = "R" + std::to_string(step_);
      if (auto ref = Ask(c, "memo " + t)) {
        a.now.ref = std::atoi(ref->c_str());
        a.now.memo = t;
        a.memo = true;
      }
    } else if (what < 64) {  // Replace
      SettleLogical(c, a, false);
      if (Ask(c, "commit")) {
        Commit(model_[size_t(a.rec - 1)], a);
        a.Read(a.rec, model_[size_t(a.rec - 1)]);
        Written(a.rec);
      }
    } else if (what < 69) {  // delete or recall
      const bool del = Next(2);
      if (Ask(c, del ? "delete" : "recall")) {
        model_[size_t(a.rec - 1)].del = a.read.del = a.now.del = del;
        Written(a.rec);
      }
    } else if (what < 75) {  // another program's raw bytes in a field no tag uses
      const bool logical = Next(2);
      const std::string bytes = logical ? std::string(1, " ?YTF"[Next(5)]) : std::string(9, ' ');
      if (Ask(c, "poke " + std::string(logical ? "5 " : "3 ") + bytes)) {
        model_[size_t(a.rec - 1)].f[logical ? 4 : 2] = bytes;
        Written(a.rec);
      }
    } else if (what < 78) {  // append
      Rec n;
      std::string cmd = "append ";
      for (int i = 0; i < kFields; ++i) {
        auto v = Value(i);
        cmd += v.first + "|";
        n.f[i] = v.second;
      }
      n.memo = MemoText();
      if (auto got = Ask(c, cmd + n.memo)) {
        std::istringstream in(*got);
        int rec = 0;
        in >> rec >> n.ref;
        model_.push_back(n);
        if (rec != int(model_.size())) Fail("appended as record " + std::to_string(rec));
        a.Read(int(model_.size()), n);
        Written(int(model_.size()));
      }
    } else if (what < 80) {  // close and reopen (the component too)
      if (Ask(c, "close") && Ask(c, "open")) a = d = Edit();
    } else if (d.rec == 0) {  // the component goes into edit
      const int r = PickRecord();
      if (Ask(c, "dsedit " + std::to_string(r))) d.Read(r, model_[size_t(r - 1)]);
    } else if (what < 88) {  // the component sets a field
      const int i = std::array{0, 1, 2, 4}[Next(4)];
      const auto v = Value(i);
      if (Ask(c, std::string(i == 4 ? "dsbool " : "dsset ") + kNames[i] + " " + v.first)) d.now.f[i] = v.second;
    } else if (what < 92) {  // something reads the record again meanwhile
      Ask(c, "dsreread");
    } else if (what < 98) {
      SettleLogical(c, d, true);
      if (Ask(c, "dspost")) {
        Commit(model_[size_t(d.rec - 1)], d);
        Written(d.rec);
      }
      d = Edit();
    } else {
      if (Ask(c, "dscancel")) d = Edit();
    }
  }

  // A record from its 44 bytes (no memo text).
  static Rec FromBytes(const std::string& bytes) {
    Rec got;
    if (bytes.size() != 44) return got;
    got.del = bytes[0] == '*';
    for (size_t i = 0, pos = 1; i < kFields; pos += size_t(kWidth[i++])) got.f[i] = bytes.substr(pos, size_t(kWidth[i]));
    got.ref = std::atoi(bytes.substr(34).c_str());
    return got;
  }
  static Rec OnDisk(const std::vector<uint8_t>& dbf, int r) {
    const size_t at = plat::readLE16(dbf.data() + 8) + size_t(r - 1) * plat::readLE16(dbf.data() + 10);
    return FromBytes(at + 44 > dbf.size() ? "" : std::string(reinterpret_cast<const char*>(dbf.data() + at), 44));
  }
  // After a write: the record in the file against the model.
  void Written(int r) {
    const Rec got = OnDisk(FileBytes(Path("T.DBF")), r);
    if (got.Text() != model_[size_t(r - 1)].Text())
      Fail("record " + std::to_string(r) + " holds \"" + got.Text() + "\", the model \"" + model_[size_t(r - 1)].Text() + "\"");
  }

  // Every record, memo, memo block and tag against the model; the first
  // differences, or "".
  std::string Check(uint8_t version) {
    std::ostringstream out;
    const std::vector<uint8_t> dbf = FileBytes(Path("T.DBF"));
    const int32_t count = int32_t(plat::readLE32(dbf.data() + 4));
    if (count != int32_t(model_.size())) out << "the table holds " << count << " records; ";
    const std::vector<uint8_t> m = FileBytes(Path(version == 0xF5 ? "T.FPT" : "T.DBT"));
    const uint32_t bs = version == 0xF5 ? plat::readBE16(m.data() + 6) : version == 0x83 ? 512 : plat::readLE16(m.data() + 20);
    std::map<uint32_t, std::string> owner;
    uint32_t end = 0;
    auto take = [&](uint32_t first, uint32_t count, const std::string& who) {
      for (uint32_t b = first; b < first + count && b < first + 100000; ++b)
        if (!owner.emplace(b, who).second) out << "block " << b << " belongs to " << owner[b] << " and " << who << "; ";
      end = std::max(end, first + count);
    };
    for (int r = 1; r <= std::min(count, int32_t(model_.size())); ++r) {
      const Rec& want = model_[size_t(r - 1)];
      Rec got = OnDisk(dbf, r);
      const size_t at = size_t(got.ref) * bs;
      if (got.ref > 0 && at + 8 <= m.size()) {
        const uint8_t* p = m.data() + at;
        size_t len = 0, head = 8;
        if (version == 0xF5) len = plat::readBE32(p + 4);
        else if (plat::readLE32(p) == 0x0008FFFFu) len = plat::readLE32(p + 4) - 8;
        else if (version == 0x83) for (head = 0; at + len < m.size() && p[len] != 0x1A; ++len) {}
        got.memo.assign(reinterpret_cast<const char*>(p + head), std::min(len, m.size() - at - head));
        take(uint32_t(got.ref), uint32_t((len + head + (head ? 0 : 1) + bs - 1) / bs), "record " + std::to_string(r));
      }
      if (got.Text() != want.Text() || got.memo != want.memo)
        out << "record " << r << " holds \"" << got.Text() << "\" memo \"" << got.memo.substr(0, 40) << "\"("
            << got.memo.size() << "), the model \"" << want.Text() << "\" memo \"" << want.memo.substr(0, 40) << "\"("
            << want.memo.size() << "); ";
    }
    const uint32_t blocks = uint32_t((m.size() + bs - 1) / bs);
    if (version == 0x8B) {
      for (uint32_t at = plat::readLE32(m.data()), runs = 0; at < blocks && runs < blocks; ++runs) {
        take(at, plat::readLE32(m.data() + size_t(at) * bs + 4), "free run " + std::to_string(at));
        at = plat::readLE32(m.data() + size_t(at) * bs);
      }
    } else {
      const uint32_t next = version == 0xF5 ? plat::readBE32(m.data()) : plat::readLE32(m.data());
      if (next < end) out << "the next free block " << next << " lies inside memos ending at " << end << "; ";
    }

    // Every tag against the same tags built afresh from a copy of the table.
    for (const std::string ext : {".DBF", ".DBT", ".FPT"})
      if (std::filesystem::exists(Path("T" + ext)))
        std::filesystem::copy_file(Path("T" + ext), Path("R" + ext), std::filesystem::copy_options::overwrite_existing);
    std::filesystem::remove(Path("R.MDX"));
    USE(Path("R.DBF EXCLUSIVE"), nullptr, 0);
    if (!MakeIndex(Tags(), "")) out << "cannot build the tags: " << LastErrorMessage();
    CloseArea();
    const auto built = DumpIndex(Path("R.MDX")), kept = DumpIndex(Path("T.MDX"));
    if (built.size() != kept.size()) out << kept.size() << " tags; ";
    for (size_t t = 0; t < std::min(built.size(), kept.size()); ++t) {
      if (!kept[t].fault.empty()) out << "tag " << kept[t].name << ": " << kept[t].fault << "; ";
      if (kept[t].entries != built[t].entries)
        out << "tag " << kept[t].name << " against a fresh build: " << FirstDifference(kept[t].entries, built[t].entries) << "; ";
    }
    return out.str();
  }

  static std::vector<TIndexTagSpec> Tags() {
    return {Spec("NAME", "NAME"), Spec("QTY", "QTY"), Spec("DAT", "DAT"), Spec("MIX", "NAME+STR(QTY,5)", "QTY > 40")};
  }

  // A fresh table of four records, then `steps` steps of two or three
  // programs, then the check. False after a failure (reported).
  bool RunOnce(uint8_t version, uint64_t seed, int steps, const std::string& rerun) {
    rng_.seed(seed);
    model_.clear();
    log_.clear();
    failure_.clear();
    std::filesystem::remove(Path("T.MDX"));
    DbSettings().DefaultVersionByte = version;
    std::vector<FieldEntry> fields = {{"NAME", 'C', 10}, {"QTY", 'N', 5}, {"AMT", 'F', 9, 2},
                                      {"DAT", 'D', 8},   {"OK", 'L', 1},  {"NOTE", 'M', 10}};
    WorkArea scratch;
    CreateDbf(scratch, Path("T.DBF"), fields);
    Open(1, "T.DBF EXCLUSIVE");
    for (int r = 0; r < 4; ++r) {
      Rec n;
      ClearRecord();
      for (int i = 0; i < kFields; ++i) {
        auto v = Value(i);
        SetField(i + 1, v.first);
        n.f[i] = v.second;
      }
      n.memo = MemoText();
      n.ref = AddMemo(n.memo);
      std::memcpy(FieldAddress(6), &n.ref, sizeof n.ref);
      Append();
      model_.push_back(n);
    }
    Index(Tags());
    SetMdxFlag(true);  // the table component opens the index the header announces
    CloseArea();

    children_.clear();
    children_.resize(2 + Next(2));
    // A third of the runs rewrite memos with no field changes to mix in.
    groups_ = Next(3) == 0 ? 0b101101 : 1 | Next(128);
    step_ = 0;
    for (Child& c : children_) {
      c.proc = std::make_unique<HelperChild>("model_writer_helper", std::vector<std::string>{Path("T.DBF")});
      Ask(c, "open");
    }
    for (step_ = 1; step_ <= steps && failure_.empty(); ++step_) Step(children_[Next(children_.size())]);
    for (Child& c : children_)
      if (c.proc->Ask("quit") != "ok" || c.proc->Wait() != 0) Fail("a helper did not close cleanly");
    children_.clear();
    if (failure_.empty()) failure_ = Check(version);
    if (failure_.empty()) return true;
    std::ostringstream steps_log;
    for (const auto& l : log_) steps_log << "  " << l << "\n";
    ADD_FAILURE() << rerun << ": " << failure_ << "\nafter these steps:\n" << steps_log.str();
    return false;
  }

  void Run(uint8_t version) {
    // The default seed's runs meet every kind of conflict the model knows
    // (memo runs freed and reused, zeros over blanks, re-reads in an edit).
    const char *s = std::getenv("RUV_MODEL_SEED"), *n = std::getenv("RUV_MODEL_STEPS");
    const uint64_t seed = s ? std::strtoull(s, nullptr, 10) : 105;
    const int steps = n ? std::atoi(n) : 300;
    RecordProperty("seed", std::to_string(seed));
    RecordProperty("steps", steps);
    std::cout << "[ model    ] seed " << seed << ", " << steps << " steps (RUV_MODEL_SEED, RUV_MODEL_STEPS)" << std::endl;
    for (int run = 0; run * kRunSteps < steps; ++run) {
      const std::string rerun = "run " + std::to_string(run) + " (steps " + std::to_string(run * kRunSteps + 1) +
                                "..) of RUV_MODEL_SEED=" + std::to_string(seed) + " RUV_MODEL_STEPS=" + std::to_string(steps);
      if (!RunOnce(version, seed * 1000003 + version * 131 + uint64_t(run), std::min(kRunSteps, steps - run * kRunSteps), rerun))
        std::cout << "[ model    ] " << rerun << " failed" << std::endl;
    }
  }

  std::mt19937_64 rng_;
  std::vector<Rec> model_;
  std::vector<Child> children_;
  std::vector<std::string> log_;
  std::string failure_;
  int step_ = 0;
  uint64_t groups_ = 0;
};

TEST_F(SharedWritesModel, DBase4TableKeepsEveryCommittedChange) { Run(0x8B); }
TEST_F(SharedWritesModel, DBase3TableKeepsEveryCommittedChange) { Run(0x83); }
TEST_F(SharedWritesModel, FoxProTableKeepsEveryCommittedChange) { Run(0xF5); }

}  // namespace
}  // namespace ndxtest

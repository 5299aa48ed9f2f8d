// Two or three writers, forked copies of this test each holding a shared table with five tags (one
// descending, one unique, one with a condition) and two memo fields in an area and in a table
// component, are stepped through a seeded random interleaving of every call that writes the record
// buffer, a memo or an index (the table of operations in Step): reads, assignments of every field type
// (to a value, to zero or blank, back to what was read), memo rewrites, Replace, delete and recall, raw
// writes of a field, appends (the memos written first, at the end of the file or on a record),
// closes and reopens, memo packs and index rebuilds (alone, failing beside the others, or both in
// turn), and through the component edits, memo writes, re-reads, posts, appends and deletes. In the model a field holds
// the last committed write that changed it; a field a writer left alone or set back to what it read is
// not its change. Each written record is checked at once; every 100 steps and after each run every
// record, every memo's text, the owner of every memo block (one record, or the free chain) and every
// tag, against the order the model's own values give. A long run keeps one table for over 1,000 steps
// of several hundred records, so leaves split and the free chain grows long; short ones follow on four
// records. RUV_MODEL_SEED and
// RUV_MODEL_STEPS (per table flavour) rerun or lengthen it; RUV_MODEL_TRACE lists every command.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>

#include "tablebase/tzdbflow.h"
#include "tables/datasets/utzfds.h"
#include "tables/mdx/ndx_testutil.h"
#include "tables/memo/memo.h"

namespace ndxtest {
namespace {

constexpr int kFields = 5;  // NAME C(10), QTY N(5), AMT F(9,2), DAT D, OK L; then NOTE and NOTE2 M(10)
constexpr int kMemos = 2;
constexpr size_t kRecLen = 54;
// Runs: a long one on a table of several hundred records, then short ones on
// four records, where the writers meet more often and the free chain stays short.
constexpr int kLongRun = 1100, kShortRun = 50, kShortRuns = 8;
constexpr int kCheckEvery = 100;  // steps between whole checks (and new groups of operations)
// A memo the component wrote: the table tells its reference.
constexpr int32_t kUnknownRef = INT32_MIN;
const char* const kNames[kFields + kMemos] = {"NAME", "QTY", "AMT", "DAT", "OK", "NOTE", "NOTE2"};
const int kWidth[kFields] = {10, 5, 9, 8, 1};

// A record as stored: the deletion flag, each field's bytes, the memos.
struct Rec {
  bool del = false;
  std::string f[kFields];
  int32_t ref[kMemos] = {};
  std::string memo[kMemos];
  std::string Text() const {
    std::string s = del ? "*" : " ";
    for (const auto& v : f) s += "|" + v;
    for (int32_t r : ref) s += "|" + std::to_string(r);
    return s;
  }
  std::string WithMemo() const {
    std::string s = "\"" + Text() + "\"";
    for (const auto& m : memo) s += " memo \"" + m.substr(0, 30) + "\"(" + std::to_string(m.size()) + ")";
    return s;
  }
};

std::string Format(const char* format, auto... values) {
  char out[32];
  std::snprintf(out, sizeof out, format, values...);
  return out;
}

bool Blank(const std::string& s) { return s.find_first_not_of(' ') == std::string::npos; }
int Qty(const Rec& r) { return std::atoi(r.f[1].c_str()); }

// The tags, and the order each gives the model's records: by a text whose
// byte order is the tag's ascending order, ties by record number.
struct TagRule {
  const char *name, *key, *condition;
  bool descending, unique;
  std::string (*order)(const Rec&);
  bool (*holds)(const Rec&);
};
const TagRule kTags[] = {
    {"NAME", "NAME", "", false, false, [](const Rec& r) { return r.f[0]; }, nullptr},
    {"QTY", "QTY", "", true, false, [](const Rec& r) { return Format("%05d", Qty(r)); }, nullptr},
    // A blank date is no day: it comes after every date.
    {"DAT", "DAT", "", false, false, [](const Rec& r) { return Blank(r.f[3]) ? "~" : r.f[3]; }, nullptr},
    {"MIX", "NAME+STR(QTY,5)", "QTY > 40", false, false,
     [](const Rec& r) { return r.f[0] + Format("%5d", Qty(r)); }, [](const Rec& r) { return Qty(r) > 40; }},
    {"UNQ", "NAME", "", false, true, [](const Rec& r) { return r.f[0]; }, nullptr},
};

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
  bool memo[kMemos] = {};  // the memo was rewritten
  void Read(int n, const Rec& r) {
    rec = n;
    read = now = r;
    for (int i = 0; i < kFields; ++i) now.f[i] = Canon(i, r.f[i]);
    std::fill(memo, memo + kMemos, false);
  }
};

// What a committed edit leaves in stored record `s`: a field whose new value packs to the bytes read
// is not the writer's change; a zero or false over a field read without a value is written only while
// nobody changed those bytes since.
void Commit(Rec& s, const Edit& e) {
  for (int i = 0; i < kFields; ++i) {
    const std::string &p = e.now.f[i], &r = e.read.f[i];
    if (p != r && (p != Canon(i, r) || s.f[i] == r)) s.f[i] = p;
  }
  for (int k = 0; k < kMemos; ++k) {
    if (!e.memo[k] && e.now.ref[k] == e.read.ref[k]) continue;
    s.ref[k] = e.now.ref[k];
    s.memo[k] = e.now.memo[k];
  }
}

// A writer: a forked process serving commands (see Serve) on two pipes.
struct Child {
  pid_t pid = -1;
  FILE *to = nullptr, *from = nullptr;
  Edit area, ds;
};

class SharedWritesModel : public NdxTest {
 protected:
  void SetUp() override {
    NdxTest::SetUp();
    // The writers date the index semaphore by the real clock; a writer that died answers nothing.
    plat::SetClock({});
    std::signal(SIGPIPE, SIG_IGN);
  }

  uint64_t Next(uint64_t n) { return rng_() % n; }
  Rec& Model(int r) { return model_[size_t(r - 1)]; }
  // Often a record another writer stands on, else mostly the first and the
  // last two records: where the writers meet.
  int PickRecord() {
    std::vector<int> met;
    for (const Child& o : children_)
      for (int r : {o.area.rec, o.ds.rec})
        if (r) met.push_back(r);
    if (!met.empty() && Next(2)) return met[Next(met.size())];
    const int n = int(model_.size());
    return Next(4) ? std::array{1, 2, n - 1, n}[Next(4)] : 1 + int(Next(uint64_t(n)));
  }

  std::string MemoText() {
    if (Next(5) == 0) return "";
    std::string t = "S" + std::to_string(step_) + "-";
    return t + std::string(size_t(Next(3) == 0 ? 500 + Next(700) : Next(200)), char('a' + Next(26)));
  }
  // A value for field i: the text sent to the typed record, and its bytes.
  std::pair<std::string, std::string> Value(int i) {
    if (i == 0) {
      const std::string v = std::string(1, char('A' + Next(3))) + char('0' + Next(4));
      return {v, PadR(v, 10)};
    }
    if (i == 1) {
      const int v = int(Next(120));
      return {std::to_string(v), StrInt(v, 5)};
    }
    if (i == 2) {
      const std::string v = Format("%9.2f", (int(Next(100000)) - 500) / 100.0);
      return {LTrim(v), v};
    }
    if (i == 4) return Next(2) ? std::pair{"T", "T"} : std::pair{"F", "F"};
    if (!Next(4)) return {"", std::string(8, ' ')};
    const int d = 1 + int(Next(28)), m = 1 + int(Next(12)), y = 1995 + int(Next(40));
    return {Format("%02d.%02d.%04d", d, m, y), Format("%04d%02d%02d", y, m, d)};
  }
  // A new record and the texts of its fields and memos, joined by "|".
  Rec NewRec(std::string& texts) {
    Rec n;
    for (int i = 0; i < kFields; ++i) {
      auto [text, bytes] = Value(i);
      texts += text + "|";
      n.f[i] = bytes;
    }
    for (int k = 0; k < kMemos; ++k) texts += (n.memo[k] = MemoText()) + (k + 1 < kMemos ? "|" : "");
    return n;
  }

  static std::vector<TIndexTagSpec> Tags() {
    std::vector<TIndexTagSpec> specs;
    for (const TagRule& t : kTags) specs.push_back(Spec(t.name, t.key, t.condition, t.descending, t.unique));
    return specs;
  }

  // A writer's side: area 1 and a table component on `table`, one command a line, each answered "ok",
  // "ok <result>" or "error <code> <message>". Texts run to the end of the line; lists are split by "|".
  static int Serve(FILE* in, FILE* out, const std::string& table) {
    std::unique_ptr<TTzDbf> ds;
    auto dataset = [&]() -> TTzDbf& {
      if (!ds) {
        ds = std::make_unique<TTzDbf>("Model");
        ds->SetDbfFileName(table);
        ds->Open();
      }
      return *ds;
    };
    auto memo = [](int field, const std::string& text) {  // rewrites a memo through the text device
      int32_t ref;
      std::memcpy(&ref, FieldAddress(field), sizeof ref);
      TextFile f;
      AssignMemo(f, ref);
      f.Rewrite();
      f.Write(text);
      f.Close();
      std::memcpy(FieldAddress(field), &ref, sizeof ref);
      return ref;
    };
    auto locked = [](bool whole, auto write) {  // keeps the write's error past the unlock
      if (!(whole ? ALock() : RLock())) return;
      write();
      const int code = LastErrorCode();
      const std::string message = LastErrorMessage();
      Unlock();
      if (code != 0) SetError(uint16_t(code), message);
    };
    auto keepError = [](auto then) {  // runs `then` and reports the error before it
      const int code = LastErrorCode();
      const std::string message = LastErrorMessage();
      then();
      if (code != 0) SetError(uint16_t(code), message);
    };
    char* buffer = nullptr;
    size_t size = 0;
    for (ssize_t n; (n = getline(&buffer, &size, in)) > 0;) {
      const std::string line(buffer, size_t(n) - 1), cmd = line.substr(0, line.find(' '));
      const std::string arg = cmd.size() < line.size() ? line.substr(cmd.size() + 1) : "";
      const std::string first = arg.substr(0, arg.find(' ')),
                        rest = arg.substr(std::min(arg.size(), first.size() + 1));
      std::vector<std::string> list;
      std::istringstream split(rest);
      for (std::string v; std::getline(split, v, '|');) list.push_back(v);
      list.resize(kFields + kMemos);
      std::string answer;
      LastErrorCode() = 0;
      if (!cmd.starts_with("ds")) Select(1);
      if (cmd == "open") {
        USE(table, nullptr, 0);
        if (LastErrorCode() == 0) SetIndexTo("");
      } else if (cmd == "close" || cmd == "quit") {
        ds.reset();
        Select(1);
        CloseArea();
      } else if (cmd == "read") {  // GO n; the record's bytes
        GO(std::stoi(arg));
        for (int f = 0; f <= FieldCount(); ++f) answer += Peek(f, RecNo());
      } else if (cmd == "set") {  // field n of the typed record from text
        SetField(std::stoi(first), rest);
      } else if (cmd == "memo") {  // memo k (0, 1)
        answer = std::to_string(memo(kFields + 1 + std::stoi(first), rest));
      } else if (cmd == "commit" || cmd == "delete" || cmd == "recall") {
        locked(false, cmd == "commit" ? Replace : cmd == "delete" ? DeleteRec : RecallRec);
      } else if (cmd == "poke") {  // field n's raw bytes
        locked(false, [&] { Poke(rest, std::stoi(first), RecNo()); });
      } else if (cmd == "append") {  // from the end of the file (1) or a record (0); the record and memos
        if (first == "1") {
          GoBottom();
          SKIP(1);
        }
        ClearRecord();
        for (int f = 1; f <= kFields; ++f) SetField(f, list[size_t(f - 1)]);
        answer = " ";
        for (int k = 0; k < kMemos && LastErrorCode() == 0; ++k)
          answer += " " + std::to_string(memo(kFields + 1 + k, list[size_t(kFields + k)]));
        if (LastErrorCode() == 0) locked(true, Append);
        answer = std::to_string(RecNo()) + answer;
      } else if (cmd == "pack") {
        PackMemofile();
      } else if (cmd == "reindex") {
        Reindex();
      } else if (cmd == "makeindex") {  // the index is opened again however the build ended
        if (MakeIndex(Tags(), "")) SetIndexTo("");
        else keepError([] { SetIndexTo(""); });
      } else if (cmd == "dsedit") {
        dataset().SetRecNo(std::stoi(arg));
        dataset().Edit();
      } else if (cmd == "dsset" || cmd == "dsbool") {  // a field by name
        cmd == "dsset" ? dataset().SetFieldStr(first, rest) : dataset().SetFieldBool(first, rest == "T");
      } else if (cmd == "dsreread") {
        dataset().BookmarkValid(dataset().GetBookmark());
      } else if (cmd == "dspost" || cmd == "dscancel") {
        cmd == "dspost" ? dataset().Post() : dataset().Cancel();
      } else if (cmd == "dsappend") {  // the record, its date left blank, and the memos; the record count
        dataset().Append();
        for (int f = 0; f < kFields + kMemos; ++f) {
          if (f == 4) dataset().SetFieldBool(kNames[f], list[size_t(f)] == "T");
          else if (f != 3 && (f < kFields || !list[size_t(f)].empty())) dataset().SetFieldStr(kNames[f], list[size_t(f)]);
        }
        dataset().Post();
        answer = std::to_string(RecCount());
      } else if (cmd == "dsdelete") {
        dataset().SetRecNo(std::stoi(arg));
        dataset().Delete();
      } else if (cmd == "dsclose") {
        ds.reset();
      }
      const int code = LastErrorCode();
      std::fprintf(
          out, "%s\n",
          (code ? "error " + std::to_string(code) + " " + LastErrorMessage() : "ok " + answer).c_str());
      std::fflush(out);
      if (cmd == "quit") break;
    }
    EngineShutdown();
    return 0;
  }
  // Forks a writer; the copy keeps no other descriptor, so a writer's end closes its pipe.
  void Start(Child& c) {
    int down[2], up[2];
    ASSERT_TRUE(pipe(down) == 0 && pipe(up) == 0);
    if ((c.pid = fork()) == 0) {
      for (int fd = 3; fd < 1024; ++fd)
        if (fd != down[0] && fd != up[1]) close(fd);
      try {
        _exit(Serve(fdopen(down[0], "r"), fdopen(up[1], "w"), Path("T.DBF")));
      } catch (...) {
        _exit(3);  // the test sees the pipe close
      }
    }
    close(down[0]);
    close(up[1]);
    c.to = fdopen(down[1], "w");
    c.from = fdopen(up[0], "r");
  }
  // Sends a command; its answer after "ok " (or, with `code`, that error), else a failure and nullopt.
  std::optional<std::string> Ask(Child& c, const std::string& cmd, int code = 0) {
    std::fprintf(c.to, "%s\n", cmd.c_str());
    std::fflush(c.to);
    char line[4096] = "";
    const std::string a =
        std::fgets(line, sizeof line, c.from) ? std::string(line, std::strlen(line) - 1) : "";
    if (std::getenv("RUV_MODEL_TRACE"))
      std::cerr << step_ << " [" << (&c - children_.data()) << "] " << cmd.substr(0, 60) << " -> " << a.substr(0, 80)
                << "\n";
    const std::string want = code ? "error " + std::to_string(code) + " " : "ok ";
    if (a.starts_with(want)) return a.substr(want.size());
    Fail("\"" + cmd.substr(0, 40) + "\" answered \"" + a + "\"");
    return std::nullopt;
  }
  void Fail(const std::string& what) {
    if (failure_.empty()) failure_ = "step " + std::to_string(step_) + ": " + what;
  }
  void Expect(int r, const char* how, const Rec& got) {
    if (got.Text() != Model(r).Text())
      Fail("record " + std::to_string(r) + how + " \"" + got.Text() + "\", the model \"" + Model(r).Text() +
           "\"");
  }
  // After a write: the record in the file against the model. A memo the
  // component wrote is taken where the record names it, its text checked.
  void Written(int r) {
    const Rec got = OnDisk(FileBytes(Path("T.DBF")), r);
    Rec& m = Model(r);
    for (int k = 0; k < kMemos; ++k) {
      if (m.ref[k] != kUnknownRef) continue;
      m.ref[k] = got.ref[k];
      uint32_t blocks;
      if (const std::string t = MemoAt(FileBytes(MemoPath()), got.ref[k], blocks); t != m.memo[k])
        Fail("record " + std::to_string(r) + " has memo \"" + t.substr(0, 30) + "\", the model \"" +
             m.memo[k].substr(0, 30) + "\"");
    }
    Expect(r, " holds", got);
  }

  // A logical field read as "Y" and left as read packs to "T": whether that
  // counts as a change is not settled, so such a writer sets it first.
  void SettleLogical(Child& c, Edit& e, bool component) {
    if (e.read.f[4] != "Y" || e.now.f[4] != "T") return;
    if (Ask(c, component ? "dsbool OK F" : "set 5 F")) e.now.f[4] = "F";
  }

  // --- The operations (see Step) ---

  void Read(Child& c) { ReadRecord(c, PickRecord()); }
  bool ReadRecord(Child& c, int r) {
    auto got = Ask(c, "read " + std::to_string(r));
    if (got) {
      Expect(r, " read as", FromBytes(*got));
      c.area.Read(r, Model(r));
    }
    return got && failure_.empty();
  }
  // An assignment: a value, zero or blank, or back to what was read.
  void Assign(Child& c) {
    Edit& a = c.area;
    const int i = int(Next(kFields));
    const uint64_t kind = Next(4);
    auto [text, bytes] = Value(i);
    const std::string& r = a.read.f[i];
    if (kind == 2) {
      text = i == 0 || i == 3 ? "" : "0";
      bytes = Canon(i, std::string(size_t(kWidth[i]), ' '));
    } else if (kind == 3) {
      bytes = Canon(i, r);
      text = i == 0     ? RTrim(r)
             : i != 3   ? bytes
             : Blank(r) ? ""
                        : r.substr(6, 2) + "." + r.substr(4, 2) + "." + r.substr(0, 4);
    }
    if (i == 0 && Next(2)) text = PadR(text, 10);  // the length byte says nothing
    if (Ask(c, "set " + std::to_string(i + 1) + " " + text)) a.now.f[i] = bytes;
  }
  // A memo rewrite through the text device, or the component's memo write
  // (its reference read from the table once the record is written).
  void WriteMemo(Child& c, bool component) {
    Edit& e = component ? c.ds : c.area;
    const int k = int(Next(kMemos));
    std::string t = MemoText();
    if (t.empty() && e.read.ref[k] == 0) t = (component ? "D" : "R") + std::to_string(step_);
    const auto got = Ask(c, component ? "dsset " + std::string(kNames[kFields + k]) + " " + t
                                      : "memo " + std::to_string(k) + " " + t);
    if (!got) return;
    e.now.ref[k] = !component ? std::atoi(got->c_str()) : t.empty() ? 0 : kUnknownRef;
    e.now.memo[k] = t;
    e.memo[k] = true;
  }
  void RewriteMemo(Child& c) { WriteMemo(c, false); }
  // Replace, or the component's post.
  void Post(Child& c, bool component) {
    Edit& e = component ? c.ds : c.area;
    SettleLogical(c, e, component);
    if (Ask(c, component ? "dspost" : "commit")) {
      Commit(Model(e.rec), e);
      Written(e.rec);
      e.Read(e.rec, Model(e.rec));
    }
    if (component) e = Edit();
  }
  void Write(Child& c) { Post(c, false); }
  // A program's whole memo edit, mostly of a record another writer stands on.
  void EditMemo(Child& c) {
    if (!ReadRecord(c, PickRecord())) return;
    RewriteMemo(c);
    if (failure_.empty()) Write(c);
  }
  void DeleteOrRecall(Child& c) {
    Edit& a = c.area;
    const bool del = Next(2);
    if (Ask(c, del ? "delete" : "recall")) {
      Model(a.rec).del = a.read.del = a.now.del = del;
      Written(a.rec);
    }
  }
  // Another program's raw bytes in a field no tag uses.
  void PokeField(Child& c) {
    Edit& a = c.area;
    const int i = Next(2) ? 4 : 2;
    const std::string bytes = i == 4 ? std::string(1, " ?YTF"[Next(5)]) : std::string(9, ' ');
    if (Ask(c, "poke " + std::to_string(i + 1) + " " + bytes)) {
      Model(a.rec).f[i] = bytes;
      Written(a.rec);
    }
  }
  // The memos are written first, in the record buffer the append then writes.
  void AppendRecord(Child& c) {
    std::string texts;
    Rec n = NewRec(texts);
    if (auto got = Ask(c, "append " + std::to_string(Next(2)) + " " + texts)) {
      int rec = 0;
      std::istringstream(*got) >> rec >> n.ref[0] >> n.ref[1];
      model_.push_back(n);
      if (rec != int(model_.size())) Fail("appended as record " + std::to_string(rec));
      c.area.Read(int(model_.size()), n);
      Written(int(model_.size()));
    }
  }
  void Reopen(Child& c) {
    if (Ask(c, "close") && Ask(c, "open")) c.area = c.ds = Edit();
  }
  // `command` beside the other writers, where it fails with `sharing`, or alone on the table (the
  // others and this writer's component closed meanwhile), or, as a program that tries again, the
  // one and then the other. True when it ran alone.
  bool AloneOrFailing(Child& c, const std::string& command, int sharing) {
    const uint64_t how = Next(3);  // 0 beside, 1 alone, 2 both
    if (how != 1 && !Ask(c, command, sharing)) return false;
    if (how == 0) return false;
    std::vector<Child*> closed;
    for (Child& o : children_)
      if (&o != &c && Ask(o, "close")) {
        o.area = o.ds = Edit();
        closed.push_back(&o);
      }
    if (Ask(c, "dsclose")) c.ds = Edit();
    const bool ran = Ask(c, command).has_value();
    for (Child* o : closed) Ask(*o, "open");
    return ran;
  }
  // A memo pack: the references move, the texts stay, and so do the
  // packing area's rewrites that no record got yet (their references are
  // read from the table once written).
  void PackMemos(Child& c) {
    if (!AloneOrFailing(c, "pack", 32)) return;
    const std::vector<uint8_t> dbf = FileBytes(Path("T.DBF"));
    for (int r = 1; r <= int(model_.size()); ++r) std::copy_n(OnDisk(dbf, r).ref, kMemos, Model(r).ref);
    Edit& a = c.area;
    for (int k = 0; k < kMemos && a.rec; ++k) {
      a.read.ref[k] = Model(a.rec).ref[k];
      a.now.ref[k] = a.memo[k] ? kUnknownRef : a.read.ref[k];
    }
    if (const std::string f = Check(); !f.empty()) Fail(f);
  }
  // An index built again: Reindex puts the controlling tag back, which
  // reads the record again, however the build ended.
  void Rebuild(Child& c) {
    const bool reindex = Next(2);
    AloneOrFailing(c, reindex ? "reindex" : "makeindex", 225);
    if (reindex && c.area.rec) c.area.Read(c.area.rec, Model(c.area.rec));
  }

  void ComponentEdit(Child& c) {
    const int r = PickRecord();
    if (Ask(c, "dsedit " + std::to_string(r))) c.ds.Read(r, Model(r));
  }
  void ComponentSet(Child& c) {
    const int i = std::array{0, 1, 2, 4}[Next(4)];
    const auto [text, bytes] = Value(i);
    if (Ask(c, std::string(i == 4 ? "dsbool " : "dsset ") + kNames[i] + " " + text)) c.ds.now.f[i] = bytes;
  }
  void ComponentMemo(Child& c) { WriteMemo(c, true); }
  // Something reads the record again meanwhile.
  void ComponentReread(Child& c) { Ask(c, "dsreread"); }
  void ComponentPost(Child& c) { Post(c, true); }
  void ComponentCancel(Child& c) {
    if (Ask(c, "dscancel")) c.ds = Edit();
  }
  void ComponentAppend(Child& c) {
    std::string texts;
    Rec n = NewRec(texts);
    n.f[3] = std::string(8, ' ');
    for (int k = 0; k < kMemos; ++k) n.ref[k] = n.memo[k].empty() ? 0 : kUnknownRef;
    if (auto got = Ask(c, "dsappend 0 " + texts)) {
      model_.push_back(n);
      if (std::atoi(got->c_str()) != int(model_.size())) Fail("the component appended as record " + *got);
      Written(int(model_.size()));
    }
  }
  void ComponentDelete(Child& c) {
    const int r = PickRecord();
    if (Ask(c, "dsdelete " + std::to_string(r))) {
      Model(r).del = true;
      Written(r);
    }
  }

  // One step of writer `c`: an operation of a group switched on, that the
  // writer's state allows, by weight.
  void Step(Child& c) {
    enum Needs { kAny, kAreaRecord, kEditing, kNotEditing };
    struct Op {
      int weight, group;
      Needs needs;
      void (SharedWritesModel::*run)(Child&);
    };
    static const Op kOps[] = {
        {14, 0, kAny, &SharedWritesModel::Read},
        {22, 1, kAreaRecord, &SharedWritesModel::Assign},
        {14, 2, kAreaRecord, &SharedWritesModel::RewriteMemo},
        {14, 0, kAreaRecord, &SharedWritesModel::Write},
        {4, 2, kAny, &SharedWritesModel::EditMemo},
        {4, 3, kAreaRecord, &SharedWritesModel::DeleteOrRecall},
        {4, 3, kAreaRecord, &SharedWritesModel::PokeField},
        {4, 4, kAny, &SharedWritesModel::AppendRecord},
        {2, 4, kAny, &SharedWritesModel::Reopen},
        {2, 5, kAny, &SharedWritesModel::PackMemos},
        {1, 5, kAny, &SharedWritesModel::Rebuild},
        {6, 6, kNotEditing, &SharedWritesModel::ComponentEdit},
        {5, 6, kEditing, &SharedWritesModel::ComponentSet},
        {3, 6, kEditing, &SharedWritesModel::ComponentMemo},
        {2, 6, kEditing, &SharedWritesModel::ComponentReread},
        {5, 6, kEditing, &SharedWritesModel::ComponentPost},
        {1, 6, kEditing, &SharedWritesModel::ComponentCancel},
        {2, 6, kNotEditing, &SharedWritesModel::ComponentAppend},
        {1, 6, kNotEditing, &SharedWritesModel::ComponentDelete},
    };
    static const int total = [] {
      int sum = 0;
      for (const Op& op : kOps) sum += op.weight;
      return sum;
    }();
    for (;;) {
      int pick = int(Next(uint64_t(total)));
      const Op* op = kOps;
      while (pick >= op->weight) pick -= op++->weight;
      const bool allowed = op->needs == kAny || (op->needs == kAreaRecord && c.area.rec != 0) ||
                           (op->needs == kEditing && c.ds.rec != 0) || (op->needs == kNotEditing && c.ds.rec == 0);
      if (op->group == 0 || (allowed && (groups_ >> op->group & 1))) {
        if (allowed) (this->*op->run)(c);
        else Read(c);
        return;
      }
    }
  }

  // A record from its bytes (no memo text).
  static Rec FromBytes(const std::string& bytes) {
    Rec got;
    if (bytes.size() != kRecLen) return got;
    got.del = bytes[0] == '*';
    size_t at = 1;
    for (size_t i = 0; i < kFields; at += size_t(kWidth[i++])) got.f[i] = bytes.substr(at, size_t(kWidth[i]));
    for (int k = 0; k < kMemos; ++k, at += 10) got.ref[k] = std::atoi(bytes.substr(at, 10).c_str());
    return got;
  }
  static Rec OnDisk(const std::vector<uint8_t>& dbf, int r) {
    const size_t at = plat::readLE16(dbf.data() + 8) + size_t(r - 1) * plat::readLE16(dbf.data() + 10);
    return FromBytes(at + kRecLen > dbf.size()
                         ? ""
                         : std::string(reinterpret_cast<const char*>(dbf.data() + at), kRecLen));
  }
  std::string MemoPath() { return Path(version_ == 0xF5 ? "T.FPT" : "T.DBT"); }
  uint32_t BlockSize(const std::vector<uint8_t>& m) const {
    return version_ == 0xF5 ? plat::readBE16(m.data() + 6) : version_ == 0x83 ? 512 : plat::readLE16(m.data() + 20);
  }
  // The text of the memo `ref` leads to, and the blocks it takes (0: none).
  std::string MemoAt(const std::vector<uint8_t>& m, int32_t ref, uint32_t& blocks) const {
    blocks = 0;
    const uint32_t bs = BlockSize(m);
    const size_t at = size_t(std::abs(int64_t(ref))) * bs;
    if (ref == 0 || at + 8 > m.size()) return "";
    const uint8_t* p = m.data() + at;
    size_t len = 0, head = 8;
    if (version_ == 0xF5)
      len = plat::readBE32(p + 4);
    else if (plat::readLE32(p) == 0x0008FFFFu)
      len = plat::readLE32(p + 4) - 8;
    else if (version_ == 0x83)
      for (head = 0; at + len < m.size() && p[len] != 0x1A; ++len) {}
    blocks = uint32_t((len + head + (head ? 0 : 1) + bs - 1) / bs);
    return std::string(reinterpret_cast<const char*>(p + head), std::min(len, m.size() - at - head));
  }

  // A fresh table of `records` records with the tags built over them (their leaves full, so that the
  // first keys that move split them); the model holds them.
  void MakeTable(int records) {
    model_.clear();
    std::filesystem::remove(Path("T.MDX"));
    DbSettings().DefaultVersionByte = version_;
    std::vector<FieldEntry> fields = {{"NAME", 'C', 10}, {"QTY", 'N', 5},    {"AMT", 'F', 9, 2},  {"DAT", 'D', 8},
                                      {"OK", 'L', 1},    {"NOTE", 'M', 10}, {"NOTE2", 'M', 10}};
    WorkArea scratch;
    CreateDbf(scratch, Path("T.DBF"), fields);
    Engine().memo.NoFlush = true;  // nobody else has the files yet
    Open(1, "T.DBF EXCLUSIVE");
    for (int r = records; r > 0; --r) {
      std::string texts, v;
      Rec& n = model_.emplace_back(NewRec(texts));
      std::istringstream split(texts);
      ClearRecord();
      for (int i = 0; i < kFields && std::getline(split, v, '|'); ++i) SetField(i + 1, v);
      for (int k = 0; k < kMemos; ++k) {
        n.ref[k] = AddMemo(n.memo[k]);
        std::memcpy(FieldAddress(kFields + 1 + k), &n.ref[k], sizeof n.ref[k]);
      }
      Append();
    }
    Index(Tags());
    SetMdxFlag(true);  // the table component opens the index the header announces
    CloseArea();
    Engine().memo.NoFlush = false;
  }

  // Every tag against the order the model's values give it; the differences, or "".
  std::string CheckTags() {
    std::ostringstream out;
    const std::vector<TagDump> dump = DumpIndex(Path("T.MDX"));
    if (dump.size() != std::size(kTags)) out << dump.size() << " tags; ";
    for (size_t t = 0; t < std::min(dump.size(), std::size(kTags)); ++t) {
      const TagRule& rule = kTags[t];
      const TagDump& d = dump[t];
      if (!d.fault.empty()) out << "tag " << d.name << ": " << d.fault << "; ";
      if (rule.unique) {
        // The first record of a key holds it; which one that is depends on
        // the history, but it holds that key now, and no key comes twice.
        for (size_t i = 0; i < d.entries.size(); ++i) {
          const Entry& e = d.entries[i];
          const bool own = e.rec >= 1 && e.rec <= int(model_.size()) && rule.order(Model(e.rec)) == e.key;
          if (!own || (i > 0 && d.entries[i - 1].key >= e.key)) {
            out << "tag " << d.name << " entry " << i << ": record " << e.rec << " under \"" << e.key << "\"; ";
            break;
          }
        }
        continue;
      }
      std::vector<std::pair<std::string, int32_t>> want;
      for (int r = 1; r <= int(model_.size()); ++r)
        if (!rule.holds || rule.holds(Model(r))) want.emplace_back(rule.order(Model(r)), r);
      std::stable_sort(want.begin(), want.end(), [&](const auto& x, const auto& y) {
        return rule.descending ? x.first > y.first : x.first < y.first;
      });
      const std::vector<int32_t> got = Records(d);
      for (size_t i = 0; i < std::max(got.size(), want.size()); ++i) {
        if (i < got.size() && i < want.size() && got[i] == want[i].second) continue;
        out << "tag " << d.name << " entry " << i << ": record " << (i < got.size() ? got[i] : 0) << ", the model "
            << (i < want.size() ? want[i].second : 0) << "; ";
        break;
      }
    }
    return out.str();
  }

  // Every record, memo, memo block and tag against the model (the header's
  // record count too once every writer `closed` the table); the differences, or "".
  std::string Check(bool closed = false) {
    std::ostringstream out;
    const std::vector<uint8_t> dbf = FileBytes(Path("T.DBF")), m = FileBytes(MemoPath());
    const size_t header = plat::readLE16(dbf.data() + 8), count = (dbf.size() - header) / kRecLen;
    if (count != model_.size() || (closed && plat::readLE32(dbf.data() + 4) != count))
      out << "the table holds " << count << " records, its header " << plat::readLE32(dbf.data() + 4) << "; ";
    const uint32_t bs = BlockSize(m);
    std::map<uint32_t, std::string> owner;
    uint32_t end = 0;
    auto take = [&](uint32_t first, uint32_t blocks, const std::string& who) {
      for (uint32_t b = first; b < first + blocks && b < first + 100000; ++b)
        if (!owner.emplace(b, who).second)
          out << "block " << b << " belongs to " << owner[b] << " and " << who << "; ";
      end = std::max(end, first + blocks);
    };
    for (int r = 1; r <= int(model_.size()); ++r) {
      Rec got = OnDisk(dbf, r);
      for (int k = 0; k < kMemos; ++k) {
        uint32_t blocks;
        got.memo[k] = MemoAt(m, got.ref[k], blocks);
        take(uint32_t(std::abs(int64_t(got.ref[k]))), blocks, "record " + std::to_string(r));
      }
      bool same = got.Text() == Model(r).Text();
      for (int k = 0; k < kMemos; ++k) same &= got.memo[k] == Model(r).memo[k];
      if (!same) out << "record " << r << " holds " << got.WithMemo() << ", the model " << Model(r).WithMemo() << "; ";
    }
    const uint32_t blocks = uint32_t((m.size() + bs - 1) / bs);
    if (version_ == 0x8B) {
      for (uint32_t at = plat::readLE32(m.data()), runs = 0; at < blocks && runs < blocks; ++runs) {
        take(at, plat::readLE32(m.data() + size_t(at) * bs + 4), "free run " + std::to_string(at));
        at = plat::readLE32(m.data() + size_t(at) * bs);
      }
    } else {
      const uint32_t next = version_ == 0xF5 ? plat::readBE32(m.data()) : plat::readLE32(m.data());
      if (next < end) out << "the next free block " << next << " lies inside memos ending at " << end << "; ";
    }
    return out.str() + CheckTags();
  }

  // Runs, each on a fresh table with two or three programs, checked on the way and at the end.
  void Run(uint8_t version) {
    // The default seed meets what the model was widened for: a pack that left out the records
    // other programs appended (on each flavour), a memo written before an append that a later
    // Replace put back over another program's, a failed pack that forgot a rewrite, a pack that
    // dropped the packing area's rewrite; and every kind of conflict the model knows (a rewrite
    // landing in the blocks it read, freed by another program; memo runs freed only by the writer
    // that replaced them; zeros over blanks; re-reads in an edit, the component's too; splits).
    const char *s = std::getenv("RUV_MODEL_SEED"), *n = std::getenv("RUV_MODEL_STEPS");
    const uint64_t seed = s ? std::strtoull(s, nullptr, 10) : 628;
    const int steps = n ? std::atoi(n) : kLongRun + kShortRuns * kShortRun;
    RecordProperty("seed", std::to_string(seed));
    RecordProperty("steps", steps);
    std::cout << "[ model    ] seed " << seed << ", " << steps << " steps (RUV_MODEL_SEED, RUV_MODEL_STEPS)"
              << std::endl;
    version_ = version;
    for (int run = 0, first = 1, length; first <= steps; ++run, first += length) {
      const bool longRun = run % (kShortRuns + 1) == 0;
      length = std::min(longRun ? kLongRun : kShortRun, steps - first + 1);
      rng_.seed(seed * 1000003 + version * 131 + uint64_t(run));
      failure_.clear();
      step_ = 0;
      MakeTable(longRun ? 200 + int(Next(200)) : 4);
      children_ = std::vector<Child>(2 + Next(2));
      for (Child& c : children_) {
        Start(c);
        Ask(c, "open");
      }
      for (step_ = 1; step_ <= length && failure_.empty(); ++step_) {
        if (step_ % kCheckEvery == 1) {
          // Some stretches (half the short runs) rewrite memos with no field changes to mix in.
          groups_ = Next(longRun ? 3 : 2) == 0 ? 0b110101 : 1 | Next(128);
          if (const std::string f = step_ > 1 ? Check() : ""; !f.empty()) Fail(f);
        }
        if (failure_.empty()) Step(children_[Next(children_.size())]);
      }
      for (Child& c : children_) {
        int status = -1;
        if (!Ask(c, "quit") || waitpid(c.pid, &status, 0) != c.pid || status != 0)
          Fail("a writer did not end cleanly");
        std::fclose(c.to);
        std::fclose(c.from);
      }
      if (failure_.empty()) failure_ = Check(true);
      if (failure_.empty()) continue;
      const std::string rerun =
          "run " + std::to_string(run) + " (steps " + std::to_string(first) +
          "..) of RUV_MODEL_SEED=" + std::to_string(seed) + " RUV_MODEL_STEPS=" + std::to_string(steps);
      ADD_FAILURE() << rerun << ": " << failure_;
      std::cout << "[ model    ] " << rerun << " failed" << std::endl;
    }
  }

  std::mt19937_64 rng_;
  uint8_t version_ = 0x8B;
  std::vector<Rec> model_;
  std::vector<Child> children_;
  std::string failure_;
  int step_ = 0;
  uint64_t groups_ = 0;
};

TEST_F(SharedWritesModel, DBase4TableKeepsEveryCommittedChange) { Run(0x8B); }
TEST_F(SharedWritesModel, DBase3TableKeepsEveryCommittedChange) { Run(0x83); }
TEST_F(SharedWritesModel, FoxProTableKeepsEveryCommittedChange) { Run(0xF5); }

}  // namespace
}  // namespace ndxtest

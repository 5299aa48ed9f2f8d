// Two or three writers, forked copies of this test each holding a shared table with tags and a memo
// field in an area and in a table component, are stepped through a seeded random interleaving: reads,
// assignments of every field type (to a value, to zero or blank, back to what was read, text padded or
// not), memo rewrites, dropped edits, Replace, delete and recall, raw writes of a field, appends, posts
// through the component with a re-read between edit and post, closes and reopens. In the model a field
// holds the last committed write that changed it; a field a writer left alone or set back to what it
// read is not its change. Each written record is checked at once; after each run every record, every
// memo's text, the owner of every memo block (one record, or the free chain) and every tag (against a
// fresh build). RUV_MODEL_SEED and RUV_MODEL_STEPS (per table flavour) rerun or lengthen it.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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
  std::string WithMemo() const {
    return "\"" + Text() + "\" memo \"" + memo.substr(0, 40) + "\"(" + std::to_string(memo.size()) + ")";
  }
};

std::string Format(const char* format, auto... values) {
  char out[32];
  std::snprintf(out, sizeof out, format, values...);
  return out;
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

// What a committed edit leaves in stored record `s`: a field whose new value packs to the bytes read
// is not the writer's change; a zero or false over a field read without a value is written only while
// nobody changed those bytes since.
void Commit(Rec& s, const Edit& e) {
  for (int i = 0; i < kFields; ++i) {
    const std::string &p = e.now.f[i], &r = e.read.f[i];
    if (p != r && (p != Canon(i, r) || s.f[i] == r)) s.f[i] = p;
  }
  if (e.memo || e.now.ref != e.read.ref) {
    s.ref = e.now.ref;
    s.memo = e.now.memo;
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
  int PickRecord() { return 1 + int(Next(Next(4) ? std::min<size_t>(model_.size(), 2) : model_.size())); }

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
  // A new record: the texts of its fields for the typed record, and the model.
  Rec NewRec(std::vector<std::string>& texts) {
    Rec n;
    for (int i = 0; i < kFields; ++i) {
      auto [text, bytes] = Value(i);
      texts.push_back(text);
      n.f[i] = bytes;
    }
    n.memo = MemoText();
    return n;
  }

  // A writer's side: area 1 and a table component on `table`, one command a line, each answered "ok",
  // "ok <result>" or "error <code> <message>". Texts run to the end of the line.
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
    auto memo = [](const std::string& text) {  // rewrites field 6 through the text device
      int32_t ref;
      std::memcpy(&ref, FieldAddress(6), sizeof ref);
      TextFile f;
      AssignMemo(f, ref);
      f.Rewrite();
      f.Write(text);
      f.Close();
      std::memcpy(FieldAddress(6), &ref, sizeof ref);
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
    char* buffer = nullptr;
    size_t size = 0;
    for (ssize_t n; (n = getline(&buffer, &size, in)) > 0;) {
      const std::string line(buffer, size_t(n) - 1), cmd = line.substr(0, line.find(' '));
      const std::string arg = cmd.size() < line.size() ? line.substr(cmd.size() + 1) : "";
      const std::string first = arg.substr(0, arg.find(' ')),
                        rest = arg.substr(std::min(arg.size(), first.size() + 1));
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
      } else if (cmd == "memo") {
        answer = std::to_string(memo(arg));
      } else if (cmd == "commit" || cmd == "delete" || cmd == "recall") {
        locked(false, cmd == "commit" ? Replace : cmd == "delete" ? DeleteRec : RecallRec);
      } else if (cmd == "poke") {  // field n's raw bytes
        locked(false, [&] { Poke(rest, std::stoi(first), RecNo()); });
      } else if (cmd == "append") {  // the field texts and the memo, split by "|"; the record and memo
        ClearRecord();
        std::istringstream texts(arg);
        std::string v;
        for (int f = 1; f <= kFields && std::getline(texts, v, '|'); ++f) SetField(f, v);
        std::getline(texts, v);
        const int32_t ref = memo(v);
        if (LastErrorCode() == 0) locked(true, Append);
        answer = std::to_string(RecNo()) + " " + std::to_string(ref);
      } else if (cmd == "dsedit") {
        dataset().SetRecNo(std::stoi(arg));
        dataset().Edit();
      } else if (cmd == "dsset" || cmd == "dsbool") {  // a field by name
        cmd == "dsset" ? dataset().SetFieldStr(first, rest) : dataset().SetFieldBool(first, rest == "T");
      } else if (cmd == "dsreread") {
        dataset().BookmarkValid(dataset().GetBookmark());
      } else if (cmd == "dspost" || cmd == "dscancel") {
        cmd == "dspost" ? dataset().Post() : dataset().Cancel();
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
  // Sends a command; its answer after "ok ", or a failure and nullopt.
  std::optional<std::string> Ask(Child& c, const std::string& cmd) {
    std::fprintf(c.to, "%s\n", cmd.c_str());
    std::fflush(c.to);
    char line[4096] = "";
    const std::string a =
        std::fgets(line, sizeof line, c.from) ? std::string(line, std::strlen(line) - 1) : "";
    if (a.starts_with("ok ")) return a.substr(3);
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
  // After a write: the record in the file against the model.
  void Written(int r) { Expect(r, " holds", OnDisk(FileBytes(Path("T.DBF")), r)); }

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
    Edit &a = c.area, &d = c.ds;
    uint64_t what;
    do what = Next(100);
    while (!(groups_ >> Group(what) & 1));
    if (a.rec == 0 && what < 75) what = 0;  // these need a record read

    if (what < 14) {  // read, dropping whatever the area changed
      const int r = PickRecord();
      if (auto got = Ask(c, "read " + std::to_string(r))) {
        Expect(r, " read as", FromBytes(*got));
        a.Read(r, Model(r));
      }
    } else if (what < 36) {  // an assignment: a value, zero or blank, or back to what was read
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
        Commit(Model(a.rec), a);
        a.Read(a.rec, Model(a.rec));
        Written(a.rec);
      }
    } else if (what < 69) {  // delete or recall
      const bool del = Next(2);
      if (Ask(c, del ? "delete" : "recall")) {
        Model(a.rec).del = a.read.del = a.now.del = del;
        Written(a.rec);
      }
    } else if (what < 75) {  // another program's raw bytes in a field no tag uses
      const int i = Next(2) ? 4 : 2;
      const std::string bytes = i == 4 ? std::string(1, " ?YTF"[Next(5)]) : std::string(9, ' ');
      if (Ask(c, "poke " + std::to_string(i + 1) + " " + bytes)) {
        Model(a.rec).f[i] = bytes;
        Written(a.rec);
      }
    } else if (what < 78) {  // append
      std::vector<std::string> texts;
      Rec n = NewRec(texts);
      std::string cmd = "append ";
      for (const std::string& t : texts) cmd += t + "|";
      if (auto got = Ask(c, cmd + n.memo)) {
        int rec = 0;
        std::istringstream(*got) >> rec >> n.ref;
        model_.push_back(n);
        if (rec != int(model_.size())) Fail("appended as record " + std::to_string(rec));
        a.Read(int(model_.size()), n);
        Written(int(model_.size()));
      }
    } else if (what < 80) {  // close and reopen (the component too)
      if (Ask(c, "close") && Ask(c, "open")) a = d = Edit();
    } else if (d.rec == 0) {  // the component goes into edit
      const int r = PickRecord();
      if (Ask(c, "dsedit " + std::to_string(r))) d.Read(r, Model(r));
    } else if (what < 88) {  // the component sets a field
      const int i = std::array{0, 1, 2, 4}[Next(4)];
      const auto [text, bytes] = Value(i);
      if (Ask(c, std::string(i == 4 ? "dsbool " : "dsset ") + kNames[i] + " " + text)) d.now.f[i] = bytes;
    } else if (what < 92) {  // something reads the record again meanwhile
      Ask(c, "dsreread");
    } else if (what < 98) {
      SettleLogical(c, d, true);
      if (Ask(c, "dspost")) {
        Commit(Model(d.rec), d);
        Written(d.rec);
      }
      d = Edit();
    } else if (Ask(c, "dscancel")) {
      d = Edit();
    }
  }

  // A record from its 44 bytes (no memo text).
  static Rec FromBytes(const std::string& bytes) {
    Rec got;
    if (bytes.size() != 44) return got;
    got.del = bytes[0] == '*';
    for (size_t i = 0, at = 1; i < kFields; at += size_t(kWidth[i++]))
      got.f[i] = bytes.substr(at, size_t(kWidth[i]));
    got.ref = std::atoi(bytes.substr(34).c_str());
    return got;
  }
  static Rec OnDisk(const std::vector<uint8_t>& dbf, int r) {
    const size_t at = plat::readLE16(dbf.data() + 8) + size_t(r - 1) * plat::readLE16(dbf.data() + 10);
    return FromBytes(at + 44 > dbf.size() ? ""
                                          : std::string(reinterpret_cast<const char*>(dbf.data() + at), 44));
  }

  static std::vector<TIndexTagSpec> Tags() {
    return {Spec("NAME", "NAME"), Spec("QTY", "QTY"), Spec("DAT", "DAT"),
            Spec("MIX", "NAME+STR(QTY,5)", "QTY > 40")};
  }

  // A fresh table of four records with the tags; the model holds them.
  void MakeTable(uint8_t version) {
    model_.clear();
    std::filesystem::remove(Path("T.MDX"));
    DbSettings().DefaultVersionByte = version;
    std::vector<FieldEntry> fields = {{"NAME", 'C', 10}, {"QTY", 'N', 5}, {"AMT", 'F', 9, 2},
                                      {"DAT", 'D', 8},   {"OK", 'L', 1},  {"NOTE", 'M', 10}};
    WorkArea scratch;
    CreateDbf(scratch, Path("T.DBF"), fields);
    Open(1, "T.DBF EXCLUSIVE");
    for (int r = 0; r < 4; ++r) {
      std::vector<std::string> texts;
      Rec& n = model_.emplace_back(NewRec(texts));
      ClearRecord();
      for (int i = 0; i < kFields; ++i) SetField(i + 1, texts[size_t(i)]);
      n.ref = AddMemo(n.memo);
      std::memcpy(FieldAddress(6), &n.ref, sizeof n.ref);
      Append();
    }
    Index(Tags());
    SetMdxFlag(true);  // the table component opens the index the header announces
    CloseArea();
  }

  // Every record, memo, memo block and tag against the model; the differences, or "".
  std::string Check(uint8_t version) {
    std::ostringstream out;
    const std::vector<uint8_t> dbf = FileBytes(Path("T.DBF")),
                               m = FileBytes(Path(version == 0xF5 ? "T.FPT" : "T.DBT"));
    const int count = int(plat::readLE32(dbf.data() + 4));
    if (count != int(model_.size())) out << "the table holds " << count << " records; ";
    const uint32_t bs = version == 0xF5   ? plat::readBE16(m.data() + 6)
                        : version == 0x83 ? 512
                                          : plat::readLE16(m.data() + 20);
    std::map<uint32_t, std::string> owner;
    uint32_t end = 0;
    auto take = [&](uint32_t first, uint32_t blocks, const std::string& who) {
      for (uint32_t b = first; b < first + blocks && b < first + 100000; ++b)
        if (!owner.emplace(b, who).second)
          out << "block " << b << " belongs to " << owner[b] << " and " << who << "; ";
      end = std::max(end, first + blocks);
    };
    for (int r = 1; r <= std::min(count, int(model_.size())); ++r) {
      Rec got = OnDisk(dbf, r);
      const size_t at = size_t(got.ref) * bs;
      if (got.ref > 0 && at + 8 <= m.size()) {
        const uint8_t* p = m.data() + at;
        size_t len = 0, head = 8;
        if (version == 0xF5)
          len = plat::readBE32(p + 4);
        else if (plat::readLE32(p) == 0x0008FFFFu)
          len = plat::readLE32(p + 4) - 8;
        else if (version == 0x83)
          for (head = 0; at + len < m.size() && p[len] != 0x1A; ++len) {}
        got.memo.assign(reinterpret_cast<const char*>(p + head), std::min(len, m.size() - at - head));
        take(uint32_t(got.ref), uint32_t((len + head + (head ? 0 : 1) + bs - 1) / bs),
             "record " + std::to_string(r));
      }
      if (got.Text() != Model(r).Text() || got.memo != Model(r).memo)
        out << "record " << r << " holds " << got.WithMemo() << ", the model " << Model(r).WithMemo() << "; ";
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
        std::filesystem::copy_file(Path("T" + ext), Path("R" + ext),
                                   std::filesystem::copy_options::overwrite_existing);
    std::filesystem::remove(Path("R.MDX"));
    USE(Path("R.DBF EXCLUSIVE"), nullptr, 0);
    if (!MakeIndex(Tags(), "")) out << "cannot build the tags: " << LastErrorMessage();
    CloseArea();
    const auto built = DumpIndex(Path("R.MDX")), kept = DumpIndex(Path("T.MDX"));
    if (built.size() != kept.size()) out << kept.size() << " tags; ";
    for (size_t t = 0; t < std::min(built.size(), kept.size()); ++t) {
      if (!kept[t].fault.empty()) out << "tag " << kept[t].name << ": " << kept[t].fault << "; ";
      if (kept[t].entries != built[t].entries)
        out << "tag " << kept[t].name
            << " against a fresh build: " << FirstDifference(kept[t].entries, built[t].entries) << "; ";
    }
    return out.str();
  }

  // Runs of kRunSteps steps, each on a fresh table with two or three programs, then the check.
  void Run(uint8_t version) {
    // The default seed's runs meet every kind of conflict the model knows
    // (memo runs freed and reused, zeros over blanks, re-reads in an edit).
    const char *s = std::getenv("RUV_MODEL_SEED"), *n = std::getenv("RUV_MODEL_STEPS");
    const uint64_t seed = s ? std::strtoull(s, nullptr, 10) : 105;
    const int steps = n ? std::atoi(n) : 300;
    RecordProperty("seed", std::to_string(seed));
    RecordProperty("steps", steps);
    std::cout << "[ model    ] seed " << seed << ", " << steps << " steps (RUV_MODEL_SEED, RUV_MODEL_STEPS)"
              << std::endl;
    for (int run = 0; run * kRunSteps < steps; ++run) {
      rng_.seed(seed * 1000003 + version * 131 + uint64_t(run));
      failure_.clear();
      step_ = 0;
      MakeTable(version);
      std::vector<Child> children(2 + Next(2));
      // A third of the runs rewrite memos with no field changes to mix in.
      groups_ = Next(3) == 0 ? 0b101101 : 1 | Next(128);
      for (Child& c : children) {
        Start(c);
        Ask(c, "open");
      }
      for (step_ = 1; step_ <= std::min(kRunSteps, steps - run * kRunSteps) && failure_.empty(); ++step_)
        Step(children[Next(children.size())]);
      for (Child& c : children) {
        int status = -1;
        if (!Ask(c, "quit") || waitpid(c.pid, &status, 0) != c.pid || status != 0)
          Fail("a writer did not end cleanly");
        std::fclose(c.to);
        std::fclose(c.from);
      }
      if (failure_.empty()) failure_ = Check(version);
      if (failure_.empty()) continue;
      const std::string rerun =
          "run " + std::to_string(run) + " (steps " + std::to_string(run * kRunSteps + 1) +
          "..) of RUV_MODEL_SEED=" + std::to_string(seed) + " RUV_MODEL_STEPS=" + std::to_string(steps);
      ADD_FAILURE() << rerun << ": " << failure_;
      std::cout << "[ model    ] " << rerun << " failed" << std::endl;
    }
  }

  std::mt19937_64 rng_;
  std::vector<Rec> model_;
  std::string failure_;
  int step_ = 0;
  uint64_t groups_ = 0;
};

TEST_F(SharedWritesModel, DBase4TableKeepsEveryCommittedChange) { Run(0x8B); }
TEST_F(SharedWritesModel, DBase3TableKeepsEveryCommittedChange) { Run(0x83); }
TEST_F(SharedWritesModel, FoxProTableKeepsEveryCommittedChange) { Run(0xF5); }

}  // namespace
}  // namespace ndxtest

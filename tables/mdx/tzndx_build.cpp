// Building tags: every record's key in one pass over the table file,
// sorted in memory (or in sorted runs on a temporary file that are merged),
// and the tree written bottom-up, node by node, at the end of the index
// file.
#include <algorithm>
#include <cstring>
#include <queue>

#include "platform/pfs.h"
#include "tables/mdx/tzndx.h"
#include "tables/mdx/tzndx_internal.h"
#include "tables/expr/tzndxlow.h"
#include "tablebase/timedate.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzdbflow.h"
#include "tablebase/tzutils.h"

using namespace ndx;

namespace {

constexpr size_t kBufferSize = 65512;  // the read/write buffer
constexpr size_t kWriteBuffer = kBufferSize / kNodeSize * kNodeSize;
const std::string kMake = " [MakeIndex]";

// Calls the installed progress procedure once per interval of records or
// keys, and the steps still due at the end.
class Progress {
 public:
  explicit Progress(int32_t records) {
    const IndexState& s = Engine().index;
    if (!s.ProgressStep || s.ProgressSteps <= 0) return;
    step_ = s.ProgressStep;
    left_ = s.ProgressSteps;
    interval_ = std::max<int64_t>(2, int64_t(records / s.ProgressSteps) * 2);
  }
  void Tick() {
    if (left_ > 0 && ++count_ % interval_ == 0) Call();
  }
  void Restart() { count_ = 0; }
  void Finish() {
    while (left_ > 0) Call();
  }

 private:
  void Call() {
    --left_;
    step_();
  }
  std::function<void()> step_;
  int left_ = 0;
  int64_t interval_ = 1;
  int64_t count_ = 0;
};

// The build's temporary file, erased however the build ends.
class TempRuns {
 public:
  ~TempRuns() {
    if (!name_.empty()) {
      file_.Close();
      plat::EraseFile(name_);
    }
  }
  bool Open() {
    if (!name_.empty()) return true;
    name_ = UniqueFilename();
    if (name_.empty()) return false;
    if (int rc = file_.Open(name_, plat::kAccessReadWrite | plat::kShareDenyAll)) {
      SetError(uint16_t(rc), "Cannot open " + name_ + kMake);
      return false;
    }
    return true;
  }
  plat::File& File() { return file_; }

 private:
  std::string name_;
  plat::File file_;
};

// Sort items: the key, then the record number (little-endian).
class Builder {
 public:
  Builder(WorkArea& a, IndexArea& ix, Tag& t) : a_(a), ix_(ix), t_(t), len_(t.Geo.KeyLen + 4u) {}

  // The tree of the tag; its root page, or 0 after a reported failure.
  uint32_t Build(bool& hasKeys);

 private:
  bool Less(const uint8_t* x, const uint8_t* y) const {
    int c = CompareKeys(t_, x, y);
    if (c != 0) return c < 0;
    return plat::readLE32(x + t_.Geo.KeyLen) < plat::readLE32(y + t_.Geo.KeyLen);
  }
  bool ReadKeys(bool& hasKeys);
  // Sorts the keys in memory; with `writeRun` (or once runs exist) they go
  // to the temporary file as the next run.
  bool FlushRun(bool writeRun);
  bool Merge();
  bool Emit(const uint8_t* item);
  bool WriteNodeOut(Node& n, uint32_t& page);
  bool FlushWrites();
  uint32_t Finish();

  WorkArea& a_;
  IndexArea& ix_;
  Tag& t_;
  const size_t len_;  // sort item length
  Progress* progress_ = nullptr;
  size_t runKeys_ = 0;
  std::vector<uint8_t> items_;
  size_t count_ = 0;  // items in memory
  TempRuns temp_;
  std::vector<int64_t> runEnds_;  // file end of each run written
  // Writing.
  std::vector<Node> levels_;  // 0: the leaf
  std::vector<uint8_t> out_;
  int64_t nextPage_ = 0;
  Key previous_{};
  bool havePrevious_ = false;
};

bool Builder::ReadKeys(bool& hasKeys) {
  const size_t chunk = kBufferSize / 2 / a_.RecLen * a_.RecLen;
  if (chunk == 0) return false;
  std::vector<char> buf(chunk);
  const int32_t n = a_.RecCount;
  int32_t rec = 1;
  while (rec <= n) {
    const int32_t batch = std::min<int32_t>(n - rec + 1, int32_t(chunk / a_.RecLen));
    const size_t bytes = size_t(batch) * a_.RecLen;
    const int64_t pos = int64_t(a_.HeaderLen) + int64_t(rec - 1) * a_.RecLen;
    if (int rc = ReadExactAt(a_.File, pos, buf.data(), bytes)) {
      SetError(uint16_t(rc == plat::kErrHandleEof ? 213 : rc), "File:  " + a_.FileName + kMake);
      return false;
    }
    TranslateRecord(false, a_.Oem, a_.ReadXlat, bytes, a_.RecLen, buf.data());
    for (int32_t i = 0; i < batch; ++i, ++rec) {
      std::memcpy(a_.Rec, buf.data() + size_t(i) * a_.RecLen, a_.RecLen);
      a_.RecNo = rec;
      progress_->Tick();
      if (!ForHolds(t_)) continue;
      hasKeys = true;
      if (count_ == runKeys_ && !FlushRun(true)) return false;
      uint8_t* item = items_.data() + count_ * len_;
      Key key;
      MakeKey(a_, t_, key.data());
      std::memcpy(item, key.data(), t_.Geo.KeyLen);
      plat::writeLE32(item + t_.Geo.KeyLen, uint32_t(rec));
      ++count_;
    }
  }
  return true;
}

bool Builder::FlushRun(bool writeRun) {
  std::vector<const uint8_t*> order(count_);
  for (size_t i = 0; i < count_; ++i) order[i] = items_.data() + i * len_;
  std::sort(order.begin(), order.end(), [this](const uint8_t* x, const uint8_t* y) { return Less(x, y); });
  std::vector<uint8_t> sorted;
  sorted.reserve(count_ * len_);
  for (const uint8_t* item : order) sorted.insert(sorted.end(), item, item + len_);
  std::copy(sorted.begin(), sorted.end(), items_.begin());
  if (runEnds_.empty() && !writeRun) return true;
  if (!temp_.Open()) return false;
  if (int rc = temp_.File().Write(items_.data(), count_ * len_)) {
    SetError(uint16_t(rc), "Error writing the temporary file" + kMake);
    return false;
  }
  runEnds_.push_back(temp_.File().Tell());
  count_ = 0;
  return true;
}

bool Builder::Merge() {
  struct Run {
    int64_t pos, end;
    std::vector<uint8_t> buf;
    size_t at = 0, have = 0;
  };
  const size_t runs = runEnds_.size();
  // The memory of the sorted keys serves the runs' read buffers.
  const size_t each = std::max<size_t>(1, runKeys_ / runs) * len_;
  std::vector<Run> rs(runs);
  items_.clear();
  items_.shrink_to_fit();
  auto fill = [&](Run& r) {
    size_t want = size_t(std::min<int64_t>(int64_t(each), r.end - r.pos));
    r.buf.resize(want);
    if (int rc = ReadExactAt(temp_.File(), r.pos, r.buf.data(), want)) {
      SetError(uint16_t(rc), "Error reading the temporary file" + kMake);
      return false;
    }
    r.pos += int64_t(want);
    r.at = 0;
    r.have = want;
    return true;
  };
  int64_t start = 0;
  for (size_t i = 0; i < runs; ++i) {
    rs[i].pos = start;
    rs[i].end = start = runEnds_[i];
    if (!fill(rs[i])) return false;
  }
  auto later = [&](size_t x, size_t y) { return Less(rs[y].buf.data() + rs[y].at, rs[x].buf.data() + rs[x].at); };
  std::priority_queue<size_t, std::vector<size_t>, decltype(later)> heap(later);
  for (size_t i = 0; i < runs; ++i)
    if (rs[i].have > 0) heap.push(i);
  while (!heap.empty()) {
    size_t i = heap.top();
    heap.pop();
    Run& r = rs[i];
    if (!Emit(r.buf.data() + r.at)) return false;
    r.at += len_;
    if (r.at == r.have) {
      if (r.pos == r.end) continue;
      if (!fill(r)) return false;
    }
    heap.push(i);
  }
  return true;
}

bool Builder::FlushWrites() {
  if (out_.empty()) return true;
  const int64_t at = nextPage_ * kPageBytes - int64_t(out_.size());
  if (int rc = ix_.File.WriteAt(at, out_.data(), out_.size())) {
    LastErrorCode() = uint16_t(rc);
    SetError(uint16_t(rc), "Error writing index file: " + ix_.FileName + kMake);
    return false;
  }
  ix_.Size = std::max(ix_.Size, nextPage_ * kPageBytes);
  out_.clear();
  return true;
}

// Puts a finished node into the write buffer; its page comes back.
bool Builder::WriteNodeOut(Node& n, uint32_t& page) {
  page = uint32_t(nextPage_);
  nextPage_ += 2;
  out_.insert(out_.end(), n.begin(), n.end());
  n.fill(0);
  return out_.size() < kWriteBuffer || FlushWrites();
}

void AddItem(Node& n, const Geometry& g, uint32_t pointer, const uint8_t* key) {
  const int c = NodeCount(n);
  uint8_t* item = ItemAt(n, g, c);
  plat::writeLE32(item, pointer);
  std::memcpy(item + 4, key, g.KeyLen);
  SetNodeCount(n, c + 1);
}

bool Builder::Emit(const uint8_t* item) {
  const Geometry& g = t_.Geo;
  progress_->Tick();
  if (t_.Unique) {
    // Of equal keys the one of the lowest record stays.
    if (havePrevious_ && CompareKeys(t_, previous_.data(), item) == 0) return true;
    std::memcpy(previous_.data(), item, g.KeyLen);
    havePrevious_ = true;
  }
  Node& leaf = levels_[0];
  if (NodeCount(leaf) == g.KeysPerNode) {
    Key last;
    std::memcpy(last.data(), KeyAt(leaf, g, g.KeysPerNode - 1), g.KeyLen);
    uint32_t page = 0;
    if (!WriteNodeOut(leaf, page)) return false;
    // Up the levels until one has room for the page: a full level takes it
    // as its trailing pointer and goes out itself.
    for (size_t lv = 1;; ++lv) {
      if (lv == levels_.size()) levels_.emplace_back().fill(0);
      Node& n = levels_[lv];
      const int c = NodeCount(n);
      if (c < g.KeysPerNode) {
        AddItem(n, g, page, last.data());
        break;
      }
      plat::writeLE32(ItemAt(n, g, c), page);
      if (!WriteNodeOut(n, page)) return false;
    }
  }
  // (The levels may have grown: the leaf is taken afresh.)
  AddItem(levels_[0], g, plat::readLE32(item + g.KeyLen), item);
  return true;
}

uint32_t Builder::Finish() {
  progress_->Finish();
  uint32_t page = 0;
  if (!WriteNodeOut(levels_[0], page)) return 0;
  for (size_t lv = 1; lv < levels_.size(); ++lv) {
    Node& n = levels_[lv];
    if (NodeCount(n) == 0) continue;
    plat::writeLE32(ItemAt(n, t_.Geo, NodeCount(n)), page);
    if (!WriteNodeOut(n, page)) return 0;
  }
  return FlushWrites() ? page : 0;
}

uint32_t Builder::Build(bool& hasKeys) {
  hasKeys = false;
  const uint32_t pool = Engine().index.BuildPoolSize;
  if (pool / 4 < 256) {
    SetError(217, " to allocate at least 256 s_ptrs" + kMake);
    return 0;
  }
  RefreshRecCount(a_);
  const int32_t n = a_.RecCount;
  // Room for the keys and the tree on the index file's disk.
  int64_t needed = int64_t(n) * int64_t(len_);
  for (int64_t k = n; k > 0;) {
    k /= t_.Geo.KeysPerNode;
    needed += (k + 1) * int64_t(kNodeSize);
  }
  std::string dir, base, ext;
  FSplit(ix_.FileName, dir, base, ext);
  const int32_t free = DiskFreeKB(dir);
  if (needed / 1024 > free) {
    SetError(227, "Available disk space: " + IntText(free) + " KBytes;" + "needed: " + IntText(needed / 1024) +
                      " KBytes" + kMake);
    return 0;
  }
  runKeys_ = pool / 4;
  items_.resize(std::min<size_t>(runKeys_, size_t(std::max(n, 1))) * len_);
  Progress progress(n);
  progress_ = &progress;
  {
    KeepRecord keep(a_);
    if (!ReadKeys(hasKeys)) return 0;
  }
  if (!runEnds_.empty() && count_ > 0 && !FlushRun(true)) return 0;
  int64_t size = 0;
  if (int rc = ix_.File.GetSize(&size)) {
    SetError(uint16_t(rc), "Error reading index file: " + ix_.FileName + kMake);
    return 0;
  }
  nextPage_ = (size + int64_t(kNodeSize) - 1) / int64_t(kNodeSize) * 2;
  levels_.assign(1, Node{});
  progress.Restart();
  if (runEnds_.empty()) {
    if (!FlushRun(false)) return 0;
    for (size_t i = 0; i < count_; ++i)
      if (!Emit(items_.data() + i * len_)) return 0;
  } else if (!Merge()) {
    return 0;
  }
  return Finish();
}

// The key type and sizes of a new tag from its compiled key expression.
bool ShapeTag(const WorkArea& a, Tag& t) {
  switch (t.KeyExpr->ResultType) {
    case 'C': t.Type = 'C'; break;
    case 'D': t.Type = 'D'; break;
    case 'N': t.Type = 'N'; break;
    default: SetError(254, "Wrong parser return type [AddIndexTag()]"); return false;
  }
  size_t keyLen = t.Type == 'C' ? 0 : t.Type == 'D' ? 8 : 12;
  if (t.Type == 'C') keyLen = std::strlen(ExprText(Evaluate(t.KeyExpr)));
  if (keyLen < 1 || keyLen > kMaxKeyLen) {
    SetError(266, "Incorrect key length: Must be 1 to 100. [AddIndexTag()]");
    return false;
  }
  t.Geo.KeyLen = uint16_t(keyLen);
  t.Geo.ItemLen = uint16_t((keyLen + 4 + 3) / 4 * 4);
  t.Geo.KeysPerNode = uint16_t(1012 / t.Geo.ItemLen);
  t.Decimals = t.KeyExpr->ResultDec;
  t.Rank = a.Oem ? kOemRank : kAnsiRank;
  return true;
}

// The header of a built tag, written at the end of the file.
bool WriteTagHeader(IndexArea& ix, const Tag& t, const TIndexTagSpec& spec, const std::string& forText, uint32_t root,
                    bool hasKeys) {
  Node h{};
  plat::writeLE32(h.data() + kThRoot, root);
  h[kThFlags] = uint8_t(kFlagAlways | (t.Descending ? kFlagDescending : 0) | (t.Unique ? kFlagUnique : 0));
  h[kThType] = uint8_t(t.Type);
  plat::writeLE16(h.data() + kThKeyLen, t.Geo.KeyLen);
  plat::writeLE16(h.data() + kThKeysPerNode, t.Geo.KeysPerNode);
  plat::writeLE16(h.data() + kThDateKey, t.Type == 'D' ? 1 : 0);
  plat::writeLE16(h.data() + kThItemLen, t.Geo.ItemLen);
  h[kThUnique] = t.Unique ? 1 : 0;
  StrCopyZ(reinterpret_cast<char*>(h.data() + kThKeyExpr), spec.KeyExpr.c_str(), kMaxExprLen + 1);
  if (!forText.empty()) {
    h[kThHasFor] = 1;
    h[kThHasKeys] = hasKeys ? 1 : 0;
    StrCopyZ(reinterpret_cast<char*>(h.data() + kThForExpr), forText.c_str(), kMaxExprLen + 1);
  }
  int64_t size = 0;
  int rc = ix.File.GetSize(&size);
  const uint32_t page = uint32_t((size + int64_t(kNodeSize) - 1) / int64_t(kNodeSize) * 2);
  if (rc == 0) rc = ix.File.WriteAt(int64_t(page) * kPageBytes, h.data(), kNodeSize);
  if (rc != 0) {
    LastErrorCode() = uint16_t(rc);
    SetError(uint16_t(rc), "Error writing index file: " + ix.FileName + kMake);
    return false;
  }
  ix.Size = int64_t(page) * kPageBytes + int64_t(kNodeSize);
  AddTagEntry(ix, spec.TagName, page, t.Type);
  NotePageCount(ix);
  return true;
}

// A fresh file header for a new index of table `a`.
std::array<uint8_t, kHeaderSize> FreshHeader(const WorkArea& a) {
  std::array<uint8_t, kHeaderSize> h{};
  int y = 0, m = 0, d = 0, dow = 0;
  GetDate(y, m, d, dow);
  h[kFhVersion] = 2;
  h[1] = h[kFhCreated] = uint8_t(y - 1900);
  h[2] = h[kFhCreated + 1] = uint8_t(m);
  h[3] = h[kFhCreated + 2] = uint8_t(d);
  std::string base = FileBaseName(a.FileName).substr(0, 15);
  std::memcpy(h.data() + kFhDataName, base.data(), base.size());
  plat::writeLE16(h.data() + kFhBlockPages, 2);
  plat::writeLE16(h.data() + kFhBlockBytes, uint16_t(kNodeSize));
  h[kFhProduction] = 1;
  h[kFhEntries] = 48;
  h[kFhEntryLen] = uint8_t(kEntrySize);
  return h;
}

// The first failure of a build, the one reported when it ends (compiling
// the next tag's expressions would clear an expression error).
struct FirstFailure {
  uint16_t Code = 0;
  std::string Message;
  void Note() {
    if (Code != 0 || LastErrorCode() == 0) return;
    Code = LastErrorCode();
    Message = LastErrorMessage();
  }
};

bool BuildTag(const TIndexTagSpec& spec);

// Builds the tags of `specs` into a new file beside `file` and, once that
// file is whole and on disk, puts it in the place of `file` (held open as
// `old` when there is one) in one step. So a build stopped at any point
// leaves the old file as it was, and a reader finds the old index or the
// new one, never a part. A tag that fails is left out, the others are
// built (true only when every tag was). The file stays open in the area's
// index state.
bool BuildBeside(WorkArea& a, const std::vector<TIndexTagSpec>& specs, const std::string& file, const plat::File& old,
                 FirstFailure& first) {
  if (int rc = RemoveLeftoverBuild(a, file)) {
    SetError(uint16_t(rc), "Unable to create index: " + file + kMake);
    return false;
  }
  const std::string temp = NewIndexPath(file);
  IndexArea& ix = IndexOf(a);
  ix.FileName = file;
  ix.Shared = false;
  if (int rc = ix.File.Create(temp, plat::kAccessReadWrite | plat::kShareDenyAll)) {
    SetError(uint16_t(rc), "Unable to create index: " + file + kMake);
    return false;
  }
  plat::TempFile made(temp);
  ix.File.TakeAccessOf(old);
  ix.Header = FreshHeader(a);
  ix.Size = int64_t(kHeaderSize);
  NotePageCount(ix);
  bool ok = WriteHeaderBack(ix);
  for (const TIndexTagSpec& spec : specs) {
    if (spec.TagName.empty()) break;
    // The new file is synced once, before it takes the old one's place.
    if (!BuildTag(spec)) {
      ok = false;
      first.Note();
    }
  }
  if (!WriteHeaderBack(ix)) return false;
  int rc = ix.File.Flush();
  if (rc == 0) rc = plat::ReplaceFile(temp, file);
  if (rc != 0) {
    SetError(uint16_t(rc), "Error writing index file: " + file + kMake);
    return false;
  }
  made.Release();
  return ok;
}

}  // namespace

namespace {

// Builds the tag at the end of the current area's index file and lists it
// in the header as held in memory.
bool BuildTag(const TIndexTagSpec& spec) {
  WorkArea* a = CheckDbInUse("AddIndexTag");
  if (!a) return false;
  auto* ix = static_cast<IndexArea*>(a->Extra.Index.get());
  if (!ix || !ix->File.IsOpen()) {
    SetError(221, "Index not open. (DBF=" + a->FileName + ") [AddIndexTag()]");
    return false;
  }
  const std::string forText = AllTrim(spec.ForExpr);
  if (!forText.empty()) {
    if (uint16_t code = CheckForCondition(forText)) {
      SetError(code, "Invalid FOR expression for " + spec.TagName + " [AddIndexTag()]");
      return false;
    }
  }
  if (spec.KeyExpr.size() > kMaxExprLen) {
    SetError(300, "Expression length exceeds 100 bytes [AddIndexTag()]");
    return false;
  }
  if (ix->TagCount() >= kMaxTags) {
    bool replaces = false;
    for (int n = 1; n <= ix->TagCount(); ++n) replaces |= TagName(*ix, n) == Upper(spec.TagName).substr(0, 10);
    if (!replaces) {
      SetError(220, "An index file holds at most 47 tags: " + ix->FileName + " [AddIndexTag()]");
      return false;
    }
  }
  Tag t;
  t.KeyExpr = AssignExpr(spec.KeyExpr);
  if (!t.KeyExpr) return false;
  struct Release {
    Tag& t;
    ~Release() {
      FreeExpr(t.KeyExpr);
      FreeExpr(t.ForExpr);
    }
  } release{t};
  t.Descending = spec.Descending != 0;
  t.Unique = spec.Unique != 0;
  if (!ShapeTag(*a, t)) return false;
  if (!forText.empty() && !(t.ForExpr = AssignExpr(forText))) return false;
  bool hasKeys = false;
  Builder builder(*a, *ix, t);
  const uint32_t root = builder.Build(hasKeys);
  if (root == 0) return false;
  return WriteTagHeader(*ix, t, spec, forText, root, hasKeys);
}

}  // namespace

bool AddIndexTag(const TIndexTagSpec& spec) {
  if (!BuildTag(spec)) return false;
  // The header that lists the tag is written back later: the tag's nodes
  // and header must be on disk before it, or a machine that stops between
  // the two leaves the file listing a tag over pages never written.
  IndexArea& ix = IndexOf(*CheckDbInUse("AddIndexTag"));
  if (int rc = ix.File.Flush()) {
    SetError(uint16_t(rc), "Error writing index file: " + ix.FileName + kMake);
    return false;
  }
  return true;
}

namespace ndx {

std::string NewIndexPath(const std::string& file) { return plat::ResolvePath(plat::ResolvePath(file) + "$"); }

int RemoveLeftoverBuild(const WorkArea& a, const std::string& file) {
  const std::string temp = NewIndexPath(file);
  if (!plat::ExistsAsNamed(temp)) return 0;
  {
    // A build under way holds its file; a file that is no index of this
    // table, or not one this engine began, is somebody else's.
    plat::File f;
    if (int rc = f.Open(temp, plat::kAccessRead | plat::kShareDenyAll)) return rc;
    std::array<uint8_t, kHeaderSize> h{};
    size_t got = 0;
    if (int rc = f.ReadAt(0, h.data(), h.size(), &got)) return rc;
    const std::array<uint8_t, kHeaderSize> fresh = FreshHeader(a);
    for (size_t i = 0; i < std::min<size_t>(got, kFhTagCount); ++i)
      if ((i == kFhVersion || i >= kFhDataName) && h[i] != fresh[i]) return plat::kErrFileExists;
  }
  return plat::EraseFile(temp);
}

}  // namespace ndx

bool MakeIndex(const std::vector<TIndexTagSpec>& specs, const std::string& name) {
  WorkArea* a = CheckDbInUse("MakeIndex");
  if (!a) return false;
  const std::string file = CompleteIndexName(*a, name);
  CloseIndexOf(*a);
  // The old file is held, keeping everyone else out, until the new one
  // has taken its place.
  plat::File old;
  int held = 0;
  bool reopenShared = false;
  if (FileExists(file)) {
    held = old.Open(file, plat::kAccessRead | plat::kShareDenyAll);
    if (!a->Exclusive && (held == plat::kErrAccessDenied || held == plat::kErrSharingViolation)) {
      // Another program has the index open: only an exclusive table keeps
      // it from going on with the old file after the new one took its
      // place.
      if (SetExclusive(true) != 0) {
        SetError(225, a->FileName + " MakeIndex(" + file + ")");
        return false;
      }
      reopenShared = true;
      held = old.Open(file, plat::kAccessRead | plat::kShareDenyAll);
    }
  }
  LastErrorCode() = 0;
  bool ok = false;
  FirstFailure first;
  {
    // Failures are only recorded on the way, however the caller has them
    // travel: a failing tag must not keep the tags after it out of the
    // file. The first one is reported when the build is over.
    AutoErrorHandlingScope quiet(false);
    if (held != 0 && held != plat::kErrFileNotFound)
      SetError(uint16_t(held), "Unable to create index: " + file + kMake);
    else
      ok = BuildBeside(*a, specs, file, old, first);
    first.Note();
    CloseIndexOf(*a);
    old.Close();
    if (reopenShared) {
      int rc = SetExclusive(false);
      if (rc != 0 && first.Code == 0) {
        SetError(uint16_t(rc), "Cannot_Reopen_Database_Sharable MakeIndex(" + file + ")");
        first.Note();
      }
    }
  }
  LastErrorCode() = 0;
  if (first.Code != 0) SetError(first.Code, first.Message);
  return ok;
}

namespace {

// The definitions of the tags of `file`, which an open refused for its
// update mark: only the trees are in doubt. A tag header that cannot be
// read, or holds no key or a FOR flag without text, is damage that a
// rebuild would turn into a lost tag: 222, and nothing is built.
bool MarkedTagSpecs(const std::string& file, std::vector<TIndexTagSpec>& specs) {
  std::vector<StoredTag> tags;
  if (int rc = ReadStoredTags(file, tags)) {
    SetError(uint16_t(rc), "Error reading index file:  " + file + " [Reindex]");
    return false;
  }
  for (const StoredTag& t : tags) {
    if (!t.Whole || t.Spec.TagName.empty() || t.Spec.KeyExpr.empty() || (t.HasFor && t.Spec.ForExpr.empty())) {
      SetError(222, "Invalid dBASE key expression or corrupted index file " + file + " [Reindex]");
      return false;
    }
    specs.push_back(t.Spec);
  }
  return true;
}

}  // namespace

void Reindex() {
  WorkArea* a = CheckDbInUse("Reindex");
  if (!a) return;
  std::string file, order;
  std::vector<TIndexTagSpec> specs;
  auto* held = static_cast<IndexArea*>(a->Extra.Index.get());
  if (held && !held->Controlling() && !held->MarkedFile.empty()) {
    file = held->MarkedFile;
    if (!MarkedTagSpecs(file, specs)) return;
  } else {
    IndexArea* ix = CheckIndexOpen(*a, "Reindex");
    if (!ix) return;
    file = ix->FileName;
    if (!ix->NaturalOrder) order = TagName(*ix, ix->Controlling()->Number);
    for (int n = 1; n <= ix->TagCount(); ++n) {
      Tag* t = TagByNumber(*ix, n);
      if (!t) continue;
      TIndexTagSpec s;
      s.TagName = TagName(*ix, n);
      s.KeyExpr = CountedCopy(reinterpret_cast<const char*>(t->Header.data() + kThKeyExpr), kMaxExprLen);
      if (t->HasFor())
        s.ForExpr = CountedCopy(reinterpret_cast<const char*>(t->Header.data() + kThForExpr), kMaxExprLen);
      s.Descending = (t->Header[kThFlags] & kFlagDescending) ? 1 : 0;
      s.Unique = (t->Header[kThFlags] & kFlagUnique) ? 1 : 0;
      specs.push_back(std::move(s));
    }
  }
  // The file is opened again however the build ended: a tag that failed
  // is left out of it, and the tags that were built must go on following
  // the table. The build's failure stays the result.
  auto reopen = [&] {
    if (!SetIndexTo(file) || order.empty()) return;
    for (int n = 1; n <= CurrentIndex()->TagCount(); ++n)
      if (TagName(*CurrentIndex(), n) == order) SetOrderToTag(order);
  };
  bool built = false;
  try {
    built = MakeIndex(specs, file);
  } catch (...) {
    RunKeepingError(reopen);
    throw;
  }
  if (built)
    reopen();
  else
    RunKeepingError(reopen);
}

void SetIndexProgress(std::function<void()> step, int steps) {
  Engine().index.ProgressSteps = step ? steps : 0;
  Engine().index.ProgressStep = std::move(step);
}

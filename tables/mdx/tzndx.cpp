// The index file: its header and tag table, pages and anchors, opening and
// closing an index for a work area, and reading a file's tag list.
#include "tables/mdx/tzndx.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "tables/mdx/tzndx_internal.h"
#include "tables/mdx/tzndx_sema.h"
#include "tables/expr/tzndxlow.h"
#include "tablebase/timedate.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzdbflow.h"
#include "tablebase/tzutils.h"

namespace ndx {

IndexArea* CurrentIndex() {
  WorkArea* a = CurrentWorkArea();
  return a ? static_cast<IndexArea*>(a->Extra.Index.get()) : nullptr;
}

IndexArea& IndexOf(WorkArea& a) {
  if (!a.Extra.Index) a.Extra.Index = std::make_unique<IndexArea>();
  return static_cast<IndexArea&>(*a.Extra.Index);
}

std::string CompleteIndexName(const WorkArea& a, const std::string& name) {
  std::string n = AllTrim(name);
  if (n.empty()) return ForceExtension(a.FileName, "MDX");
  n = DefaultExtension(n, "MDX");
  if (n.find_first_of("\\/:") == std::string::npos) {
    std::string dir, base, ext;
    FSplit(a.FileName, dir, base, ext);
    n = dir + n;
  }
  return n;
}

std::string TagName(const IndexArea& ix, int n) {
  if (n < 1 || n > ix.TagCount()) return {};
  return CountedCopy(reinterpret_cast<const char*>(ix.Entry(n) + kTeName), 11);
}

std::string Locator(const IndexArea& ix, const Tag* t) {
  if (!t || !ix.File.IsOpen()) return {};
  return ix.FileName + " [tag: " + TagName(ix, t->Number) + "]";
}

IndexArea* CheckIndexOpen(const WorkArea& a, const std::string& routine) {
  auto* ix = static_cast<IndexArea*>(a.Extra.Index.get());
  if (ix && ix->Controlling()) return ix;
  SetError(221, "Index not open. (DBF=" + a.FileName + ") [" + routine + "]");
  return nullptr;
}

Tag* TagByNumber(IndexArea& ix, int n) {
  for (auto& t : ix.Slots)
    if (t && t->Number == n) return t.get();
  return nullptr;
}

namespace {

uint32_t HeaderPage(const IndexArea& ix, const Tag& t) { return plat::readLE32(ix.Entry(t.Number) + kTeHeaderPage); }

// A page that can hold a node of the file: even, past the file header and
// wholly inside the file (whose size may have grown since last seen).
bool PageInFile(IndexArea& ix, uint32_t page, int64_t bytes) {
  if (page % 2 != 0 || page < 4) return false;
  int64_t end = int64_t(page) * kPageBytes + bytes;
  if (end <= ix.Size) return true;
  int64_t size = 0;
  if (ix.File.GetSize(&size) == 0) ix.Size = size;
  return end <= ix.Size;
}

}  // namespace

void Damaged(const IndexArea& ix, const Tag& t, uint32_t page, const std::string& what) {
  SetError(222, "Corrupted index file: " + what + " at page " + IntText(page) + " " + Locator(ix, &t) + " [GetNode]");
}

bool ReadNode(IndexArea& ix, const Tag& t, uint32_t page, Node& out) {
  if (page == 0) {
    SetError(254, "Invalid Node Number (0) in DBF Area " + IntText(Db().CurrentArea) + ", Order " + IntText(t.Number) +
                      " " + Locator(ix, &t) + " [GetNode]");
    return false;
  }
  if (!PageInFile(ix, page, kNodeSize)) {
    Damaged(ix, t, page, "node outside the file");
    return false;
  }
  // Through the file's mapping: a walk crosses a leaf every few dozen keys,
  // and each crossing would otherwise cost a system call.
  if (int rc = ReadExactAt(ix.File, int64_t(page) * kPageBytes, out.data(), kNodeSize, true)) {
    SetError(uint16_t(rc), "Error reading index file: " + Locator(ix, &t) + " [SeekAndRead]");
    return false;
  }
  int count = NodeCount(out);
  if (count < 0 || count > t.Geo.KeysPerNode) {
    Damaged(ix, t, page, "key count " + IntText(count));
    return false;
  }
  // A numeric key's digit count says how many of its digit bytes compare.
  if (t.Type == 'N' || t.Type == 'F')
    for (int i = 0; i < count; ++i)
      if (int digits = KeyAt(out, t.Geo, i)[1] >> 2 & 0x1F; digits > kMaxBcdDigits) {
        Damaged(ix, t, page, "numeric key of " + IntText(digits) + " digits");
        return false;
      }
  // Bytes 2-3 serve as a changed mark in memory.
  out[2] = out[3] = 0;
  return true;
}

bool WriteNode(IndexArea& ix, Tag& t, uint32_t page, Node& n) {
  n[2] = n[3] = 0;
  for (Level& l : t.Path)
    if (l.Page == page && &l.Data != &n) l.Data = n;
  if (int rc = ix.File.WriteAt(int64_t(page) * kPageBytes, n.data(), kNodeSize)) {
    SetError(uint16_t(rc), "Error writing index file: " + Locator(ix, &t) + " [SeekAndWrite]");
    return false;
  }
  return true;
}

uint32_t AppendNode(IndexArea& ix, Tag& t, Node& n) {
  int64_t size = 0;
  if (int rc = ix.File.GetSize(&size)) {
    SetError(uint16_t(rc), "Error writing index file: " + Locator(ix, &t) + " [SeekAndWrite]");
    return 0;
  }
  // Nodes start at even pages even when another writer left a ragged end.
  uint32_t page = uint32_t((size + int64_t(kNodeSize) - 1) / int64_t(kNodeSize) * 2);
  if (!WriteNode(ix, t, page, n)) return 0;
  ix.Size = int64_t(page) * kPageBytes + int64_t(kNodeSize);
  NotePageCount(ix);
  return page;
}

void NotePageCount(IndexArea& ix) {
  plat::writeLE32(ix.Header.data() + kFhPageCount, uint32_t(ix.Size / kPageBytes));
  ix.HeaderChanged = true;
}

bool WriteAnchor(IndexArea& ix, Tag& t) {
  const std::string where = Locator(ix, &t);
  const bool lock = ix.Shared;
  if (lock && !LockRegion(ix.File, 0, 1)) {
    SetError(LastErrorCode() ? LastErrorCode() : uint16_t(plat::kErrLockViolation),
             "Could not lock index for writing anchor node " + where);
    return false;
  }
  int rc = ix.File.WriteAt(int64_t(HeaderPage(ix, t)) * kPageBytes, t.Header.data(), kAnchorSize);
  if (rc != 0) SetError(uint16_t(rc), "Error writing index file:  " + where + " [WriteAnchor]");
  if (lock) {
    if (int u = OsLock(true, ix.File, 0, 1); u != 0 && rc == 0) {
      SetError(uint16_t(u), "Could not unlock index after writing anchor node " + where);
      return false;
    }
  }
  if (rc != 0) return false;
  t.AnchorChanged = false;
  return true;
}

bool ReadAnchorNodes(IndexArea& ix) {
  for (auto& t : ix.Slots) {
    if (!t) continue;
    uint32_t page = HeaderPage(ix, *t);
    if (!PageInFile(ix, page, kAnchorSize)) {
      Damaged(ix, *t, page, "tag header outside the file");
      return false;
    }
    if (int rc = ReadExactAt(ix.File, int64_t(page) * kPageBytes, t->Header.data(), kAnchorSize)) {
      SetError(uint16_t(rc), "Error reading index file:  " + Locator(ix, t.get()) + " [ReadAnchorNodes]");
      return false;
    }
    t->AnchorChanged = false;
  }
  return true;
}

bool WriteHeaderBack(IndexArea& ix) {
  if (!ix.HeaderChanged) return true;
  if (int rc = ix.File.WriteAt(0, ix.Header.data(), kHeaderSize)) {
    SetError(uint16_t(rc), "Error writing index file:  " + ix.FileName + " [WriteHeader]");
    return false;
  }
  ix.HeaderChanged = false;
  return true;
}

namespace {

// The header's update mark as held in memory, alone.
bool WriteMark(IndexArea& ix) {
  if (int rc = ix.File.WriteAt(kFhUpdateMark, &ix.Header[kFhUpdateMark], 1)) {
    SetError(uint16_t(rc), "Error writing index file:  " + ix.FileName + " [WriteHeader]");
    return false;
  }
  return true;
}

}  // namespace

bool MarkUpdate(IndexArea& ix) {
  if (ix.Header[kFhUpdateMark] != 0) return true;
  ix.Header[kFhUpdateMark] = 1;
  return WriteMark(ix);
}

bool FinishUpdate(IndexArea& ix) {
  const bool marked = ix.Header[kFhUpdateMark] != 0;
  ix.Header[kFhUpdateMark] = 0;
  const bool done = marked && !ix.HeaderChanged ? WriteMark(ix) : WriteHeaderBack(ix);
  if (marked && !done) ix.Header[kFhUpdateMark] = 1;
  return done;
}

bool UpdateCutOff(IndexArea& ix) {
  uint8_t mark = ix.Header[kFhUpdateMark];
  // Every shared write asks: the byte is read through the file's mapping,
  // which the update's page reads keep, so that asking costs no system call.
  if (mark == 0 && ix.Shared) {
    if (int rc = ReadExactAt(ix.File, kFhUpdateMark, &mark, 1, true)) {
      SetError(uint16_t(rc), "Error reading index file:  " + ix.FileName + " [ReadHeader]");
      return true;
    }
  }
  if (mark == 0) return false;
  SetError(222, "Corrupted index file: a key update was cut off " + ix.FileName);
  return true;
}

int ReadStoredTags(const std::string& file, std::vector<StoredTag>& tags) {
  tags.clear();
  plat::File f;
  int rc = f.Open(file, plat::kAccessReadWrite | plat::kShareDenyNone);
  if (rc == plat::kErrAccessDenied || rc == plat::kErrSharingViolation)
    rc = f.Open(file, plat::kAccessRead | plat::kShareDenyNone);
  std::array<uint8_t, kHeaderSize> header{};
  if (rc == 0) rc = f.ReadExact(header.data(), kHeaderSize);
  if (rc != 0) return rc;
  auto text = [](const uint8_t* p) {
    return AllTrim(CountedCopy(reinterpret_cast<const char*>(p), kMaxExprLen + 1));
  };
  const int count = std::min<int>(header[kFhTagCount], kMaxTags);
  for (int n = 1; n <= count; ++n) {
    const uint8_t* e = header.data() + kFhTagTable + size_t(n) * kEntrySize;
    std::array<uint8_t, kAnchorSize + 1> th{};
    StoredTag& t = tags.emplace_back();
    t.Whole = ReadExactAt(f, int64_t(plat::readLE32(e + kTeHeaderPage)) * kPageBytes, th.data(), kAnchorSize) == 0;
    if (!t.Whole) continue;
    t.Spec.TagName = AllTrim(CountedCopy(reinterpret_cast<const char*>(e + kTeName), 11));
    t.Spec.KeyExpr = text(th.data() + kThKeyExpr);
    t.HasFor = th[kThHasFor] != 0;
    if (t.HasFor) t.Spec.ForExpr = text(th.data() + kThForExpr);
    t.Spec.Descending = (th[kThFlags] & kFlagDescending) ? 1 : 0;
    t.Spec.Unique = (th[kThFlags] & kFlagUnique) ? 1 : 0;
  }
  return 0;
}

// --- Tag table ---------------------------------------------------------------

namespace {

// The binary tree over the tag names that other readers of the file use:
// tag 1 is the root, each further tag hangs below the node it is compared
// with last (11 bytes, equal or above to the right).
void RebuildNameTree(IndexArea& ix) {
  const int count = ix.TagCount();
  for (int n = 0; n <= count; ++n) {
    uint8_t* e = ix.Entry(n);
    e[kTeLeft] = e[kTeRight] = e[kTeParent] = 0;
  }
  for (int n = 2; n <= count; ++n) {
    const uint8_t* name = ix.Entry(n) + kTeName;
    int node = 1;
    for (;;) {
      uint8_t* e = ix.Entry(node);
      uint8_t& link = std::memcmp(name, e + kTeName, 11) >= 0 ? e[kTeRight] : e[kTeLeft];
      if (link == 0) {
        link = uint8_t(n);
        ix.Entry(n)[kTeParent] = uint8_t(node);
        break;
      }
      node = link;
    }
  }
}

}  // namespace

void AddTagEntry(IndexArea& ix, const std::string& name, uint32_t headerPage, char type) {
  uint8_t upper[11] = {};
  std::string u = Upper(name).substr(0, 10);
  std::memcpy(upper, u.data(), u.size());
  uint8_t& count = ix.Header[kFhTagCount];
  for (int n = 1; n <= ix.TagCount(); ++n) {
    if (std::memcmp(ix.Entry(n) + kTeName, upper, std::min<size_t>(u.size() + 1, 11)) != 0) continue;
    std::memcpy(ix.Entry(n), ix.Entry(ix.TagCount()), kEntrySize);
    --count;
    break;
  }
  ++count;
  uint8_t* e = ix.Entry(count);
  std::memset(e, 0, kEntrySize);
  plat::writeLE32(e + kTeHeaderPage, headerPage);
  std::memcpy(e + kTeName, upper, sizeof upper);
  e[kTeMark] = 2;
  e[kTeType] = uint8_t(type);
  RebuildNameTree(ix);
  ix.HeaderChanged = true;
}

// --- Opening tags ------------------------------------------------------------

namespace {

bool NameChar(char c) { return IsLetterAZ(UpperAZ(c)) || (c >= '0' && c <= '9') || c == '.' || c == '_'; }

// The stored form of a key or FOR expression: outside literals letters in
// upper case and blanks dropped, literals in double quotes. A blank that
// separates two name characters stays (".NOT. DELETED()" must not become
// one name), and a literal that holds a double quote keeps its own quotes.
std::string NormalizeExpr(const std::string& s) {
  std::string out;
  bool blank = false;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == ' ' || c == '\t') {
      blank = true;
      continue;
    }
    if (blank && !out.empty() && NameChar(out.back()) && NameChar(c)) out += ' ';
    blank = false;
    if (c == '\'' || c == '"') {
      size_t close = s.find(c, i + 1);
      if (close == std::string::npos) {
        out += s.substr(i);
        break;
      }
      std::string body = s.substr(i + 1, close - i - 1);
      char q = body.find('"') == std::string::npos ? '"' : c;
      out += q + body + q;
      i = close;
      continue;
    }
    out += UpperAZ(c);
  }
  return out;
}

// Normalizes the expression text at `at` of the header copy in place and
// compiles it; null when it is empty or does not compile.
ExprRecord* CompileStored(Tag& t, size_t at) {
  char* text = reinterpret_cast<char*>(t.Header.data() + at);
  std::string norm = NormalizeExpr(CountedCopy(text, kMaxExprLen));
  if (norm.empty()) return nullptr;
  StrCopyZ(text, norm.c_str(), kMaxExprLen + 1);
  AutoErrorHandlingScope quiet(false);
  return AssignExpr(norm);
}

// The tag's sizes from its header, when they fit a node and the key type.
bool ReadGeometry(Tag& t) {
  const uint8_t* h = t.Header.data();
  t.Geo.KeyLen = plat::readLE16(h + kThKeyLen);
  t.Geo.ItemLen = plat::readLE16(h + kThItemLen);
  t.Geo.KeysPerNode = plat::readLE16(h + kThKeysPerNode);
  const Geometry& g = t.Geo;
  if (g.ItemLen < g.KeyLen + 4 || g.KeysPerNode < 1) return false;
  if (kItemsAt + size_t(g.KeysPerNode) * g.ItemLen + 4 > kNodeSize) return false;
  switch (t.Type) {
    case 'C': return true;  // its length is checked on its own
    case 'D': return g.KeyLen == 8;
    default: return g.KeyLen == 12;
  }
}

}  // namespace

// Puts an area back on its record, with its BOF and EOF flags, after the
// index code used the record buffers.
KeepRecord::KeepRecord(WorkArea& a)
    : a_(a), recNo_(a.RecNo), recCount_(a.RecCount), eof_(a.Eof), bof_(a.Bof), asRead_(a.RecAsRead),
      rec_(a.Rec, a.Rec + a.RecLen), typed_(a.Typed, a.Typed + (a.Typed ? a.TypedSize : 0)),
      rewrites_(a.Memos.Rewrites()) {}

KeepRecord::~KeepRecord() {
  // Past the end stays past the end when records of other programs were
  // counted meanwhile: the old number may now be one of theirs.
  a_.RecNo = recNo_ > recCount_ ? a_.RecCount + 1 : recNo_;
  a_.Eof = eof_;
  a_.Bof = bof_;
  a_.RecAsRead = asRead_;
  if (a_.Rec) std::memcpy(a_.Rec, rec_.data(), rec_.size());
  if (a_.Typed) std::memcpy(a_.Typed, typed_.data(), typed_.size());
  a_.Memos.PutBack(std::move(rewrites_));
}

bool OpenTag(WorkArea& a, IndexArea& ix, int n) {
  const std::string name = ix.FileName;
  const uint32_t page = plat::readLE32(ix.Entry(n) + kTeHeaderPage);
  auto t = std::make_unique<Tag>();
  t->Number = uint8_t(n);
  auto fail = [&](uint16_t code, const std::string& msg) {
    FreeExpr(t->KeyExpr);
    FreeExpr(t->ForExpr);
    SetError(code, msg + name);
    return false;
  };
  const std::string corrupted = "Invalid dBASE key expression or corrupted index file ";
  if (!PageInFile(ix, page, kAnchorSize) ||
      ReadExactAt(ix.File, int64_t(page) * kPageBytes, t->Header.data(), kAnchorSize) != 0)
    return fail(222, corrupted);
  t->KeyExpr = CompileStored(*t, kThKeyExpr);
  if (!t->KeyExpr) return fail(222, corrupted);
  if (t->Header[kThForExpr] != 0) {
    t->ForExpr = CompileStored(*t, kThForExpr);
    if (!t->ForExpr) return fail(222, corrupted);
  } else if (t->HasFor()) {
    // Taken at its word, the flag would make the tag an empty FOR tag.
    return fail(222, corrupted);
  }
  const char stored = char(t->Header[kThType]);
  switch (t->KeyExpr->ResultType) {
    case 'C': t->Type = 'C'; break;
    case 'D': t->Type = 'D'; break;
    case 'N': t->Type = stored == 'F' ? 'F' : 'N'; break;
    default: return fail(222, corrupted);
  }
  if (stored != t->Type && !(t->Type == 'N' && stored == 'F')) return fail(222, corrupted);
  if (t->Type == 'C' && (t->Header[kThKeyLen + 1] != 0 || t->Header[kThKeyLen] < 1 || t->Header[kThKeyLen] > kMaxKeyLen))
    return fail(266, "Incorrect key length: Must be 1 to 100. ");
  if (!ReadGeometry(*t)) return fail(222, corrupted);
  const uint8_t flags = t->Header[kThFlags];
  t->Descending = (flags & kFlagDescending) != 0;
  t->Unique = (flags & kFlagUnique) != 0;
  t->Decimals = t->KeyExpr->ResultDec;
  t->Rank = a.Oem ? kOemRank : kAnsiRank;
  Tag& tag = *t;
  ix.Slots[size_t(n)] = std::move(t);
  // The tag leaves its slot before the failure is reported, which may
  // raise.
  auto undo = [&](uint16_t code, const std::string& msg, const std::string& detail = "") {
    auto own = std::move(ix.Slots[size_t(n)]);
    FreeExpr(own->KeyExpr);
    FreeExpr(own->ForExpr);
    SetError(code, msg + name + detail);
    return false;
  };
  if (a.RecCount < 1) {
    tag.Bof = tag.Eof = true;
    BlankKey(tag, tag.CurrentKey.data());
    Reset(tag);
    return true;
  }
  {
    KeepRecord keep(a);
    if (n == 1) {
      // What stops the first key's path is reported once, as the file's
      // failure to open, with what was found as its detail.
      bool placed;
      {
        AutoErrorHandlingScope quiet(false);
        placed = PositionOnFirstVisible(a, ix, tag);
      }
      if (!placed) return undo(LastErrorCode(), corrupted, "\r\n" + LastErrorMessage());
    }
    if (tag.Type == 'C') {
      a.RecNo = a.RecCount + 1;
      std::memset(a.Rec, ' ', a.RecLen);
      const void* r = Evaluate(tag.KeyExpr);
      if (std::strlen(ExprText(r)) != tag.Geo.KeyLen) return undo(266, "Incorrect key length: Must be 1 to 100. ");
    }
  }
  MakeKey(a, tag, tag.CurrentKey.data());
  return true;
}

void CloseIndexOf(WorkArea& a) {
  auto* ix = static_cast<IndexArea*>(a.Extra.Index.get());
  if (!ix) return;
  AutoErrorHandlingScope quiet(false);
  for (auto& t : ix->Slots) {
    if (!t) continue;
    if (t->AnchorChanged && ix->File.IsOpen()) WriteAnchor(*ix, *t);
    FreeExpr(t->KeyExpr);
    FreeExpr(t->ForExpr);
  }
  if (ix->File.IsOpen()) {
    WriteHeaderBack(*ix);
    ix->File.Close();
  }
  a.Extra.Index.reset();
  HandleSemafore(kSemLogout);
}

}  // namespace ndx

using namespace ndx;

// --- Opening and closing -----------------------------------------------------

namespace {

// The file-open mode of an index: shared read/write for a shared table,
// the engine's own mode otherwise; a configured override wins.
int IndexOpenMode(const WorkArea& a) {
  const DbfSettings& s = DbSettings();
  int mode = s.SharedMode && !a.Exclusive ? (plat::kAccessReadWrite | plat::kShareDenyNone) : Engine().text.FileMode;
  if (s.OpenModeOverride < 65535) mode = s.OpenModeOverride & 0xFF;
  return mode;
}

// Opens the file and its tags into the area's index state.
bool OpenIndexFile(WorkArea& a, const std::string& name) {
  IndexArea& ix = IndexOf(a);
  ix.FileName = name;
  ix.Shared = DbSettings().SharedMode && !a.Exclusive;
  if (int rc = ix.File.Open(name, IndexOpenMode(a))) {
    SetError(uint16_t(rc), "Unable to open index: " + name);
    return false;
  }
  if (ix.File.GetSize(&ix.Size) != 0 || ix.Size < int64_t(kHeaderSize + kNodeSize)) {
    SetError(222, "Unable to open index: " + name);
    return false;
  }
  {
    ReadBracket bracket;
    if (!bracket) return false;
    if (ReadExactAt(ix.File, 0, ix.Header.data(), kHeaderSize) != 0 || ix.Header[kFhTagCount] > kMaxTags) {
      SetError(222, "Unable to open index: " + name);
      return false;
    }
    // A key update cut off may have left a record out of a tree; the tag
    // headers are whole, and Reindex rebuilds from them.
    if (ix.Header[kFhUpdateMark] != 0) {
      ix.MarkedFile = name;
      SetError(222, "Unable to open index: " + name);
      return false;
    }
  }
  for (int n = 1; n <= ix.TagCount(); ++n) {
    ReadBracket bracket;
    if (!bracket || !OpenTag(a, ix, n)) return false;
  }
  return true;
}

}  // namespace

bool SetIndexTo(const std::string& name) {
  WorkArea* a = CheckDbInUse("SetIndexTo");
  if (!a) return false;
  const std::string file = CompleteIndexName(*a, name);
  CloseIndexOf(*a);
  LastErrorCode() = 0;
  if (!FileExists(file)) {
    SetError(2, "SetIndexTo(" + file + ")");
    return false;
  }
  // A configured share mode that keeps others out needs no semaphore.
  const uint16_t mode = DbSettings().OpenModeOverride;
  if ((mode == 65535 || (mode & 0x42) == 0x42) && !HandleSemafore(kSemLogin)) return false;
  // A failure, recorded or raised, leaves no tag open, the file closed and
  // the area logged out again; a file refused for its update mark stays
  // noted for Reindex.
  auto close = [a] {
    std::string marked = IndexOf(*a).MarkedFile;
    RunKeepingError([a] { CloseIndexOf(*a); });
    if (!marked.empty()) IndexOf(*a).MarkedFile = std::move(marked);
  };
  bool open = false;
  try {
    open = OpenIndexFile(*a, file);
  } catch (...) {
    close();
    throw;
  }
  if (!open) {
    close();
    return false;
  }
  // While the file is open here no build of it can be running (a build
  // holds the old file for itself): what a stopped one left goes, unless
  // this area only reads.
  if ((IndexOf(*a).File.Mode() & 0x07) != plat::kAccessRead) RemoveLeftoverBuild(*a, file);
  return true;
}

void CloseIndex() {
  if (WorkArea* a = CurrentWorkArea()) CloseIndexOf(*a);
}

void ReadIndexTagList(std::vector<std::string>& lines, const std::string& name) {
  lines.clear();
  WorkArea* a = CurrentWorkArea();
  std::string file = a ? CompleteIndexName(*a, RTrim(name)) : DefaultExtension(RTrim(name), "MDX");
  if (!FileExists(file)) return;
  std::vector<StoredTag> tags;
  if (ReadStoredTags(file, tags) != 0) return;
  for (const StoredTag& t : tags) {
    const TIndexTagSpec& s = t.Spec;
    if (!t.Whole || s.TagName.empty() || s.KeyExpr.empty()) continue;
    lines.push_back(s.TagName + (s.Descending ? ",T," : ",F,") + (s.Unique ? "T," : "F,") + s.KeyExpr);
    lines.push_back(s.ForExpr);
  }
}

namespace ndx {

ReadBracket::ReadBracket() : open_(SetReadSemaphoreProc(true)) {}

ReadBracket::~ReadBracket() noexcept(false) {
  if (!open_) return;
  if (LastErrorCode() == 0 && std::uncaught_exceptions() == 0)
    SetReadSemaphoreProc(false);
  else
    RunKeepingError([] { SetReadSemaphoreProc(false); });
}

bool AnchorsChanged(IndexArea& ix) {
  if (!SemaphoreCounterChanged()) return false;
  // Another program changed the trees: the anchors are read again, and no
  // tag trusts the nodes it kept (a lost position is found again from the
  // area's record).
  ReadAnchorNodes(ix);
  for (auto& t : ix.Slots)
    if (t) Reset(*t);
  return true;
}

}  // namespace ndx

void InstallIndexHooks() {
  IndexHooks& h = Hooks().Index;
  InstallNavigationHooks(h);
  InstallKeyHooks(h);
  h.Reindex = Reindex;
  h.CloseIndex = CloseIndex;
  h.OpenOwnIndex = [] { return SetIndexTo(""); };
  h.TagLocator = [](int n) -> std::string {
    IndexArea* ix = CurrentIndex();
    return ix ? Locator(*ix, TagByNumber(*ix, n)) : std::string();
  };
  h.ReadSemaphore = SetReadSemaphoreProc;
  h.LockSemaphore = SetLockSemaphoreProc;
  h.Linked = true;
}

#include "tablebase/tzdbflow.h"

#include <algorithm>
#include <bitset>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/byteorder.h"
#include "platform/codepage.h"
#include "platform/psys.h"
#include "platform/pfs.h"
#include "tablebase/dbf4.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"

namespace {

DbfSettings& Settings() { return Engine().db.Settings; }

bool ReadOnlyMode(const WorkArea& a) { return (a.OpenMode & 0x07) == plat::kAccessRead; }

uint8_t Version(const WorkArea& a) { return a.Prolog[0]; }

bool ExtraVersionSet() { return Settings().ExtraVersionNoMemo != 0 || Settings().ExtraVersionMemo != 0; }

void CallVirtualHook(WorkArea& a, uint8_t op) {
  a.VOp = op;
  if (auto& hook = Engine().db.Hooks.VirtualFile) hook(a);
}

// Drops what the open allocated and closes the file, so that a failed open
// leaves nothing behind.
void AbandonOpen(WorkArea& a) {
  a.File.Close();
  a.RecStore.clear();
  a.RecStore.shrink_to_fit();
  a.Rec = nullptr;
  a.Fields.clear();
  a.FieldCount = 0;
  a.WriteState = kWsClosed;
}

std::string NotDbase(const std::string& name, const char* reason, const char* tail) {
  return name + " is not a dBASE database." + " (" + reason + ")" + tail;
}

// Today's date as the header stores it.
struct HeaderDate {
  int year, month, day;
};
HeaderDate Today() {
  plat::DateTimeParts p = plat::LocalParts(plat::Now());
  return {p.year, p.month, p.day};
}

// Number of whole records the file holds after the header.
int32_t CountFromSize(const WorkArea& a, int64_t size) {
  if (a.RecLen == 0 || size <= a.HeaderLen) return 0;
  int64_t n = (size - a.HeaderLen) / a.RecLen;
  return n > INT32_MAX - 1 ? INT32_MAX - 1 : int32_t(n);
}

int64_t RecordPos(const WorkArea& a, int32_t recno) { return int64_t(a.HeaderLen) + int64_t(recno - 1) * a.RecLen; }

// The table lock held while the header and the end-of-file byte are
// rewritten, so that another program's append cannot slip in between the
// count we write and the end byte. Taken only for a shared table whose area
// does not already hold it; when it cannot be had within the lock retries
// the write goes ahead unlocked rather than failing the close.
class HeaderLock {
 public:
  explicit HeaderLock(WorkArea& a) : a_(a) {
    const DbfSettings& s = Settings();
    if (!s.SharedMode || a.Exclusive || a.LockState == kLockTable) return;
    held_ = LockRegion(a.File, s.LockBase + 1, 1);
  }
  ~HeaderLock() {
    if (held_) a_.File.Unlock(Settings().LockBase + 1, 1);
  }
  HeaderLock(const HeaderLock&) = delete;
  HeaderLock& operator=(const HeaderLock&) = delete;
  // True when other programs may be appending: the count must come from
  // the file.
  bool Shared() const { return Settings().SharedMode && !a_.Exclusive; }

 private:
  WorkArea& a_;
  bool held_ = false;
};

// Header and (after appends) the end-of-file byte, under the header lock.
// Returns the first I/O error.
int UpdateHeaderAndEnd(WorkArea& a, bool writeEnd) {
  HeaderLock lock(a);
  int64_t size = 0;
  int rc = a.File.GetSize(&size);
  if (rc == 0 && lock.Shared() && !IsDbase2(a)) a.RecCount = std::max(a.RecCount, CountFromSize(a, size));
  WriteDbfHeader(a);
  rc = rc ? rc : LastErrorCode();
  if (writeEnd && rc == 0) {
    int64_t end = RecordPos(a, a.RecCount + 1);
    // Only where the file really ends: past another program's records it
    // would destroy their deletion byte.
    if (size <= end + 1) {
      char eof = char(Settings().EofByte);
      rc = a.File.WriteAt(end, &eof, 1);
    }
  }
  return rc;
}

bool IsNumericType(char t) { return t == 'N' || t == 'F'; }

}  // namespace

// --- Dialects -----------------------------------------------------------

bool IsValidVersionByte(uint8_t v) {
  switch (v) {
    case 0x02:
    case 0x03:
    case 0x83:
    case 0x8B:
    case 0xF5:
    case 0x04:
    case 0x8C: return true;
    default: break;
  }
  const DbfSettings& s = Settings();
  return (s.ExtraVersionNoMemo != 0 && v == s.ExtraVersionNoMemo) ||
         (s.ExtraVersionMemo != 0 && v == s.ExtraVersionMemo);
}

bool IsDbase2(const WorkArea& a) { return !ExtraVersionSet() && Version(a) == 0x02; }
bool IsLevel7(const WorkArea& a) { return !ExtraVersionSet() && (Version(a) == 0x04 || Version(a) == 0x8C); }
bool IsVersion30(const WorkArea& a) { return !ExtraVersionSet() && Version(a) == 0x30; }
bool Version30HasMemo(const WorkArea& a) { return IsVersion30(a) && (a.Prolog[kTableFlagsOffset] & 0x02) != 0; }

std::string MemoExtension(uint8_t version) {
  uint8_t v = IsValidVersionByte(version) ? version : Settings().DefaultVersionByte;
  return (v == 0xF5 || v == 0x30) ? "FPT" : "DBT";
}

std::string MemoFileName(const std::string& tableName, uint8_t version) {
  const size_t nameStart = tableName.find_last_of("/\\") + 1;  // npos + 1 = 0
  const size_t dot = tableName.rfind('.');
  const bool hasExt = dot != std::string::npos && dot >= nameStart;
  const std::string_view tableExt = hasExt ? std::string_view(tableName).substr(dot + 1) : std::string_view();
  std::string memoExt = MemoExtension(version);
  for (size_t i = 0; i < memoExt.size() && i < tableExt.size(); ++i)
    if (tableExt[i] >= 'a' && tableExt[i] <= 'z') memoExt[i] = char(memoExt[i] - 'A' + 'a');
  return (hasExt ? tableName.substr(0, dot) : tableName) + "." + memoExt;
}

// --- Open ---------------------------------------------------------------

void OpenDbf(WorkArea& a) {
  LastErrorCode() = 0;
  a.FileName = DefaultExtension(a.FileName, "DBF");
  if (int rc = a.File.Open(a.FileName, a.OpenMode)) {
    SetError(uint16_t(rc), "Failure to open " + a.FileName + " [USE/OpenDbf]");
    return;
  }
  // No short names here: the short name is the path without separators.
  std::string shortName;
  for (char c : a.FileName)
    if (c != '\\' && c != ':' && c != '/') shortName += c;
  if (a.Oem) shortName = plat::AnsiToOem(shortName);
  a.ShortName = shortName.substr(0, 12);

  int64_t size = 0;
  if (int rc = a.File.GetSize(&size)) {
    AbandonOpen(a);
    SetError(uint16_t(rc), "Failure to open " + a.FileName + " [USE/OpenDbf]");
    return;
  }
  ReadDbfProlog(a, size);
  if (LastErrorCode() != 0) return;
  if (Settings().FixRecCount) {
    a.RecCount = CountFromSize(a, size);
  } else if (a.Exclusive) {
    // The header's count is written at close: whole records past it were
    // appended by a program that ended without closing. A shared area counts
    // them from the file size as it moves; an exclusive one never looks
    // again, so it takes them now, or its appends would overwrite them. Its
    // close writes the count and the end byte behind them.
    int32_t inFile = CountFromSize(a, size);
    if (IsDbase2(a)) inFile = std::min(inFile, 0xFFFF);  // its header holds 16 bits
    if (inFile > a.RecCount) {
      a.RecCount = inFile;
      a.WriteState = kWsAppended;
    }
  }
  if (a.RecCount < 1) {
    a.RecNo = 0;
    a.Bof = a.Eof = true;
  } else {
    a.RecNo = 1;
    a.Bof = a.Eof = false;
  }
}

void ReadDbfProlog(WorkArea& a, int64_t fileSize) {
  size_t got = 0;
  int rc = a.File.ReadAt(0, a.Prolog, kPrologSize, &got);
  if (rc != 0 || got < size_t(kPrologSize)) {
    AbandonOpen(a);
    SetError(210, NotDbase(a.FileName, "Prolog is less than 32 bytes", " [USE/OpenDBF]"));
    return;
  }
  if (!IsValidVersionByte(a.Prolog[0])) {
    AbandonOpen(a);
    SetError(210, a.FileName + " is not a dBASE database." + " (" + "Invalid version byte" + ")+ [USE/OpenDBF]");
    return;
  }
  if (IsDbase2(a))
    ReadDbf2Header(a, fileSize);
  else
    ReadDbfHeader(a);
}

bool ReadFieldDescriptor(const WorkArea& a, const uint8_t* d, FieldEntry& f, uint16_t& pos) {
  const bool l7 = IsLevel7(a), d2 = IsDbase2(a);
  size_t nameMax = l7 ? 32 : 11;
  size_t n = 0;
  while (n < nameMax && d[n] != 0) ++n;
  f.Name = Upper(std::string(reinterpret_cast<const char*>(d), std::min<size_t>(n, 10)));
  char t = char(d[l7 ? 32 : 11]);
  if (t == 'B' || t == 'G' || t == 'P' || t == 'b' || t == 'g' || t == 'p') t = 'M';
  f.Type = t;
  f.Len = d2 ? d[12] : l7 ? d[33] : d[16];
  f.Dec = d2 ? d[15] : l7 ? d[34] : d[17];
  f.Pos = pos;
  pos = uint16_t(pos + f.Len);
  if (std::strchr("CDFLMN", t) == nullptr || t == 0) {
    AutoErrorHandlingScope quiet(false);
    SetError(211, "Field: " + f.Name + " [" + std::string(1, t) + "] in " + a.FileName + " is not a valid field type");
    return false;
  }
  return true;
}

namespace {

// The record layout must hold the fields: a record length of at least
// 1 + the sum of the widths (longer records and slack are accepted).
bool LayoutFits(const WorkArea& a) {
  uint32_t sum = 1;
  for (const auto& f : a.Fields) sum += f.Len;
  return a.RecLen >= 1 && a.RecLen >= sum;
}

// Fails the open of a table whose record layout cannot hold its fields.
// Returns false after reporting.
bool CheckLayout(WorkArea& a) {
  if (LayoutFits(a)) return true;
  std::string name = a.FileName;
  AbandonOpen(a);
  SetError(210, NotDbase(name, "Record length does not hold the fields", " [Use/OpenDbf]"));
  return false;
}

void ReportFieldError(WorkArea& a) {
  uint16_t code = LastErrorCode();
  std::string msg = code == 211 ? LastErrorMessage() : "Error reading " + a.FileName + " [Use/OpenDbf]";
  AbandonOpen(a);
  SetError(code, msg);
}

}  // namespace

void ReadDbfHeader(WorkArea& a) {
  const bool l7 = IsLevel7(a);
  const int prolog = l7 ? kLevel7PrologSize : kPrologSize;
  const int descSize = l7 ? 48 : 32;
  if (Settings().ExtraVersionMemo != 0)
    a.MemoFlag = Version(a) == Settings().ExtraVersionMemo;
  else if (IsVersion30(a))
    a.MemoFlag = Version30HasMemo(a);
  else
    a.MemoFlag = (Version(a) & 0x80) != 0;

  a.HeaderLen = plat::readLE16(a.Prolog + 8);
  int nfields = (int(a.HeaderLen) - prolog) / descSize;
  if (int(a.HeaderLen) < prolog || nfields < 1 || nfields > 255) {
    std::string name = FileNameOnly(a.FileName);
    AbandonOpen(a);
    SetError(210, NotDbase(name, "Number of fields is out of range", " [Use/OpenDbf]"));
    return;
  }
  uint32_t count = plat::readLE32(a.Prolog + 4);
  a.RecCount = count > uint32_t(INT32_MAX - 1) ? INT32_MAX - 1 : int32_t(count);
  a.RecLen = plat::readLE16(a.Prolog + 10);
  a.RecStore.assign(a.RecLen, ' ');
  a.Rec = a.RecStore.data();
  a.WriteState = kWsClean;

  std::vector<uint8_t> desc(size_t(a.HeaderLen) - kPrologSize);
  size_t got = 0;
  int rc = a.File.ReadAt(kPrologSize, desc.data(), desc.size(), &got);
  if (rc != 0 || got < desc.size()) {
    std::string name = a.FileName;
    AbandonOpen(a);
    SetError(rc ? uint16_t(rc) : uint16_t(100), "Error reading " + name + " [Use/OpenDbf]");
    return;
  }
  const uint8_t* base = desc.data() + (prolog - kPrologSize);  // level 7: after the 36 extra prolog bytes
  std::vector<FieldEntry> fields;
  uint16_t pos = 1;
  LastErrorCode() = 0;
  for (int i = 1; i <= nfields; ++i) {
    const uint8_t* d = base + size_t(i - 1) * descSize;
    if (d[0] == 0x0D) {
      if (i == 1) LastErrorCode() = 222;
      break;
    }
    FieldEntry f;
    if (!ReadFieldDescriptor(a, d, f, pos)) break;
    fields.push_back(std::move(f));
  }
  if (LastErrorCode() != 0) {
    ReportFieldError(a);
    return;
  }
  a.Fields = std::move(fields);
  a.FieldCount = uint8_t(a.Fields.size());
  CheckLayout(a);
}

void ReadDbf2Header(WorkArea& a, int64_t fileSize) {
  a.MemoFlag = false;
  a.RecCount = plat::readLE16(a.Prolog + 1);
  a.RecLen = plat::readLE16(a.Prolog + 6);
  a.HeaderLen = kDbf2HeaderSize;
  if (fileSize < kDbf2HeaderSize) {
    std::string name = a.FileName;
    AbandonOpen(a);
    SetError(210, name + " is not a dBASE database." + "(" + "Header is less than 521 bytes" + ") [Use/OpenDBF]");
    return;
  }
  a.RecStore.assign(a.RecLen, ' ');
  a.Rec = a.RecStore.data();
  a.WriteState = kWsClean;
  // 32 descriptors of 16 bytes from offset 8 and the byte after them, where
  // the terminator of a 32-field list stands.
  uint8_t desc[513];
  size_t got = 0;
  int rc = a.File.ReadAt(8, desc, sizeof desc, &got);
  if (rc != 0 || got < sizeof desc) {
    std::string name = a.FileName;
    uint16_t code = rc ? uint16_t(rc) : uint16_t(100);
    AbandonOpen(a);
    SetError(code, "Error reading " + name + " [Use/OpenDbf]");
    return;
  }
  std::vector<FieldEntry> fields;
  uint16_t pos = 1;
  bool terminated = false;
  LastErrorCode() = 0;
  for (int i = 0; i <= 32; ++i) {
    const uint8_t* d = desc + i * 16;
    if (d[0] == 0x0D) {
      terminated = true;
      break;
    }
    if (i == 32) break;
    FieldEntry f;
    if (!ReadFieldDescriptor(a, d, f, pos)) break;
    fields.push_back(std::move(f));
  }
  if (LastErrorCode() != 0) {
    ReportFieldError(a);
    return;
  }
  if (!terminated || fields.empty()) {
    std::string name = FileNameOnly(a.FileName);
    AbandonOpen(a);
    SetError(210, name + " is not a dBASE database." + "(" + "Number of fields is out of range" + ") [Use/OpenDbf]");
    return;
  }
  a.Fields = std::move(fields);
  a.FieldCount = uint8_t(a.Fields.size());
  CheckLayout(a);
}

// --- Create -------------------------------------------------------------

void CreateTableMemoFile(const std::string& name, uint8_t version, uint16_t blockSize, const std::string& tag) {
  LastErrorCode() = 0;
  std::vector<uint8_t> bytes;
  if (version == 0x83) {
    bytes.assign(513, 0);
    bytes[0] = 1;
    bytes[512] = 0x1A;
  } else if (version == 0xF5) {
    bytes.assign(512, 0);
    uint32_t bs = blockSize ? blockSize : 1;
    plat::writeBE32(bytes.data(), 511 / bs + 1);
    plat::writeBE16(bytes.data() + 6, blockSize);
  } else {
    bytes.assign(24, 0);
    plat::writeLE32(bytes.data(), 1);
    std::string base = FileBaseName(name).substr(0, 8);
    std::memcpy(bytes.data() + 8, base.data(), base.size());
    plat::writeLE16(bytes.data() + 18, 258);
    plat::writeLE16(bytes.data() + 20, blockSize);
  }
  plat::File f;
  if (int rc = f.Create(name, plat::kAccessReadWrite | plat::kShareCompat)) {
    SetError(uint16_t(rc), "Cannot create memo file " + name + " [" + tag + "]");
    return;
  }
  if (int rc = f.Write(bytes.data(), bytes.size())) {
    f.Close();
    SetError(uint16_t(rc), name + " [" + tag + "]");
  }
}

void CreateDbf(WorkArea& scratch, const std::string& name, std::vector<FieldEntry>& fields) {
  LastErrorCode() = 0;
  const DbfSettings& s = Settings();
  const char* kInvalid = "Invalid dBASE field definition [CreateDBF]";
  if (fields.empty() || fields.size() > 255) {
    SetError(211, kInvalid);
    return;
  }
  const uint8_t v = ExtraVersionSet() ? 0x8B : s.DefaultVersionByte;
  const bool extendedTypes = v == 0x8B || v == 0x8C;
  bool memo = false;
  for (auto& f : fields) {
    f.Type = plat::Upper1250(f.Type);
    if (f.Type == 'B' || f.Type == 'G' || f.Type == 'M' || f.Type == 'P') memo = true;
    if (v == 0x83 && f.Type == 'F') f.Type = 'N';
  }
  const bool l7 = v == 0x8C;
  const size_t descSize = l7 ? 48 : 32;
  const size_t prolog = l7 ? kLevel7PrologSize : kPrologSize;
  const size_t headerLen = prolog + fields.size() * descSize + 1;

  scratch = WorkArea{};
  scratch.FieldCount = uint8_t(fields.size());
  scratch.MemoFlag = memo;
  std::vector<uint8_t> header(headerLen, 0);
  header.back() = 0x0D;
  plat::writeLE16(header.data() + 8, uint16_t(headerLen));
  if (l7) std::memcpy(header.data() + 32, "DBWINWE0", 8);

  uint32_t recLen = 1;
  for (size_t i = 0; i < fields.size(); ++i) {
    FieldEntry& f = fields[i];
    std::string fname = Upper(AllTrim(f.Name).substr(0, 10));
    bool ok = !fname.empty() && std::strchr("CDFLMN", f.Type) != nullptr && f.Type != 0;
    if (extendedTypes && (f.Type == 'B' || f.Type == 'G' || f.Type == 'P')) ok = !fname.empty();
    uint8_t len = f.Len, dec = f.Dec;
    switch (f.Type) {
      case 'C':
      case 'F':
      case 'N': ok = ok && len > 0; break;
      case 'D': len = 8; break;
      case 'L': len = 1; break;
      default: len = 10; break;
    }
    if (!IsNumericType(f.Type)) dec = 0;
    if (!ok) {
      SetError(211, kInvalid);
      return;
    }
    uint8_t* d = header.data() + prolog + i * descSize;
    std::memcpy(d, fname.data(), fname.size());
    d[l7 ? 32 : 11] = uint8_t(f.Type);
    d[l7 ? 33 : 16] = len;
    d[l7 ? 34 : 17] = dec;
    f.Name = fname;
    f.Len = len;
    f.Dec = dec;
    f.Pos = uint16_t(recLen);
    recLen += len;
  }
  uint8_t version;
  if (!ExtraVersionSet())
    version = memo ? v : (l7 ? 0x04 : 0x03);
  else
    version = memo ? s.ExtraVersionMemo : s.ExtraVersionNoMemo;
  header[0] = version;
  plat::writeLE16(header.data() + 10, uint16_t(recLen));

  scratch.FileName = DefaultExtension(AllTrim(name), "DBF");
  std::memcpy(scratch.Prolog, header.data(), kPrologSize);
  scratch.HeaderLen = uint16_t(headerLen);
  scratch.RecLen = uint16_t(recLen);
  scratch.Fields = fields;
  scratch.OpenMode = plat::kAccessReadWrite | plat::kShareDenyAll;
  scratch.Exclusive = true;
  int rc = scratch.File.Create(scratch.FileName, scratch.OpenMode);
  if (rc == 0) rc = scratch.File.Write(header.data(), header.size());
  if (rc != 0) {
    scratch.File.Close();
    SetError(uint16_t(rc), "Error writing " + scratch.FileName + ". [CreateDbf]");
    return;
  }
  scratch.RecCount = 0;
  scratch.WriteState = kWsAppended;
  CloseDbf(scratch);
  if (memo && LastErrorCode() == 0) {
    std::string memoName = MemoFileName(scratch.FileName, s.DefaultVersionByte);
    CreateTableMemoFile(memoName, s.DefaultVersionByte, s.MemoBlockSize);
  }
}

// --- Records ------------------------------------------------------------

void GetDbfRecord(WorkArea& a, int32_t recno) {
  LastErrorCode() = 0;
  if (a.Virtual) {
    a.VRecNo = recno;
    CallVirtualHook(a, kVOpRead);
    if (LastErrorCode() == 0) a.Eof = a.Bof = false;
    return;
  }
  if (recno < 1 || recno > a.RecCount) {
    SetError(212, "Invalid record number = " + IntText(recno).substr(0, 6) + " (" + a.FileName + ")  [GetDbfRecord]");
    return;
  }
  a.Eof = a.Bof = false;
  a.Memos.EndRewrites();
  size_t got = 0;
  // Through the file's shared mapping: no system call per record, and
  // still every byte as other programs wrote it. The read tells on the way
  // whether the code-page translation would change anything.
  bool ascii = false;
  int rc = a.File.ReadAtMapped(RecordPos(a, recno), a.Rec, a.RecLen, &got, &ascii);
  if (rc == 0 && got < a.RecLen) rc = 213;
  if (rc != 0) {
    SetError(uint16_t(rc), "File:  " + a.FileName + "  [GetDbfRecord]");
    return;
  }
  a.RecNo = recno;
  a.RecAsRead = true;
  if (!ascii || a.ReadXlat) TranslateRecord(false, a.Oem, a.ReadXlat, a.RecLen, a.RecLen, a.Rec);
}

void PrefetchDbfRecord(const WorkArea& a, int32_t recno) {
  if (!a.Virtual && recno >= 1 && recno <= a.RecCount) a.File.PrefetchMapped(RecordPos(a, recno), a.RecLen);
}

namespace {

// Writes `image` (a record in its on-disk form) as record `recno`,
// appending when recno is beyond the count, with the write-state and flush
// rules of record writes. `tag` names the routine in messages.
void WriteRecordImage(WorkArea& a, int32_t recno, const char* image, size_t len, const char* tag) {
  bool append = recno > a.RecCount;
  // The phantom record past the end must keep a number, and a dBASE II
  // header holds the count in 16 bits.
  if (append && a.RecCount >= (IsDbase2(a) ? 0xFFFF : INT32_MAX - 1)) {
    SetError(212, "Invalid record number = " + IntText(int64_t(a.RecCount) + 1).substr(0, 6) + " (" + a.FileName + ") " + tag);
    return;
  }
  const int32_t oldCount = a.RecCount;
  if (append) {
    recno = a.RecCount + 1;
    a.RecCount = recno;
    a.RecNo = recno;
  }
  int rc = a.File.WriteAt(RecordPos(a, recno), image, len);
  if (append && rc != 0) {
    // A record that was not written is not counted (the header written at
    // close would otherwise claim it); the area stands past the end, where
    // no command takes the unwritten values for a record's.
    a.RecCount = oldCount;
  }
  if (!append) {
    if (a.WriteState != kWsAppended) a.WriteState = kWsChanged;
    if (rc == 0 && Settings().FlushAfterWrite) FlushFile(a.File);
  } else {
    a.WriteState = kWsAppended;
    if (rc == 0 && Settings().FlushAfterWrite) CommitDbf(a);
  }
  if (rc != 0) SetError(uint16_t(rc), "File:  " + a.FileName + tag);
}

bool RejectRecNo(const WorkArea& a, int32_t recno, const char* tag) {
  if (recno >= 1) return false;
  SetError(212, "Invalid record number = " + IntText(recno).substr(0, 6) + " (" + a.FileName + ")  " + tag);
  return true;
}

}  // namespace

namespace {

// Writes the whole record buffer as record `recno`, in the on-disk form;
// the buffer keeps the in-memory form.
void WriteRecordBuffer(WorkArea& a, int32_t recno, const char* tag) {
  const bool translated = a.Oem || a.WriteXlat || a.ReadXlat;
  if (!translated) {
    WriteRecordImage(a, recno, a.Rec, a.RecLen, tag);
    return;
  }
  a.ImageBuf.resize(a.RecLen);
  char* image = a.ImageBuf.data();
  std::memcpy(image, a.Rec, a.RecLen);
  TranslateRecord(true, a.Oem, a.WriteXlat, a.RecLen, a.RecLen, image);
  WriteRecordImage(a, recno, image, a.RecLen, tag);
  // The buffer holds what a read of the record would give.
  TranslateRecord(false, a.Oem, a.ReadXlat, a.RecLen, a.RecLen, image);
  std::memcpy(a.Rec, image, a.RecLen);
}

// After the image in the record buffer was written as record `recno` over
// `stored` (the record as the file held it; null for a new record), the
// fields in `written` carried: each of those memo fields that holds a
// rewrite's memo (one that rewrites led to from the field in `read`, the
// record the image was read as; any, with no such record) replaced what
// the field held there, which is this area's to free; the rewrites are
// settled (see MemoNotes).
void SettleRewrites(WorkArea& a, int32_t recno, const char* read, const char* stored,
                    const std::bitset<256>& written) {
  if (!a.Memos.AnyRewrite()) return;
  std::vector<int32_t> replaced;
  for (size_t i = 0; stored && i < a.Fields.size(); ++i) {
    if (a.Fields[i].Type != 'M' || !written.test(i)) continue;
    const int32_t now = StoredMemoRef(a, i, a.Rec);
    const int64_t old = StoredMemoRef(a, i, stored);
    const bool rewritten = read ? a.Memos.Leads(StoredMemoRef(a, i, read), now) : a.Memos.Wrote(now);
    if (rewritten && old != 0 && std::abs(old) != std::abs(int64_t(now)))
      replaced.push_back(int32_t(std::abs(old)));
  }
  a.Memos.Settle(recno, replaced);
}

// Writes the whole record buffer as record `recno` (appending above the
// count) and settles the memo rewrites the image carries.
void WriteWholeRecord(WorkArea& a, int32_t recno, const char* tag) {
  const int32_t at = recno > a.RecCount ? a.RecCount + 1 : recno;
  std::string stored;
  if (at <= a.RecCount && a.Memos.AnyRewrite()) {
    // What the record's memo fields held before: a rewrite's memo replaces
    // it. Unread, nothing is taken for replaced (it stays as lost space).
    stored.resize(a.RecLen);
    size_t got = 0;
    if (a.File.ReadAtMapped(RecordPos(a, at), stored.data(), stored.size(), &got) != 0 || got < stored.size())
      stored.clear();
  }
  WriteRecordBuffer(a, recno, tag);
  if (LastErrorCode() == 0)
    SettleRewrites(a, at, nullptr, stored.empty() ? nullptr : stored.data(), std::bitset<256>().set());
}

}  // namespace

void PutDbfRecord(WorkArea& a, int32_t recno) {
  LastErrorCode() = 0;
  if (a.Virtual) {
    a.VRecNo = recno;
    CallVirtualHook(a, kVOpWrite);
    return;
  }
  if (RejectRecNo(a, recno, "[PutDbfRecord]")) return;
  WriteWholeRecord(a, recno, " [Replace/Append/PutDbfRecord]");
  a.RecAsRead = LastErrorCode() == 0;
}

void AppendDbfRecord(WorkArea& a) { PutDbfRecord(a, a.RecCount + 1); }

void WriteDeletionFlag(WorkArea& a, int32_t recno) {
  LastErrorCode() = 0;
  if (RejectRecNo(a, recno, "[DeleteRec/RecallRec]")) return;
  if (recno > a.RecCount) {
    // Appending through the deletion byte writes the whole record, as an
    // append of the record would.
    WriteWholeRecord(a, recno, " [DeleteRec/RecallRec]");
    return;
  }
  WriteRecordImage(a, recno, a.Rec, 1, " [DeleteRec/RecallRec]");
}

namespace {

// The memo fields of `typed` that hold a memo this area's rewrites wrote
// for the image in the buffer, from the memo the field was read with (the
// record buffer holds the record as read).
std::bitset<256> RewrittenMemos(const WorkArea& a, const char* typed) {
  std::bitset<256> which;
  if (!a.Memos.AnyRewrite()) return which;
  for (size_t i = 0; i < a.Fields.size(); ++i) {
    if (a.Fields[i].Type != 'M') continue;
    int32_t ref;
    std::memcpy(&ref, typed + a.TypedOffsets[i], sizeof ref);
    if (a.Memos.Leads(StoredMemoRef(a, i, a.Rec), ref)) which.set(i);
  }
  return which;
}

}  // namespace

void RewriteDbfRecord(WorkArea& a, int32_t recno, char* typed, void (*onStored)()) {
  LastErrorCode() = 0;
  if (a.Virtual || recno < 1 || recno > a.RecCount) {
    PackRecord(a, typed);
    PutDbfRecord(a, recno);
    if (!a.Virtual && LastErrorCode() == 0) UnpackRecord(a, typed);
    return;
  }
  if (a.TypedOffsets.size() != a.Fields.size()) LayoutTypedRecord(a);
  const size_t len = a.RecLen;
  a.ImageBuf.resize(3 * len);
  char* stored = a.ImageBuf.data();  // the record as the file holds it now
  char* image = stored + len;        // what is written
  char* read = image + len;          // the record buffer as the call found it
  if (a.SwapBuf.size() < a.TypedSize) a.SwapBuf.resize(a.TypedSize);

  // What the caller changed: its typed values against the record they were
  // read from, and every memo it rewrote. Whatever else differs now is
  // another program's change.
  std::bitset<256> changed;
  bool deletion = true;
  const bool asRead = a.RecAsRead;
  if (asRead) {
    changed = ChangedFields(a, typed, a.SwapBuf.data(), image) | RewrittenMemos(a, typed);
    deletion = typed[0] != (a.Rec[0] == '*' ? 1 : 0);
  } else {
    for (size_t i = 0; i < a.Fields.size(); ++i) changed.set(i);
  }
  std::memcpy(read, a.Rec, len);
  size_t got = 0;
  int rc = a.File.ReadAtMapped(RecordPos(a, recno), stored, len, &got);
  if (rc == 0 && got < len) rc = 213;
  if (rc != 0) {
    SetError(uint16_t(rc), "File:  " + a.FileName + " [Replace/Append/PutDbfRecord]");
    return;
  }
  std::memcpy(a.Rec, stored, len);
  TranslateRecord(false, a.Oem, a.ReadXlat, len, a.RecLen, a.Rec);
  const bool othersWrote = std::memcmp(a.Rec, read, len) != 0;
  if (onStored) onStored();
  if (LastErrorCode() != 0) {
    std::memcpy(a.Rec, read, len);
    return;
  }

  // The changed fields packed into the record as stored now, and brought
  // to the on-disk form. A 0 or false over bytes read that hold no value
  // is written too, unless another program has written them since.
  if (asRead) changed |= NoValueFields(a, typed, read, a.Rec);
  if (deletion) a.Rec[0] = typed[0] ? '*' : ' ';
  for (size_t i = 0; i < a.Fields.size(); ++i)
    if (changed.test(i)) PackField(a, i, typed);
  TranslateRecord(true, a.Oem, a.WriteXlat, len, a.RecLen, a.Rec);

  // The stored bytes of everything else are kept.
  std::memcpy(image, stored, len);
  if (deletion) image[0] = a.Rec[0];
  for (size_t i = 0; i < a.Fields.size(); ++i) {
    const FieldEntry& f = a.Fields[i];
    if (changed.test(i) && size_t(f.Pos) + f.Len <= len) std::memcpy(image + f.Pos, a.Rec + f.Pos, f.Len);
  }
  WriteRecordImage(a, recno, image, len, " [Replace/Append/PutDbfRecord]");
  if (LastErrorCode() != 0) {
    std::memcpy(a.Rec, read, len);
    return;
  }
  std::memcpy(a.Rec, image, len);
  TranslateRecord(false, a.Oem, a.ReadXlat, len, a.RecLen, a.Rec);
  SettleRewrites(a, recno, asRead ? read : nullptr, stored, changed);
  a.RecAsRead = true;
  // An unchanged slot holds every byte its unpacking would write, unless
  // another program changed the record since the read.
  if (othersWrote)
    UnpackRecord(a, typed);
  else
    UnpackFields(a, typed, changed);
}

// --- Header and close ---------------------------------------------------

void WriteDbfHeader(WorkArea& a) {
  LastErrorCode() = 0;
  HeaderDate d = Today();
  int rc;
  if (IsDbase2(a)) {
    a.Prolog[5] = uint8_t(d.year - 1900);
    a.Prolog[3] = uint8_t(d.month);
    a.Prolog[4] = uint8_t(d.day);
    plat::writeLE16(a.Prolog + 1, uint16_t(a.RecCount));
    rc = a.File.WriteAt(0, a.Prolog, 8);
  } else {
    uint8_t keep[12];
    size_t got = 0;
    rc = a.File.ReadAt(16, keep, sizeof keep, &got);
    if (rc == 0 && got == sizeof keep) std::memcpy(a.Prolog + 16, keep, sizeof keep);
    a.Prolog[1] = uint8_t(d.year - 1900);
    a.Prolog[2] = uint8_t(d.month);
    a.Prolog[3] = uint8_t(d.day);
    plat::writeLE32(a.Prolog + 4, uint32_t(a.RecCount));
    if (rc == 0) rc = a.File.WriteAt(0, a.Prolog, kPrologSize);
  }
  if (rc != 0) SetError(uint16_t(rc), "File:  " + a.FileName + " [WriteDbfHeader]");
}

void CommitDbf(WorkArea& a) {
  LastErrorCode() = 0;
  if (a.Virtual || (a.WriteState != kWsChanged && a.WriteState != kWsAppended)) return;
  if (ReadOnlyMode(a)) return;
  int rc = UpdateHeaderAndEnd(a, a.WriteState == kWsAppended);
  if (rc != 0) {
    SetError(uint16_t(rc), "File:  " + a.FileName + " [CommitDbf]");
    return;
  }
  a.WriteState = kWsClean;
  FlushFile(a.File);
}

void CloseDbf(WorkArea& a) {
  LastErrorCode() = 0;
  if (a.Virtual) {
    CallVirtualHook(a, kVOpClose);
    a.WriteState = kWsClosed;
    a.Fields.clear();
    a.FieldCount = 0;
    return;
  }
  int rc = 0;
  if ((a.WriteState == kWsChanged || a.WriteState == kWsAppended) && a.File.IsOpen() && !ReadOnlyMode(a)) {
    AutoErrorHandlingScope quiet(false);
    rc = UpdateHeaderAndEnd(a, a.WriteState == kWsAppended);
  }
  a.File.Close();
  a.WriteState = kWsClosed;
  a.RecStore.clear();
  a.RecStore.shrink_to_fit();
  a.Rec = nullptr;
  a.Fields.clear();
  a.FieldCount = 0;
  LastErrorCode() = 0;
  if (rc != 0) SetError(uint16_t(rc), "File:  " + a.FileName + " [CloseDbf(" + a.FileName + ")]");
}

void ClearFlushAfterWrite() { Settings().FlushAfterWrite = false; }

void FlushFile(plat::File& f) {
  if (int rc = f.Flush()) SetError(uint16_t(rc), "Unable to flush file [FlushFile]");
}

// --- Translation --------------------------------------------------------

void TranslateRecords(bool toFile, bool oem, const RecordTranslator& proc, size_t size, uint16_t recLen,
                      char* buf) {
  if ((!oem && !proc) || recLen == 0) return;
  size_t n = size / recLen;
  for (size_t r = 0; r < n; ++r) {
    char* p = buf + r * recLen + 1;
    size_t len = size_t(recLen) - 1;
    if (toFile) {
      if (oem) plat::AnsiToOemInPlace(p, len);
      if (proc) proc(p, len);
    } else {
      if (proc) proc(p, len);
      if (oem) plat::OemToAnsiInPlace(p, len);
    }
  }
}

// --- Small routines -----------------------------------------------------

std::string FileNameOnly(const std::string& path) {
  size_t slash = path.find_last_of("/\\:");
  std::string n = slash == std::string::npos ? path : path.substr(slash + 1);
  return n.substr(0, 128);
}

std::string FileBaseName(const std::string& path) {
  std::string n = FileNameOnly(path);
  size_t dot = n.rfind('.');
  if (dot != std::string::npos) n.resize(dot);
  return n.substr(0, 64);
}

uint32_t Swap32(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}
uint16_t Swap16(uint16_t v) { return uint16_t((v >> 8) | (v << 8)); }

std::string ZeroPad2(int n) {
  std::string s = IntText(n);
  return s.size() < 2 ? std::string(2 - s.size(), '0') + s : s;
}
std::string ZeroPad4(int n) {
  std::string s = IntText(n);
  return s.size() < 4 ? std::string(4 - s.size(), '0') + s : s;
}

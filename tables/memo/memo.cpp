#include "tables/memo/memo.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/byteorder.h"
#include "platform/pfs.h"
#include "tablebase/dbf4.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzdbflow.h"
#include "tablebase/tzutils.h"
#include "tables/memo/memo_internal.h"

namespace memo {

Flavour FlavourOf(uint8_t version) {
  if (version == 0x83) return Flavour::Dbase3;
  if (version == 0xF5) return Flavour::Fox;
  return Flavour::Dbase4;
}

MemoState* MemoOf(WorkArea& a) { return static_cast<MemoState*>(a.Extra.Memo.get()); }

WorkArea* CheckMemoField(const std::string& tag) {
  WorkArea* a = CurrentWorkArea();
  if (!a) {
    SetError(215, " [" + tag + "]");
    return nullptr;
  }
  if (!MemoOf(*a)) {
    SetError(1019, a->FileName + " No Memo Field [" + tag + "]");
    return nullptr;
  }
  return a;
}

std::string MemoName(const WorkArea& a) {
  return ForceExtension(a.FileName, MemoExtension(DbSettings().DefaultVersionByte));
}

void MemoError(WorkArea& a, uint16_t code, const std::string& text) {
  if (MemoState* m = MemoOf(a)) UnlockMemo(a, *m);
  SetError(code, text);
}

namespace {

bool SharesMemo(const WorkArea& a) { return DbSettings().SharedMode && !a.Exclusive; }

bool WriteDescriptorActive(const MemoState& m) { return m.Desc.Active && m.Desc.Mode == kBlobWrite; }

// The block size in a memo file's header; 0 when the file has none.
uint16_t StoredBlockSize(Flavour kind, const uint8_t* header) {
  return kind == Flavour::Fox ? plat::readBE16(header + 6) : plat::readLE16(header + 20);
}

int OpenModeFor(const WorkArea& a) {
  const DbfSettings& s = DbSettings();
  int mode = SharesMemo(a) ? plat::kAccessReadWrite | plat::kShareDenyNone : kExclusiveMode;
  if (s.OpenModeOverride < 65535) mode = s.OpenModeOverride & 0xFF;
  return mode;
}

}  // namespace

bool LockMemo(WorkArea& a, MemoState& m) {
  if (!SharesMemo(a)) return true;
  // Appends hold the byte only for the time one memo is written, so a few
  // quick attempts decide; the caller gets 1017 and may try again.
  for (int attempt = 0; attempt < 11; ++attempt) {
    if (OsLock(false, m.File, kLockOffset, 1) == 0) {
      m.Locked = true;
      ++m.Holds;
      return true;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  m.Locked = false;
  return false;
}

bool UnlockMemo(WorkArea& a, MemoState& m) {
  if (!SharesMemo(a) || !m.Locked) return true;
  m.Locked = false;
  return OsLock(true, m.File, kLockOffset, 1) == 0;
}

int MemoFileSize(MemoState& m, int64_t& size) { return m.File.GetSize(&size); }

int64_t BlockCount(const MemoState& m, int64_t size) { return (size + m.BlockSize - 1) / m.BlockSize; }

int64_t MemoBlocks(const MemoState& m, int64_t dataLen) { return BlockCount(m, dataLen + kMemoHeaderBytes); }

int64_t HeaderBlocks(const MemoState& m) { return BlockCount(m, m.Kind() == Flavour::Dbase4 ? 36 : 512); }

int64_t BlockPos(const MemoState& m, int64_t block) { return block * m.BlockSize; }

std::string MemoDirectory(const MemoState& m) {
  const std::string& path = m.File.Path();
  return path.substr(0, path.find_last_of('/') + 1);
}

int64_t LockMemoPadAndSeekEOF(WorkArea& a, MemoState& m, const std::string& tag) {
  const std::string name = MemoName(a);
  // A blob stream writing at the end of the file owns it until it is done.
  if (WriteDescriptorActive(m) || !LockMemo(a, m)) {
    SetError(1017, name + " [" + tag + "]");
    return 0;
  }
  int64_t size = 0;
  if (int rc = MemoFileSize(m, size)) {
    MemoError(a, uint16_t(rc), name + " [LockMemoPadAndSeekEOF]");
    return 0;
  }
  // The first memo of a new dBASE III file takes the place of its end mark.
  if (m.Kind() == Flavour::Dbase3 && size == 513) return 512;
  const int64_t end = std::max(BlockCount(m, size), HeaderBlocks(m)) * m.BlockSize;
  if (end > size) {
    const std::vector<char> zeros(size_t(end - size), 0);
    if (int rc = m.File.WriteAt(size, zeros.data(), zeros.size())) {
      MemoError(a, uint16_t(rc), name + " [LockMemoPadAndSeekEOF]");
      return 0;
    }
  }
  return end;
}

bool UpdateMemoHeader(WorkArea& a, MemoState& m) {
  const std::string name = MemoName(a);
  int64_t size = 0;
  if (MemoFileSize(m, size) != 0) {
    MemoError(a, 30, name + " [UpdateMemoHeader()]");
    return false;
  }
  const uint32_t next = uint32_t(std::min<int64_t>(BlockCount(m, size), kUnknownSize));
  if (m.Kind() == Flavour::Dbase4) {
    // The header starts the free chain; its end is the end of the file.
    if (!SetChainEnd(a, m, next, " [UpdateMemoHeader()]")) return false;
  } else if (WriteNextFree(m, next) != 0) {
    MemoError(a, 29, name + " [UpdateMemoHeader()]");
    return false;
  }
  if (!UnlockMemo(a, m)) {
    SetError(1018, name);
    return false;
  }
  return true;
}

bool FlushMemo(WorkArea& a, MemoState& m) { return SyncFile(a, m.File); }

bool SyncFile(WorkArea& a, plat::File& file) {
  if (Engine().memo.NoFlush) return true;
  if (int rc = file.Flush()) {
    MemoError(a, uint16_t(rc), "Unable to flush file [FlushFile]");
    return false;
  }
  return true;
}

int64_t HeaderDataLength(const MemoState& m, const uint8_t* h, size_t got) {
  if (got < size_t(kMemoHeaderBytes)) return -1;
  if (m.Kind() == Flavour::Fox) return plat::readBE32(h + 4);
  if (plat::readLE16(h) == 0xFFFF && plat::readLE16(h + 2) == 8)
    return std::max<int64_t>(int64_t(plat::readLE32(h + 4)) - kMemoHeaderBytes, 0);
  return -1;
}

int ProbeMemo(MemoState& m, int64_t block, int64_t& length) {
  if (block < 1) return 1003;
  uint8_t h[8];
  size_t got = 0;
  if (int rc = m.File.ReadAtMapped(BlockPos(m, block), h, sizeof h, &got)) return rc;
  // Fewer than two bytes there: the memo starts at or past the last byte.
  if (got < 2 || (m.Kind() == Flavour::Fox && got < sizeof h)) return 1003;
  length = HeaderDataLength(m, h, got);
  return 0;
}

int ReadMemo(MemoState& m, int64_t block, std::string& data, bool& header) {
  data.clear();
  header = false;
  int64_t length = -1;
  if (int rc = ProbeMemo(m, block, length)) return rc;
  const int64_t pos = BlockPos(m, block);
  size_t got = 0;
  if (length >= 0) {
    header = true;
    // A damaged length must not take memory the file could not fill.
    constexpr int64_t kSurelyInFile = 1 << 20;
    if (length > kSurelyInFile) {
      int64_t size = 0;
      if (int rc = MemoFileSize(m, size)) return rc;
      if (pos + kMemoHeaderBytes + length > size) return 1003;
    }
    data.resize(size_t(length));
    if (int rc = m.File.ReadAtMapped(pos + kMemoHeaderBytes, data.data(), data.size(), &got)) return rc;
    if (got < data.size()) return 1003;
    return 0;
  }
  return ReadTextToEndMark(m, pos, data);
}

int ReadTextToEndMark(MemoState& m, int64_t pos, std::string& data) {
  data.clear();
  // Read in pieces of a block at first, growing, so that a short memo costs
  // no more than its own blocks.
  size_t piece = 512;
  for (int64_t at = pos;;) {
    const size_t before = data.size();
    data.resize(before + piece);
    size_t got = 0;
    if (int rc = m.File.ReadAtMapped(at, data.data() + before, piece, &got)) {
      data.clear();
      return rc;
    }
    const char* from = data.data() + before;
    const char* end = std::find(from, from + got, '\x1A');
    data.resize(before + size_t(end - from));
    if (end != from + got || got < piece) return 0;
    at += int64_t(got);
    piece = std::min<size_t>(piece * 2, 64 * 1024);
  }
}

int WriteGroupHeader(MemoState& m, int64_t block, uint32_t length) {
  uint8_t h[8];
  if (m.Kind() == Flavour::Fox) {
    plat::writeBE32(h, 1);
    plat::writeBE32(h + 4, length);
  } else {
    plat::writeLE32(h, 0x0008FFFF);
    plat::writeLE32(h + 4, length + uint32_t(kMemoHeaderBytes));
  }
  return m.File.WriteAt(BlockPos(m, block), h, sizeof h);
}

int WriteNextFree(MemoState& m, uint32_t next) {
  uint8_t b[4];
  if (m.Kind() == Flavour::Fox)
    plat::writeBE32(b, next);
  else
    plat::writeLE32(b, next);
  return m.File.WriteAt(0, b, sizeof b);
}

int WriteMemoAt(MemoState& m, int64_t block, std::string_view data, bool header) {
  std::string bytes;
  if (m.Kind() == Flavour::Dbase3 && !header) {
    bytes.reserve(data.size() + m.BlockSize);
    bytes.append(data);
    bytes += '\x1A';
    bytes.resize(size_t(BlockCount(m, int64_t(bytes.size())) * m.BlockSize), '\0');
    return m.File.WriteAt(BlockPos(m, block), bytes.data(), bytes.size());
  }
  if (int rc = WriteGroupHeader(m, block, uint32_t(data.size()))) return rc;
  return m.File.WriteAt(BlockPos(m, block) + kMemoHeaderBytes, data.data(), data.size());
}

void TranslateWindows(const RecordTranslator& proc, char* data, size_t len, int64_t offset) {
  if (!proc) return;
  constexpr int64_t kWindow = 512;
  for (size_t done = 0; done < len;) {
    const int64_t at = offset + int64_t(done);
    const size_t n = std::min<size_t>(len - done, size_t((at / kWindow + 1) * kWindow - at));
    proc(data + done, n);
    done += n;
  }
}

}  // namespace memo

using namespace memo;

uint8_t GetMemoType() {
  const uint8_t fallback = DbSettings().DefaultVersionByte;
  WorkArea* a = CheckDbInUse("GetMemoType");
  if (!a) return fallback;
  uint8_t v = a->Prolog[0];
  // Read again: another program may have rewritten the table.
  uint8_t onDisk = 0;
  size_t got = 0;
  if (!a->Virtual && a->File.IsOpen() && a->File.ReadAt(0, &onDisk, 1, &got) == 0 && got == 1) v = onDisk;
  return (v == 0x83 || v == 0x8B || v == 0x8C || v == 0xF5) ? v : fallback;
}

void OpenMemofile(const std::string& name) {
  LastErrorCode() = 0;
  WorkArea* a = CheckDbInUse("USE");
  if (!a) return;
  const std::string memoName = MemoName(*a);
  if (MemoOf(*a)) {
    SetError(1007, memoName + " [USE]");
    return;
  }
  auto m = std::make_unique<MemoState>();
  const DbfSettings& s = DbSettings();
  m->Version = GetMemoType();
  m->Name = DefaultExtension(name, MemoExtension(m->Version));
  if (!FinishInterruptedPack(*a, m->Name)) return;
  if (int rc = m->File.Open(m->Name, OpenModeFor(*a))) {
    SetError(uint16_t(rc), "Memo file not found: " + memoName + " [USE]");
    return;
  }
  const uint16_t fallback = s.MemoBlockSize ? s.MemoBlockSize : 512;
  m->BlockSize = 512;
  if (m->Kind() != Flavour::Dbase3) {
    uint8_t header[24];
    const size_t want = m->Kind() == Flavour::Fox ? 8 : 24;
    size_t got = 0;
    if (m->File.ReadAt(0, header, want, &got) != 0 || got < want) {
      SetError(30, memoName + " [USE]");
      return;
    }
    const uint16_t stored = StoredBlockSize(m->Kind(), header);
    m->BlockSize = stored ? stored : fallback;
  }
  a->Extra.Memo = std::move(m);
}

void CloseMemofile() {
  WorkArea* a = CurrentWorkArea();
  MemoState* m = a ? MemoOf(*a) : nullptr;
  if (!m) return;
  // The memos this area's record writes replaced are freed now; when they
  // cannot be, they stay where they are, lost to the chain but never to a
  // record.
  if (a->Memos.AnyReplaced() && !WriteDescriptorActive(*m)) {
    AutoErrorHandlingScope quiet(false);
    if (LockMemo(*a, *m) && FreeReplaced(*a, *m, " [CloseMemofile]") && FlushMemo(*a, *m)) UnlockMemo(*a, *m);
  }
  a->Memos.Drop();
  a->Extra.Memo.reset();
}

void CreateMemofile(const std::string& name) {
  const DbfSettings& s = DbSettings();
  CreateTableMemoFile(name, s.DefaultVersionByte, s.MemoBlockSize, "CreateMemofile()");
}

void EmptyMemofile() {
  LastErrorCode() = 0;
  WorkArea* a = CurrentWorkArea();
  MemoState* m = a ? MemoOf(*a) : nullptr;
  if (!m) return;
  if (WriteDescriptorActive(*m)) {
    SetError(1017, MemoName(*a) + " [CreateMemofile()]");
    return;
  }
  // The file keeps its own flavour and block size, and its name as it lies on disk.
  const std::string path = m->File.Path(), name = m->Name;
  const uint8_t version = m->Version;
  const uint16_t blockSize = m->BlockSize;
  a->Memos.Drop();  // the new file holds none of what they name
  CloseMemofile();
  CreateTableMemoFile(path, version, blockSize, "CreateMemofile()");
  if (LastErrorCode() != 0) return;
  OpenMemofile(name);
}

bool LockMemo() {
  WorkArea* a = CurrentWorkArea();
  MemoState* m = a ? MemoOf(*a) : nullptr;
  return m && LockMemo(*a, *m);
}

bool UnlockMemo() {
  WorkArea* a = CurrentWorkArea();
  MemoState* m = a ? MemoOf(*a) : nullptr;
  return m && UnlockMemo(*a, *m);
}

int32_t AddMemo(const std::string& text) {
  LastErrorCode() = 0;
  WorkArea* a = CheckMemoField("AddMemo");
  if (!a) return 0;
  MemoState& m = *MemoOf(*a);
  std::string data = TrimR(text);
  if (data.empty()) return 0;
  const int64_t pos = LockMemoPadAndSeekEOF(*a, m, "AddMemo()");
  if (pos == 0) return 0;
  const int64_t block = pos / m.BlockSize;
  TranslateWindows(a->WriteXlat, data.data(), data.size(), 0);
  if (int rc = WriteMemoAt(m, block, data, false)) {
    MemoError(*a, uint16_t(rc), MemoName(*a) + " [AddMemo]");
    return 0;
  }
  if (!FlushMemo(*a, m) || !UpdateMemoHeader(*a, m)) return 0;
  return int32_t(block);
}

int32_t CopyMemo(uint8_t sourceArea, int32_t ref, bool sameBlock) {
  LastErrorCode() = 0;
  WorkArea* a = CheckMemoField("AppendFrom/CopyTo");
  if (!a || ref == 0) return 0;
  MemoState& m = *MemoOf(*a);
  WorkArea* src = WorkAreaOf(sourceArea);
  MemoState* sm = src ? MemoOf(*src) : nullptr;
  if (!sm) {
    SetError(1019, (src ? src->FileName : std::string()) + " No Memo Field [AppendFrom/CopyTo]");
    return 0;
  }
  const std::string tag = MemoName(*a) + " [AppendFrom/CopyTo]";
  const int64_t pos = LockMemoPadAndSeekEOF(*a, m, "CopyMemo()");
  if (pos == 0) return 0;
  const int64_t block = ref < 0 ? -int64_t(ref) : ref;
  std::string data;
  bool header = false;
  if (int rc = ReadMemo(*sm, block, data, header)) {
    MemoError(*a, uint16_t(rc), tag);
    return 0;
  }
  TranslateWindows(src->ReadXlat, data.data(), data.size(), 0);
  TranslateWindows(a->WriteXlat, data.data(), data.size(), 0);
  // A blob stream's memo in a dBASE III file keeps its length header (its
  // data may hold 0x1A) and its negated reference.
  const bool keepHeader = m.Kind() == Flavour::Dbase3 && ref < 0 && header;
  const int64_t dest = sameBlock ? block : pos / m.BlockSize;
  // A memo put at a block of its own choosing may cover a free run.
  if (sameBlock) m.Chain = ChainCopy{};
  if (int rc = WriteMemoAt(m, dest, data, keepHeader)) {
    MemoError(*a, uint16_t(rc), tag);
    return 0;
  }
  if (!UpdateMemoHeader(*a, m) || !FlushMemo(*a, m)) return 0;
  return int32_t(keepHeader ? -dest : dest);
}

void InstallMemoHooks() {
  MemoHooks& h = Hooks().Memo;
  h.AssignMemo = AssignMemo;
  h.Pack = PackMemofile;
  h.Open = OpenMemofile;
  h.Close = CloseMemofile;
  h.CopyMemo = [](uint8_t source, int32_t ref) { return CopyMemo(source, ref, false); };
  h.CopyMemoSame = [](uint8_t source, int32_t ref) { return CopyMemo(source, ref, true); };
  h.Empty = EmptyMemofile;
  h.AddMemo = AddMemo;
}

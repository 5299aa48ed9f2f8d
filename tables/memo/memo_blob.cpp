// Blob descriptors and the blob stream over them.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/byteorder.h"
#include "platform/codepage.h"
#include "tablebase/dbf4.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"
#include "tables/memo/memo.h"
#include "tables/memo/memo_internal.h"

using namespace memo;

namespace {

constexpr size_t kPiece = 32767;

// The memo of the current area's descriptor, null when there is none.
MemoState* CurrentMemo(WorkArea*& a) {
  a = CurrentWorkArea();
  return a ? MemoOf(*a) : nullptr;
}

// Reports a descriptor failure; the descriptor is reset first and a write
// descriptor's lock released.
void BlobError(WorkArea& a, MemoState& m, uint16_t code, int64_t block, const std::string& operation) {
  m.Desc = BlobDescriptor{};
  MemoError(a, code, IntText(block) + " " + MemoName(a) + " Record # " + IntText(a.RecNo) + " [" + operation + "]");
}

// Text for the OEM conversion: every byte printable or one of the control
// characters that text holds.
bool LooksLikeText(const char* data, size_t len) {
  return std::all_of(data, data + len, [](char c) {
    const uint8_t b = uint8_t(c);
    return b >= 32 || b == 9 || b == 10 || b == 13 || b == 15 || b == 20 || b == 21;
  });
}

void DecideConversion(BlobDescriptor& d, const char* data, size_t len) {
  if (d.Conversion == -1 && len > 0) d.Conversion = LooksLikeText(data, len) ? 1 : 0;
}

// The length of a dBASE III text memo: up to its first 0x1A or the end of
// the file. -1 after a read failure.
int64_t FindTextEnd(MemoState& m) {
  std::string text;
  if (ReadTextToEndMark(m, m.Desc.DataStart, text) != 0) return -1;
  return int64_t(text.size());
}

int32_t ClampToInt32(int64_t v) { return int32_t(std::clamp<int64_t>(v, 0, INT32_MAX)); }

}  // namespace

int32_t CreateBlobDescriptor(bool convert, int32_t ref, BlobMode mode) {
  LastErrorCode() = 0;
  WorkArea* a = CheckMemoField("CreateBlobDescriptor");
  if (!a) return 0;
  MemoState& m = *MemoOf(*a);
  const int64_t block = ref < 0 ? -int64_t(ref) : ref;
  // A write stream holds the lock and the end of the file until it is done.
  if (m.Desc.Active && m.Desc.Mode == kBlobWrite) {
    SetError(1017, IntText(block) + " " + MemoName(*a) + " Record # " + IntText(a->RecNo) + " [CreateBlobDescriptor]");
    return 0;
  }
  BlobDescriptor d;
  if (++m.LastSerial == 0) ++m.LastSerial;
  d.Serial = m.LastSerial;
  d.Conversion = convert ? -1 : 0;
  d.Mode = mode;
  d.Block = int32_t(block);
  m.Desc = BlobDescriptor{};
  if (mode == kBlobRead) {
    if (block == 0) {
      d.Length = 0;  // no memo: an empty stream
    } else {
      if (int rc = ProbeMemo(m, block, d.Length)) {
        BlobError(*a, m, uint16_t(rc), block, "CreateBlobDescriptor");
        return 0;
      }
      d.DataStart = BlockPos(m, block);
      if (d.Length >= 0) {
        d.HeaderSize = uint32_t(kMemoHeaderBytes);
        d.DataStart += kMemoHeaderBytes;
      }
    }
  } else {
    const int64_t pos = LockMemoPadAndSeekEOF(*a, m, "CreateBlobDescriptor");
    if (pos == 0) return 0;
    int64_t at = pos / m.BlockSize;
    if (m.Kind() == Flavour::Dbase4) {
      // The size is not known yet: the memo goes to the end of the file.
      at = AllocBlocks(*a, m, kUnknownSize, " [CreateBlobDescriptor]");
      if (at == 0) return 0;
    }
    d.Block = int32_t(at);
    d.HeaderSize = uint32_t(kMemoHeaderBytes);
    d.DataStart = BlockPos(m, at) + kMemoHeaderBytes;
  }
  d.Active = true;
  m.Desc = d;
  if (block == 0 && mode == kBlobRead) return 0;
  return m.Kind() == Flavour::Dbase3 && mode == kBlobWrite ? -d.Block : d.Block;
}

int32_t ReadBlob(void* buffer, int32_t count) {
  WorkArea* a = nullptr;
  MemoState* m = CurrentMemo(a);
  if (!m || !m->Desc.Active || m->Desc.Mode != kBlobRead || count < 1) return 0;
  BlobDescriptor& d = m->Desc;
  // The end of the file cuts the count short through the reads themselves.
  int64_t want = count;
  if (d.Length >= 0) want = std::min(want, d.Length - d.Position);
  char* out = static_cast<char*>(buffer);
  int64_t done = 0;
  // A text that ends at its 0x1A is read a block at first, then in growing
  // pieces, so that a short memo costs no more than its own blocks however
  // large the buffer.
  size_t textPiece = 512;
  while (done < want) {
    size_t piece = size_t(std::min<int64_t>(want - done, int64_t(kPiece)));
    if (d.Length < 0) {
      piece = std::min(piece, textPiece);
      textPiece = std::min(textPiece * 2, kPiece);
    }
    size_t got = 0;
    if (int rc = m->File.ReadAtMapped(d.DataStart + d.Position + done, out + done, piece, &got)) {
      BlobError(*a, *m, uint16_t(rc), d.Block, "ReadBlobStream");
      return 0;
    }
    if (got == 0) break;
    bool ended = false;
    if (d.Length < 0) {
      const char* end = std::find(out + done, out + done + got, '\x1A');
      if (end != out + done + got) {
        got = size_t(end - (out + done));
        d.Length = d.Position + done + int64_t(got);
        ended = true;
      }
    }
    TranslateWindows(a->ReadXlat, out + done, got, d.Position + done);
    DecideConversion(d, out + done, got);
    if (d.Conversion == 1)
      for (size_t i = 0; i < got; ++i) out[done + int64_t(i)] = plat::OemToAnsiChar(out[done + int64_t(i)]);
    done += int64_t(got);
    if (ended || got < piece) break;
  }
  d.Position += done;
  return int32_t(done);
}

int32_t WriteBlob(const void* buffer, int32_t count) {
  WorkArea* a = nullptr;
  MemoState* m = CurrentMemo(a);
  if (!m || !m->Desc.Active || m->Desc.Mode != kBlobWrite || count < 1) return 0;
  BlobDescriptor& d = m->Desc;
  // The caller's bytes stay as they are: conversion works on a copy.
  std::string piece;
  const char* in = static_cast<const char*>(buffer);
  for (int64_t done = 0; done < count;) {
    const size_t n = size_t(std::min<int64_t>(count - done, int64_t(kPiece)));
    piece.assign(in + done, n);
    DecideConversion(d, piece.data(), n);
    if (d.Conversion == 1)
      for (char& c : piece) c = plat::AnsiToOemChar(c);
    TranslateWindows(a->WriteXlat, piece.data(), n, d.Position + done);
    if (int rc = m->File.WriteAt(d.DataStart + d.Position + done, piece.data(), n)) {
      BlobError(*a, *m, uint16_t(rc), d.Block, "WriteBlobStream");
      return 0;
    }
    done += int64_t(n);
  }
  d.Position += count;
  d.Written = std::max(d.Written, d.Position);
  return count;
}

int32_t SeekBlob(int32_t offset, uint16_t origin) {
  WorkArea* a = nullptr;
  MemoState* m = CurrentMemo(a);
  if (!m || !m->Desc.Active || m->Desc.Block == 0 || m->Desc.Mode == kBlobNone) return 0;
  BlobDescriptor& d = m->Desc;
  int64_t p = d.Position;
  switch (origin) {
    case 0:
      p = offset;
      break;
    case 1:
      p = d.Position + offset;
      break;
    case 2:
      if (d.Mode == kBlobWrite) {
        // A memo being written ends where its data does.
        p = d.Written + offset;
      } else {
        if (d.Length < 0) {
          const int64_t length = FindTextEnd(*m);
          if (length < 0) {
            BlobError(*a, *m, 30, d.Block, "ReadBlobStream");
            return 0;
          }
          d.Length = length;
        }
        p = d.Length + offset;
      }
      break;
    default:
      break;
  }
  d.Position = std::clamp<int64_t>(p, 0, INT32_MAX);
  return ClampToInt32(d.Position);
}

void DestroyBlobDescriptor() {
  WorkArea* a = CheckMemoField("DestroyBlobDescriptor");
  if (!a) return;
  MemoState& m = *MemoOf(*a);
  const BlobDescriptor d = m.Desc;
  m.Desc = BlobDescriptor{};
  if (!d.Active || d.Mode != kBlobWrite) return;
  if (d.Written > 0 && WriteGroupHeader(m, d.Block, uint32_t(std::min<int64_t>(d.Written, INT32_MAX))) != 0) {
    MemoError(*a, 29, MemoName(*a) + " [WriteGroupHeader()]");
    return;
  }
  // Other programs append by the header: it must tell where the new memo
  // ends before the lock is released.
  if (FlushMemo(*a, m)) UpdateMemoHeader(*a, m);
}

uint32_t BlobDescriptorSerial() {
  WorkArea* a = nullptr;
  MemoState* m = CurrentMemo(a);
  return m && m->Desc.Active ? m->Desc.Serial : 0;
}

// --- The stream --------------------------------------------------------------

TTzBlobStream::TTzBlobStream(TTzBlobDataSet& DataSet, int FieldNo, TBlobStreamMode Mode, bool Convert)
    : dataSet_(DataSet), fieldNo_(FieldNo), mode_(Mode) {
  dataSet_.DirectOpenClose(true);
  try {
    dataSet_.SelectArea("CreateBlobStream");
    if (fieldNo_ <= 0) return;
    const int32_t ref = dataSet_.BlobReference(fieldNo_);
    if (mode_ == TBlobStreamMode::bmRead) {
      // An empty table has no record whose reference could be read.
      CreateBlobDescriptor(Convert, dEOF() && dBOF() ? 0 : ref, kBlobRead);
    } else {
      oldRef_ = ref;
      const int32_t newRef = CreateBlobDescriptor(Convert, ref, kBlobWrite);
      if (LastErrorCode() == 0) dataSet_.SetBlobReference(fieldNo_, newRef);
    }
    if (LastErrorCode() == 0) serial_ = BlobDescriptorSerial();
  } catch (...) {
    dataSet_.DirectOpenClose(false);
    throw;
  }
}

bool TTzBlobStream::Owns() const { return serial_ != 0 && BlobDescriptorSerial() == serial_; }

int32_t TTzBlobStream::Read(void* Buffer, int32_t Count) {
  dataSet_.SelectArea("ReadBlobStream");
  return Owns() ? ReadBlob(Buffer, Count) : 0;
}

int32_t TTzBlobStream::Write(const void* Buffer, int32_t Count) {
  dataSet_.SelectArea("WriteBlobStream");
  const int32_t n = Owns() ? WriteBlob(Buffer, Count) : 0;
  if (n > 0) modified_ = written_ = true;
  return n;
}

int32_t TTzBlobStream::Seek(int32_t Offset, uint16_t Origin) {
  dataSet_.SelectArea("SeekBlobStream");
  return Owns() ? SeekBlob(Offset, Origin) : 0;
}

TTzBlobStream::~TTzBlobStream() {
  try {
    dataSet_.SelectArea("DestroyBlobStream");
    if (fieldNo_ > 0) {
      const bool owns = Owns();
      if (mode_ != TBlobStreamMode::bmRead) {
        if (!owns) {
          // The memo was lost to an error on the way: the old one stays.
          if (serial_ != 0) dataSet_.SetBlobReference(fieldNo_, oldRef_);
        } else if (mode_ == TBlobStreamMode::bmWrite) {
          // A write stream closed without data empties the field.
          if (!written_ && dataSet_.BlobReference(fieldNo_) != 0) {
            dataSet_.SetBlobReference(fieldNo_, 0);
            modified_ = true;
          }
          dataSet_.EditIntoEngine();
        } else if (!written_) {
          dataSet_.SetBlobReference(fieldNo_, oldRef_);
        }
      }
      if (owns) DestroyBlobDescriptor();
    }
    if (modified_) dataSet_.BlobFieldChanged(fieldNo_);
    dataSet_.DirectOpenClose(false);
  } catch (const std::exception&) {
    // An engine error, or the dataset's (its area closed under the
    // stream): recorded in LastErrorCode; a destructor cannot pass it on.
  }
}

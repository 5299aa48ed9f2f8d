// The DBF file layer: header dialects, field descriptors, record I/O and
// the header update, for one work-area record at a time. It knows nothing
// of the current area, filters or indexes (dbf4 does). Every routine leaves
// its result in LastErrorCode (0 = done) and reports failures through
// SetError with a message naming the routine in brackets.
//
// On-disk layout (all numbers little-endian):
//   0x02 dBASE II: 521-byte header, 16-byte descriptors from offset 8.
//   0x03 dBASE III/IV, 0x83 III + DBT memo, 0x8B IV + DBT memo,
//   0xF5 FoxPro + FPT memo: 32-byte prolog, 32-byte descriptors, 0x0D.
//   0x04 level 7, 0x8C level 7 + DBT memo: 68-byte prolog, 48-byte
//   descriptors, 0x0D.
// Records follow the header: a deletion byte ("*" deleted, " " not) and
// the fields in descriptor order without gaps.
#pragma once
#include <bitset>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/pfile.h"
#include "tablebase/dbf4_area.h"

// Prolog offsets.
constexpr int kPrologSize = 32;
constexpr int kLevel7PrologSize = 68;
constexpr int kDbf2HeaderSize = 521;
constexpr int kTableFlagsOffset = 28;

// --- Dialects -----------------------------------------------------------

// The seven version bytes, plus ExtraVersionNoMemo/ExtraVersionMemo when
// they are non-zero.
bool IsValidVersionByte(uint8_t v);
// The dialect tests of an opened area. Each is false while an extra version
// setting is non-zero (every table then has the dBASE III layout).
bool IsDbase2(const WorkArea& a);
bool IsLevel7(const WorkArea& a);
bool IsVersion30(const WorkArea& a);
bool Version30HasMemo(const WorkArea& a);
// "FPT" for 0xF5 and 0x30 (an invalid byte counts as DefaultVersionByte),
// else "DBT".
std::string MemoExtension(uint8_t version);
// The name of a new memo file beside `tableName`: its extension replaced by
// MemoExtension(version) in the letter case of the table's extension,
// letter by letter ("t.dbf" -> "t.dbt"), upper case where the table's
// extension has no letter to follow. Readers on Linux look for the memo
// file in the table's own letter case.
std::string MemoFileName(const std::string& tableName, uint8_t version);

// --- Open ---------------------------------------------------------------

// Opens a.FileName (default extension DBF added and stored back) in mode
// a.OpenMode and reads its header into the record: fields, counts, record
// buffer, write state 1, positioned at record 1 (an empty table at 0 with
// BOF and EOF). On any failure the file is closed and the buffers freed.
// Damaged layouts are refused: a record length below 1 + the sum of the
// field widths is error 210, a header longer than the file error 100 (its
// descriptors cannot be read). A record count the file size contradicts is
// accepted; reads past the end fail with 213.
void OpenDbf(WorkArea& a);
void ReadDbfProlog(WorkArea& a, int64_t fileSize);
void ReadDbfHeader(WorkArea& a);
void ReadDbf2Header(WorkArea& a, int64_t fileSize);
// Decodes one descriptor (16, 32 or 48 bytes by dialect) into `f`; `pos`
// is the running record position, advanced by the field length. False (and
// error 211 recorded, not reported) for an unknown field type.
bool ReadFieldDescriptor(const WorkArea& a, const uint8_t* d, FieldEntry& f, uint16_t& pos);

// --- Create -------------------------------------------------------------

// Writes a new table `name` (default extension DBF; an existing file is
// replaced) with `fields` (positions ignored) and, when a field is a memo,
// its empty memo file. The caller's entries receive the normalised
// definitions (upper-case trimmed names, fixed lengths, cleared decimals,
// type letters upper-cased). `scratch` is a work-area record the routine
// may overwrite. No field, more than 255 fields, or an invalid definition:
// error 211, and no file is written.
void CreateDbf(WorkArea& scratch, const std::string& name, std::vector<FieldEntry>& fields);
// Writes an empty memo file for a table of `version` with `blockSize`; an
// existing file is replaced. Failures name `tag` in brackets.
void CreateTableMemoFile(const std::string& name, uint8_t version, uint16_t blockSize,
                         const std::string& tag = "CreateDbf()");

// --- Records ------------------------------------------------------------

// Reads record `recno` (1..count) into the record buffer, translated to the
// in-memory form; error 212 out of range, 213 for a short read.
void GetDbfRecord(WorkArea& a, int32_t recno);
// Hints that record `recno` will be read soon, so that its bytes come in
// from the table's mapping meanwhile: for walks whose next records are
// known ahead (key order). Does nothing for an in-memory table or a number
// out of range.
void PrefetchDbfRecord(const WorkArea& a, int32_t recno);
// Writes the record buffer as record `recno`; above the count it appends
// as count + 1. Record numbers below 1 are refused (error 212).
void PutDbfRecord(WorkArea& a, int32_t recno);
void AppendDbfRecord(WorkArea& a);
// Writes only the deletion byte (record buffer byte 0) of record `recno`.
void WriteDeletionFlag(WorkArea& a, int32_t recno);
// Rewrites record `recno` from the typed buffer `typed`: the fields and the
// deletion flag whose typed value differs from the record buffer (the
// record as this area last read or wrote it) are written over the record
// as the file holds it now; every other field keeps the bytes stored now,
// so that another program's change since the read survives, and so do
// values the typed form cannot hold. A number or logical field whose bytes
// stored now hold no value of its type is written when NoValueFields names
// it. When the record buffer holds no such record (RecAsRead false) every
// field and the flag are written. `onStored`, when set, runs while the
// record buffer holds the record as stored now (the index layer takes the
// old keys there); an error it leaves stops the rewrite. After a write the
// record buffer holds the record as written and `typed` what UnpackRecord
// makes of it; after a failure both are as they were.
void RewriteDbfRecord(WorkArea& a, int32_t recno, char* typed, void (*onStored)() = nullptr);

// --- Header and close ---------------------------------------------------

// Rewrites the header with today's date and the record count, keeping
// bytes 16..27 as the file holds them.
void WriteDbfHeader(WorkArea& a);
// For a changed or appended table: header, end-of-file byte after appends,
// write state back to clean, flush.
void CommitDbf(WorkArea& a);
// Header update, end-of-file byte, close; frees the buffers and fields.
void CloseDbf(WorkArea& a);
void ClearFlushAfterWrite();
// FlushFileBuffers; failure is reported ("Unable to flush file [FlushFile]").
void FlushFile(plat::File& f);

// --- Translation and the typed buffer -----------------------------------

// Translates `size / recLen` records in `buf` (the bytes after each
// deletion byte) towards the file (user translator after ANSI->OEM) or
// from the file (user translator, then OEM->ANSI).
void TranslateRecords(bool toFile, bool oem, const RecordTranslator& proc, size_t size, uint16_t recLen,
                      char* buf);
// TranslateRecords, with what every record read and write meets decided in
// line: nothing to do without translators, nor for one OEM record of
// plain ASCII, which both code pages hold alike.
inline void TranslateRecord(bool toFile, bool oem, const RecordTranslator& proc, size_t size, uint16_t recLen,
                            char* buf) {
  if (!proc && (!oem || (size == recLen && recLen > 0 && plat::IsAscii(buf + 1, recLen - 1U)))) return;
  TranslateRecords(toFile, oem, proc, size, recLen, buf);
}
// Size of one field's slot in the typed buffer ("C": len + 1, "D": 11,
// "N"/"F": 8 with decimals else 4, "L": 1, "M": 4).
uint16_t TypedFieldSize(const FieldEntry& f);
// Fills a.TypedOffsets; returns 1 + the sum of the slot sizes (0 when that
// does not fit 16 bits).
uint32_t LayoutTypedRecord(WorkArea& a);
// Record buffer -> typed buffer, and back.
void UnpackRecord(WorkArea& a, char* typed);
// UnpackRecord of the deleted flag and of the fields in `which` (by index
// from 0) alone.
void UnpackFields(WorkArea& a, char* typed, const std::bitset<256>& which);
// The fields (by index from 0) whose value in the typed buffer `typed`
// differs from what the record buffer holds and packs to other bytes than
// it holds: each is unpacked into the same slot of `scratch` (a typed
// buffer's room) and packed into `packed` (a record's room) to be
// compared. A text slot's value ends at its length byte.
std::bitset<256> ChangedFields(WorkArea& a, const char* typed, char* scratch, char* packed);
// The number and logical fields whose bytes in record image `read` hold no
// value of their type (stars, letters, a blank number, "?") while their
// slot in `typed` is 0 or false, and whose bytes in `now` are still those:
// such bytes read as 0 or false, so the slot is no sign that the field was
// left alone, unless another program has written the field since.
std::bitset<256> NoValueFields(WorkArea& a, const char* typed, const char* read, const char* now);
// The memo reference that memo field `i` (from 0) holds in record image
// `rec`; 0 for any other field.
int32_t StoredMemoRef(const WorkArea& a, size_t i, const char* rec);
void PackRecord(WorkArea& a, const char* typed);
// PackRecord of field `i` (from 0) alone, into record image `rec` (the
// record buffer when null); the deletion byte and the other fields are
// left as they are.
void PackField(WorkArea& a, size_t i, const char* typed, char* rec = nullptr);

// --- Small routines -----------------------------------------------------

std::string FileBaseName(const std::string& path);  // at most 64 characters
std::string FileNameOnly(const std::string& path);  // at most 128 characters
uint32_t Swap32(uint32_t v);
uint16_t Swap16(uint16_t v);
std::string ZeroPad2(int n);
std::string ZeroPad4(int n);

// MDX index files: up to 47 tags (orders) of one table in one file, each a
// B-tree of fixed-length keys made by an xBase key expression and an
// optional FOR condition. The file is shared byte for byte with the sibling
// programs, which open it at the same time.
//
// The work-area layer reaches the open index only through the index hooks
// (InstallIndexHooks fills them): navigation in key order, keeping every
// tag's keys in step with appends and replaces, closing with the area. The
// dataset layer calls the routines below directly. Every routine acts on
// the current work area and reports failures through SetError, so that with
// automatic error handling off they are only recorded, never raised: the
// table component reads the code to build a missing or damaged index, or
// to go on without an index file that was deleted. The codes are 2 (file
// not found), 217 (memory), 220 (bad order), 221 (index not open), 222
// (damaged index or key expression), 212 (key missing from a tag), 254
// (internal), 266 (key length), 225/227/300 (build), 1202 (semaphore) and
// the I/O codes.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One tag to build. A list of them ends at the first entry with an empty
// name.
struct TIndexTagSpec {
  std::string TagName;  // at most 10 characters
  std::string KeyExpr;  // at most 220 characters
  std::string ForExpr;  // at most 220 characters; empty: every record
  uint8_t Descending = 0;
  uint8_t Unique = 0;
};

// --- Opening and closing ------------------------------------------------

// Opens an index file for the current area; an empty name opens the
// table's own (the table's name with the extension MDX). A name without
// extension gets ".MDX"; a name without a directory is taken from the
// table's directory. Closes the area's index first. True when open; tag 1
// then controls the order.
bool SetIndexTo(const std::string& name);
// Closes the current area's index file, writing changed tag anchors and the
// header. Failures are only recorded (LastErrorCode), never raised.
void CloseIndex();
// Clears `lines` and, when the index file exists, adds two lines per tag:
// "NAME,D,U,key expression" (D and U "T" or "F" for descending and
// unique) and the FOR expression (empty when none), all as stored.
void ReadIndexTagList(std::vector<std::string>& lines, const std::string& name);

// --- Building ------------------------------------------------------------

// Writes a new index file (replacing an existing one) with one tag for each
// entry of `specs`; the file is left closed. True when every tag was built.
// A tag that fails is left out and the others are built, however errors
// travel: the first failure is reported (recorded, raised or halting) once
// the file is complete. The new file takes the old one's place only when
// whole, so a build stopped at any point leaves the old index as it was.
// A table open shared is reopened exclusive for the build when another
// program holds the old index open.
bool MakeIndex(const std::vector<TIndexTagSpec>& specs, const std::string& name);
// Builds one tag into the area's index file (the one MakeIndex is writing
// or the open one) and enters it in the tag table, replacing a tag of the
// same name. REQUIRES: an index file open in the current area.
bool AddIndexTag(const TIndexTagSpec& spec);
// Rebuilds every tag of the open index from its own definition and selects
// the same order again. After SetIndexTo refused an index for the mark of
// an update that was cut off (222), rebuilds that file from the tag
// headers it holds and opens it.
void Reindex();
// Calls `step` `steps` times in all during each following build (nullptr, 0:
// none).
void SetIndexProgress(std::function<void()> step, int steps);

// --- Order and search ----------------------------------------------------

// 0: natural (record-number) order, the tags stay open; 1..n: that tag.
void Set_Order_To(int order);
// The first tag whose name begins with `name` (case ignored, at most 10
// characters); an empty name selects natural order.
void SetOrderToTag(const std::string& name);
// Number of the controlling tag; 0 in natural order or without an index.
int CurrentOrder();
// Seeks `key` (a key text: characters, a number, or a date in the current
// picture) in the controlling tag. A character key finds the first key
// that begins with it, or with the exact-match switch on the key itself.
// Found: the area stands on the record and the answer (also
// IndexFound()) is true. Not found: the area stands at end of file.
bool Find(const std::string& key);
// The found flag of the last search or positioning in key order.
bool IndexFound();
// The exact-match switch of Find; each returns the previous value.
bool SetExactMatch();
bool ClearExactMatch();
// Positions the controlling tag on the current record (after the index
// may have changed under it); error 212 when the record's key is missing.
void SoftSyncIndex();
// Positions the controlling tag (or every tag) on the current record.
void SyncIndex(bool everyTag = false);

// Fills the engine's index hooks and sets their linked flag. Called from
// the tables layer's start-up (TablesStartup).
void InstallIndexHooks();

// In-memory record lists ("virtual files"): a work area opened with USE
// "... VIRTUAL FILE" or "... LINKED LIST" keeps its records in a doubly
// linked list of nodes instead of a table file. The work-area layer never
// calls this unit directly: it stores an operation (VFileOp) in the area
// and calls the virtual-file hook, which VFilesInstall points at
// VFileDispatch.
//
// The list lives in the area's anchors (VFirst, VLast, VCurrent) between
// calls. A dispatch works on the area itself, so a dispatch that re-enters
// the work-area layer finds the anchors as they stand.
//
// Records are RecLen bytes, the deletion flag (1 deleted, 0 not) first.
// RecLen 0 means variable-length records: the buffer starts with a 16-bit
// length (host order) and a record occupies that length + 2 bytes, the
// deletion flag being the byte after the length. The buffer of such a list
// holds TypedSize bytes when the opener sets it after USE (USE itself is
// given size 0), else 65535; longer records are refused.
//
// New records enter the list by the area's VMode: 0 after the last, 1
// before the first, 2 before the current record, 3 and 4 in ascending and
// descending order of the area's KeyMaker (which makes the key of the
// record in the buffer, compared as bytes).
#pragma once
#include <cstdint>

#include "tablebase/dbf4_area.h"

struct VNode {
  VNode* Prev;
  VNode* Next;
  uint16_t Size;  // bytes of Data
  char* Data;
};

// Performs area.VOp (other values do nothing). LastErrorCode is 0 on
// success; failures: 212 (read outside 1..count), 1100 (invalid mode, a
// sorted list without key maker: the list is left unchanged), 1102 (a
// variable-length record the buffer cannot hold: refused, the list is left
// unchanged).
void VFileDispatch(WorkArea& area);
// Points the engine's virtual-file hook at VFileDispatch (engine start-up).
void VFilesInstall();

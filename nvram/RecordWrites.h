/** @file
  The record writers that a write of a variable and a compaction share, as
  the variable driver's UpdateVariable makes them: a new record laid out,
  the old ones retired (RecordWrites.cpp).
**/

#ifndef NVRAM_RECORD_WRITES_H_
#define NVRAM_RECORD_WRITES_H_

#include "nvram/VariableParsing.h"
#include "nvram/WritePlanInternal.h"

///
/// A record to write, from the arguments of a SetVariable call.
///
typedef struct {
  const UCS2_CHAR *Name;
  UINTN            NameSize; ///< In bytes, with the NUL.
  const EFI_GUID  *VendorGuid;
  UINT32           Attributes;
  const VOID      *Data;
  UINTN            DataSize;
} NVRAM_NEW_RECORD;

/**
  Builds the header of a new record in State, as UpdateVariable fills it in.

  @param[in] New    The record.
  @param[in] State  Its State byte.
**/
NVRAM_VARIABLE_HEADER
NvramNewRecordHeader (const NVRAM_NEW_RECORD *New, UINT8 State);

/**
  Lays a new record out at At as UpdateVariable builds it: no authentication
  data, and the padding to the next record left erased.

  @param[out] At   Where the record goes, with room for its header, name
                   and data.
  @param[in]  New  The record.
**/
VOID NvramWriteRecord (UINT8 *At, const NVRAM_NEW_RECORD *New);

/**
  The first steps of a write or deletion of a variable, as UpdateVariable
  takes them: the variable's other records marked deleted (its
  InDeletedTransitionPtr, and any more that a cut left), each flushed
  before the next write, then its live record marked LiveMask (in
  transition for a write, deleted for a deletion), which the caller's next
  flush orders before anything that relies on it. Each State byte is
  written alone, as the driver writes it. Nothing when the lookup found no
  record.

  @param[in, out] Store     The opened store.
  @param[in, out] Plan      Receives the writes; may be NULL.
  @param[in]      Lookup    The variable's lookup.
  @param[in]      LiveMask  The state the live record is marked with.
**/
VOID NvramRetireRecords (
    NVRAM_STORE        *Store,
    NVRAM_WRITE_PLAN   *Plan,
    const NVRAM_LOOKUP *Lookup,
    UINT8               LiveMask);

// What NvramRetireRecords records: a mark and a flush for each other record, the live one's mark.
static inline NVRAM_ROOM
NvramRetireRoom (const NVRAM_LOOKUP *Lookup)
{
  return { 2 * Lookup->Others + 1, Lookup->Others + 1 };
}

/**
  Writes the State byte of the record at Record with the bits that are 0 in
  Mask cleared, then a flush: the firmware writes each State byte alone, and the next
  write must not reach the disk before it.
**/
VOID NvramMarkRecord (NVRAM_STORE *Store, NVRAM_WRITE_PLAN *Plan, UINTN Record, UINT8 Mask);

#endif

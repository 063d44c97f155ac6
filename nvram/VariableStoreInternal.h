/** @file
  What the files of the variable store library share, and nothing outside
  it uses: the record as the variable driver reads it, the record walk and
  lookup (VariableParsing.cpp), the layout of a new record and the
  compaction (Variable.cpp, Reclaim.cpp), and the checks that open a store
  (StoreChecks.cpp). The fault-tolerant write has a header of its own,
  FtwInternal.h.
**/

#ifndef VARIABLE_STORE_INTERNAL_H_
#define VARIABLE_STORE_INTERNAL_H_

#include "nvram/VariableStore.h"
#include "nvram/VariableStoreFormat.h"

#include <string.h>

#define NVRAM_RECORD_HEADER_SIZE  sizeof (NVRAM_VARIABLE_HEADER)
#define NVRAM_RECORD_STATE_OFFSET offsetof (NVRAM_VARIABLE_HEADER, State)

///
/// One record as the variable driver reads it.
///
typedef struct {
  UINTN    Offset;
  UINT8    State;
  UINT32   Attributes;
  UINTN    NameSize;
  UINTN    DataSize;
  EFI_GUID VendorGuid;
  UINTN    Next;
} NVRAM_RECORD;

typedef enum { NvramRecordFound, NvramRecordsEnd, NvramRecordOverrun } NVRAM_RECORD_READ;

///
/// The result of a lookup (NvramFindRecord): the record the variable driver
/// reads, and how many other records of the variable are added or in
/// transition, which a write retires first.
///
typedef struct {
  BOOLEAN      Found;
  NVRAM_RECORD Live;
  UINTN        Others;
} NVRAM_LOOKUP;

///
/// The room an edit's writes take in a plan, reserved before the first of
/// them so that none can fail for memory.
///
typedef struct {
  UINTN Steps; ///< Writes and flushes.
  UINTN Bytes; ///< The writes' bytes.
} NVRAM_ROOM;

// CompareGuid.
static inline BOOLEAN
IsSameGuid (const EFI_GUID *First, const EFI_GUID *Second)
{
  return memcmp (First, Second, sizeof (EFI_GUID)) == 0;
}

// A record FindVariableEx considers: added, or in transition to deletion.
static inline BOOLEAN
NvramIsLive (const NVRAM_RECORD *Record)
{
  return (Record->State == NVRAM_VAR_ADDED) || (Record->State == NVRAM_VAR_ADDED_IN_TRANSITION);
}

// HEADER_ALIGN: records start on 4-byte boundaries.
static inline UINTN
AlignRecord (UINTN Offset)
{
  return (Offset + NVRAM_HEADER_ALIGNMENT - 1) & ~(UINTN)(NVRAM_HEADER_ALIGNMENT - 1);
}

// IsErasedFlashBuffer: every byte 0xFF, each compared with the next by memcmp, which is fast.
static inline BOOLEAN
NvramIsErased (const UINT8 *Bytes, UINTN Size)
{
  return (Size == 0) ||
         ((Bytes[0] == NVRAM_ERASED_BYTE) && (memcmp (Bytes, Bytes + 1, Size - 1) == 0));
}

// Notes where a check failed, for DescribeNvramStoreCheck to name.
static inline NVRAM_STORE_CHECK
Refuse (NVRAM_STORE *Store, UINTN Offset, NVRAM_STORE_CHECK Check)
{
  Store->CheckOffset = Offset;
  return Check;
}

// Notes why an operation refused, for a caller that wants it.
static inline VOID
NvramNoteRefusal (NVRAM_EDIT *Edit, NVRAM_REFUSAL Refusal)
{
  if (Edit != NULL) {
    Edit->Refusal = Refusal;
  }
}

/**
  Reads the record at Offset, as IsValidVariableHeader, NameSizeOfVariable,
  DataSizeOfVariable and GetNextVariablePtr do together.

  @param[in]  Image   The buffer.
  @param[in]  Offset  Where the record would start.
  @param[in]  End     The end of the store (GetEndPointer).
  @param[out] Record  Receives the record when one is found.

  @retval NvramRecordFound    Record holds it; Record->Next is the next offset.
  @retval NvramRecordsEnd     No record starts at Offset: the walk is over.
  @retval NvramRecordOverrun  A record starts there but runs past End;
                              Record holds its Offset and State.
**/
NVRAM_RECORD_READ
NvramReadRecord (const UINT8 *Image, UINTN Offset, UINTN End, NVRAM_RECORD *Record);

/**
  Tells whether Record is a record of the variable with this name (NameSize
  bytes with the NUL) and vendor GUID.
**/
BOOLEAN
NvramIsRecordOf (
    const UINT8        *Image,
    const NVRAM_RECORD *Record,
    const VOID         *Name,
    UINTN               NameSize,
    const EFI_GUID     *VendorGuid);

/**
  Finds the record of a variable that the variable driver reads after its
  next boot, as FindVariableEx does after the Reclaim that boot may make.

  @param[in]  Store       The opened store.
  @param[in]  Name        The name, as a record holds it.
  @param[in]  NameSize    Its size in bytes with the NUL.
  @param[in]  VendorGuid  The vendor GUID.
  @param[out] Lookup      Receives what was found; Found is FALSE when nothing.
**/
VOID NvramFindRecord (
    const NVRAM_STORE *Store,
    const VOID        *Name,
    UINTN              NameSize,
    const EFI_GUID    *VendorGuid,
    NVRAM_LOOKUP      *Lookup);

/**
  Walks the records to the end of the last one, which becomes the store's
  FreeOffset, notes whether the free space after it is erased, and checks
  that no variable has more live records than an interrupted write leaves.
  A record that is not live and runs past the end of the store, a header
  torn in its sizes, ends the walk, the free space then not erased.

  @retval NvramStoreValid        The records are sound.
  @retval NvramRecordPastEnd     A live record runs past the end of the store.
  @retval NvramRepeatedVariable  A variable has too many live records.
**/
NVRAM_STORE_CHECK
NvramCheckRecords (NVRAM_STORE *Store);

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

/**
  Compacts the store to its live records with a new record at the end, as
  Reclaim does when a write does not fit, and writes the result through the
  fault-tolerant write areas; the store is changed only when the whole
  result fits. A refusal is noted in Edit->Refusal.

  @param[in, out] Store     The opened store.
  @param[in]      Replaced  The lookup of the variable being written, whose
                            live record is marked in transition first.
  @param[in]      New       The new record; the records of its variable
                            are left out.
  @param[in, out] Edit      Receives the writes and the refusal; may be NULL.

  @retval EFI_SUCCESS           The store is compacted, the new record last.
  @retval EFI_OUT_OF_RESOURCES  No memory, no spare area, or the live
                                records and the new one do not fit; the
                                store and the plan are unchanged.
**/
EFI_STATUS
NvramReclaim (
    NVRAM_STORE            *Store,
    const NVRAM_LOOKUP     *Replaced,
    const NVRAM_NEW_RECORD *New,
    NVRAM_EDIT             *Edit);

/**
  Makes room in Plan for Room more steps and bytes, with no step recorded.

  @retval TRUE   Done, or Plan is NULL.
  @retval FALSE  No memory; the plan holds the same steps and bytes.
**/
BOOLEAN
NvramReserveRoom (NVRAM_WRITE_PLAN *Plan, NVRAM_ROOM Room);

/**
  Allocates Size bytes with malloc, unless NvramLimitAllocations makes the
  allocation fail.
**/
VOID *NvramAllocate (UINTN Size);

/**
  Writes Size bytes at Offset of the image, as one write of the firmware to
  its flash, and records it in Plan, within the room reserved. Bytes may lie
  in the image.
**/
VOID NvramWriteBytes (
    NVRAM_STORE      *Store,
    NVRAM_WRITE_PLAN *Plan,
    UINTN             Offset,
    const VOID       *Bytes,
    UINTN             Size);

/**
  Erases Size bytes at Offset, as a block erase leaves them: all 0xFF.
**/
VOID NvramEraseBytes (NVRAM_STORE *Store, NVRAM_WRITE_PLAN *Plan, UINTN Offset, UINTN Size);

/**
  Writes the byte at Offset with the bits that are 0 in Mask cleared: the
  state changes of records and fault-tolerant writes.
**/
VOID NvramWriteState (NVRAM_STORE *Store, NVRAM_WRITE_PLAN *Plan, UINTN Offset, UINT8 Mask);

/**
  Records a flush: no later write may reach the disk before the earlier
  ones, as on flash no write begins before the one before it is done.
**/
VOID NvramFlushWrites (NVRAM_WRITE_PLAN *Plan);

/**
  Checks the firmware volume header, its block map and the padding after
  the volume, and sets the store's VolumeSize.

  @param[in, out] Store   The store being opened: Image and ImageSize set.
  @param[out]     Volume  Receives the volume header.
**/
NVRAM_STORE_CHECK
NvramCheckVolumeHeader (NVRAM_STORE *Store, NVRAM_FV_HEADER *Volume);

/**
  Checks the variable store header that follows the volume header, and sets
  the store's StoreBase, FirstRecord and StoreEnd.
**/
NVRAM_STORE_CHECK
NvramCheckStoreHeader (NVRAM_STORE *Store, const NVRAM_FV_HEADER *Volume);

/**
  Sets the store's MaxVariableSize and Layout from the layout of the file:
  its volume length and the bounds of its store.
**/
VOID NvramFindLayout (NVRAM_STORE *Store);

#endif

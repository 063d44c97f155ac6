/** @file
  The records of a store as the variable driver reads them (its
  VariableParsing.h): a record, the walk over them, the lookup of a
  variable, and the check of the records that opens a store
  (VariableParsing.cpp).
**/

#ifndef NVRAM_VARIABLE_PARSING_H_
#define NVRAM_VARIABLE_PARSING_H_

#include "nvram/StoreCommon.h"

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

///
/// A walk over the records of a store, from the first, as the driver's
/// loops over GetNextVariablePtr make it.
///
typedef struct {
  const NVRAM_STORE *Store;
  UINTN              Next;   ///< Where the next record would start; once over, where it ended.
  NVRAM_RECORD       Record; ///< The record the last step found.
  NVRAM_RECORD_READ  Read;   ///< What the last step found.
} NVRAM_RECORD_WALK;

// A walk from the store's first record, for NvramNextRecord to take.
static inline NVRAM_RECORD_WALK
NvramWalkRecords (const NVRAM_STORE *Store)
{
  return { Store, Store->FirstRecord, {}, NvramRecordsEnd };
}

/**
  Takes the walk's next step: the record at Walk->Next, as
  IsValidVariableHeader, NameSizeOfVariable, DataSizeOfVariable and
  GetNextVariablePtr read it together.

  @param[in, out] Walk  The walk; Read says what the step found: a record
                        (Record holds it, Next the offset after it); no
                        record, which ends the walk; or one that runs past
                        the end of the store, of which Record holds Offset
                        and State.

  @retval TRUE   A record was found.
  @retval FALSE  The walk is over, at Walk->Next.
**/
BOOLEAN
NvramNextRecord (NVRAM_RECORD_WALK *Walk);

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

#endif

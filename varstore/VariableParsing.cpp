/** @file
  The walk of a store's records and the lookup of a variable, as the
  variable driver's VariableParsing.c does them, and the walk that finds
  where the free space starts, as its initialisation does.
**/

#include "varstore/VariableStoreInternal.h"

static const UINT32 mErasedField = 0xFFFFFFFF;

/**
  As in the variable driver, the records end at the first offset without the
  start marker (IsValidVariableHeader), and a record whose header was never
  completed, State or a size still erased, counts as a bare header
  (NameSizeOfVariable and DataSizeOfVariable answer 0).
**/
NVRAM_RECORD_READ
NvramReadRecord (const UINT8 *Image, UINTN Offset, UINTN End, NVRAM_RECORD *Record)
{
  NVRAM_VARIABLE_HEADER Header;
  UINT16                StartId;
  UINTN                 Body;

  if ((Offset >= End) || (End - Offset < sizeof (StartId))) {
    return NvramRecordsEnd;
  }

  memcpy (&StartId, Image + Offset, sizeof (StartId));
  if (StartId != NVRAM_VARIABLE_DATA) {
    return NvramRecordsEnd;
  }

  if (End - Offset < NVRAM_RECORD_HEADER_SIZE) {
    return NvramRecordOverrun;
  }

  memcpy (&Header, Image + Offset, sizeof (Header));
  Record->Offset     = Offset;
  Record->State      = Header.State;
  Record->Attributes = Header.Attributes;
  Record->NameSize   = Header.NameSize;
  Record->DataSize   = Header.DataSize;
  Record->VendorGuid = Header.VendorGuid;
  if ((Header.State == NVRAM_ERASED_BYTE) || (Header.NameSize == mErasedField) ||
      (Header.DataSize == mErasedField) || (Header.Attributes == mErasedField)) {
    Record->NameSize = 0;
    Record->DataSize = 0;
  }

  Body = Offset + NVRAM_RECORD_HEADER_SIZE;
  if (Record->NameSize + Record->DataSize > End - Body) {
    return NvramRecordOverrun;
  }

  Record->Next = AlignRecord (Body + Record->NameSize + Record->DataSize);
  return NvramRecordFound;
}

// FindVariableEx compares the GUID, then the name over the record's NameSize.
BOOLEAN
NvramIsRecordOf (
    const UINT8        *Image,
    const NVRAM_RECORD *Record,
    const VOID         *Name,
    UINTN               NameSize,
    const EFI_GUID     *VendorGuid)
{
  return (Record->NameSize == NameSize) && IsSameGuid (&Record->VendorGuid, VendorGuid) &&
         (memcmp (Image + Record->Offset + NVRAM_RECORD_HEADER_SIZE, Name, NameSize) == 0);
}

/**
  As FindVariableEx: the first fully added record, or failing that the last
  one still in transition to deletion.
**/
VOID
NvramFindRecord (
    const NVRAM_STORE *Store,
    const UCS2_CHAR   *Name,
    UINTN              NameSize,
    const EFI_GUID    *VendorGuid,
    NVRAM_LOOKUP      *Lookup)
{
  NVRAM_RECORD Record;
  UINTN        Offset;

  memset (Lookup, 0, sizeof (*Lookup));
  for (Offset = Store->FirstRecord;
       NvramReadRecord (Store->Image, Offset, Store->StoreEnd, &Record) == NvramRecordFound;
       Offset = Record.Next) {
    if (((Record.State != NVRAM_VAR_ADDED) && (Record.State != NVRAM_VAR_ADDED_IN_TRANSITION)) ||
        !NvramIsRecordOf (Store->Image, &Record, Name, NameSize, VendorGuid)) {
      continue;
    }

    if (Record.State == NVRAM_VAR_ADDED_IN_TRANSITION) {
      Lookup->HasInDeleted = TRUE;
      Lookup->InDeleted    = Record;
      continue;
    }

    Lookup->Found = TRUE;
    Lookup->Live  = Record;
    return;
  }

  if (Lookup->HasInDeleted) {
    Lookup->Found        = TRUE;
    Lookup->Live         = Lookup->InDeleted;
    Lookup->HasInDeleted = FALSE;
  }
}

static BOOLEAN
IsLive (UINT8 State)
{
  return (State == NVRAM_VAR_ADDED) || (State == NVRAM_VAR_ADDED_IN_TRANSITION);
}

/**
  Refuses a variable with more live records than an interrupted write leaves
  (one in transition to deletion, then the added one). The variable driver
  would read the first added record, or the last in transition, but retire
  only those two and promote the first in transition when it compacts: a
  write could then bring an older value back.
**/
static NVRAM_STORE_CHECK
CheckRepeatedVariables (NVRAM_STORE *Store)
{
  const UINT8 *Image = Store->Image;
  NVRAM_RECORD Record;
  NVRAM_RECORD Earlier;

  for (UINTN Offset = Store->FirstRecord; Offset < Store->FreeOffset; Offset = Record.Next) {
    NvramReadRecord (Image, Offset, Store->StoreEnd, &Record);
    if (!IsLive (Record.State)) {
      continue;
    }

    for (UINTN Before = Store->FirstRecord; Before < Offset; Before = Earlier.Next) {
      NvramReadRecord (Image, Before, Store->StoreEnd, &Earlier);
      if (IsLive (Earlier.State) &&
          NvramIsRecordOf (
              Image, &Earlier, Image + Offset + NVRAM_RECORD_HEADER_SIZE, Record.NameSize,
              &Record.VendorGuid) &&
          ((Earlier.State != NVRAM_VAR_ADDED_IN_TRANSITION) || (Record.State != NVRAM_VAR_ADDED))) {
        return Refuse (Store, Offset, NvramRepeatedVariable);
      }
    }
  }

  return NvramStoreValid;
}

/**
  The walk with which InitNonVolatileVariableStore finds the last variable
  offset, and the check of the free space after it that
  VariableWriteServiceInitialize makes. The driver reclaims a store whose
  free space is not erased; that is its repair to make, so the file is
  refused instead. Then the check of repeated variables.
**/
NVRAM_STORE_CHECK
NvramCheckRecords (NVRAM_STORE *Store)
{
  NVRAM_RECORD      Record;
  NVRAM_RECORD_READ Read;
  UINTN             Offset;

  for (Offset = Store->FirstRecord;
       (Read = NvramReadRecord (Store->Image, Offset, Store->StoreEnd, &Record)) ==
       NvramRecordFound;
       Offset = Record.Next) {
  }

  if (Read == NvramRecordOverrun) {
    return Refuse (Store, Offset, NvramRecordPastEnd);
  }

  Store->FreeOffset = Offset;
  for (; Offset < Store->StoreEnd; Offset++) {
    if (Store->Image[Offset] != NVRAM_ERASED_BYTE) {
      return Refuse (Store, Offset, NvramFreeSpaceNotErased);
    }
  }

  return CheckRepeatedVariables (Store);
}

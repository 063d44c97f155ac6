/** @file
  The walk of a store's records and the lookup of a variable, as the
  variable driver's VariableParsing.c does them, and the walk that finds
  where the free space starts, as its initialisation does.
**/

#include "nvram/FtwInternal.h"

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

/**
  Refuses a variable with two added records, which no interrupted write
  leaves: the variable driver reads the first, while a write retires only
  that one and so brings the other back. Records in transition may repeat
  (each interrupted write of a variable that already had one leaves another),
  and the lookup and the compaction both keep the last of them.
**/
static NVRAM_STORE_CHECK
CheckRepeatedVariables (NVRAM_STORE *Store)
{
  const UINT8 *Image = Store->Image;
  NVRAM_RECORD Record;
  NVRAM_RECORD Earlier;

  for (UINTN Offset = Store->FirstRecord; Offset < Store->FreeOffset; Offset = Record.Next) {
    NvramReadRecord (Image, Offset, Store->StoreEnd, &Record);
    if (Record.State != NVRAM_VAR_ADDED) {
      continue;
    }

    for (UINTN Before = Store->FirstRecord; Before < Offset; Before = Earlier.Next) {
      NvramReadRecord (Image, Before, Store->StoreEnd, &Earlier);
      if ((Earlier.State == NVRAM_VAR_ADDED) &&
          NvramIsRecordOf (
              Image, &Earlier, Image + Offset + NVRAM_RECORD_HEADER_SIZE, Record.NameSize,
              &Record.VendorGuid)) {
        return Refuse (Store, Offset, NvramRepeatedVariable);
      }
    }
  }

  return NvramStoreValid;
}

/**
  The walk with which InitNonVolatileVariableStore finds the last variable
  offset, and the check of the free space after it that
  VariableWriteServiceInitialize makes: a write cut short leaves bytes there,
  and the driver compacts the store before it writes again. Then the check
  of repeated variables.
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

  Store->FreeOffset      = Offset;
  Store->FreeSpaceErased = NvramIsErased (Store->Image + Offset, Store->StoreEnd - Offset);

  return CheckRepeatedVariables (Store);
}

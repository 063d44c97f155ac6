/** @file
  The walk of a store's records and the lookup of a variable, as the
  variable driver's VariableParsing.c does them, and the walk that finds
  where the free space starts, as its initialisation does.
**/

#include "nvram/VariableParsing.h"

static const UINT32 mErasedField = 0xFFFFFFFF;

/**
  As in the variable driver, the records end at the first offset without the
  start marker (IsValidVariableHeader), and a record whose header was never
  completed, State or a size still erased, counts as a bare header
  (NameSizeOfVariable and DataSizeOfVariable answer 0). A record that runs
  past End is reported with its Offset and State, which fit the store.
**/
static NVRAM_RECORD_READ
ReadRecord (const UINT8 *Image, UINTN Offset, UINTN End, NVRAM_RECORD *Record)
{
  NVRAM_VARIABLE_HEADER Header;
  UINT16                StartId;
  UINTN                 Body;

  if ((Offset >= End) || (End - Offset <= NVRAM_RECORD_STATE_OFFSET)) {
    return NvramRecordsEnd;
  }

  memcpy (&StartId, Image + Offset, sizeof (StartId));
  if (StartId != NVRAM_VARIABLE_DATA) {
    return NvramRecordsEnd;
  }

  Record->Offset = Offset;
  Record->State  = Image[Offset + NVRAM_RECORD_STATE_OFFSET];
  if (End - Offset < NVRAM_RECORD_HEADER_SIZE) {
    return NvramRecordOverrun;
  }

  memcpy (&Header, Image + Offset, sizeof (Header));
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

BOOLEAN
NvramNextRecord (NVRAM_RECORD_WALK *Walk)
{
  const NVRAM_STORE *Store = Walk->Store;

  Walk->Read = ReadRecord (Store->Image, Walk->Next, Store->StoreEnd, &Walk->Record);
  if (Walk->Read != NvramRecordFound) {
    return FALSE;
  }

  Walk->Next = Walk->Record.Next;
  return TRUE;
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
  What the variable driver reads after its next boot: FindVariableEx's first
  added record; failing that, of the records in transition, the first when
  the free space is not erased, since VariableWriteServiceInitialize then
  runs Reclaim at boot, which promotes the first and drops its later twins;
  else the last, which FindVariableEx itself returns.
**/
VOID
NvramFindRecord (
    const NVRAM_STORE *Store,
    const VOID        *Name,
    UINTN              NameSize,
    const EFI_GUID    *VendorGuid,
    NVRAM_LOOKUP      *Lookup)
{
  BOOLEAN Added = FALSE;
  UINTN   Count = 0;

  memset (Lookup, 0, sizeof (*Lookup));
  for (NVRAM_RECORD_WALK Walk = NvramWalkRecords (Store); NvramNextRecord (&Walk);) {
    const NVRAM_RECORD *Record = &Walk.Record;

    if (!NvramIsLive (Record) ||
        !NvramIsRecordOf (Store->Image, Record, Name, NameSize, VendorGuid)) {
      continue;
    }

    Count++;
    if (!Added &&
        ((Record->State == NVRAM_VAR_ADDED) || !Lookup->Found || Store->FreeSpaceErased)) {
      Added         = (Record->State == NVRAM_VAR_ADDED);
      Lookup->Found = TRUE;
      Lookup->Live  = *Record;
    }
  }

  Lookup->Others = Count - (Lookup->Found ? 1 : 0);
}

/**
  Refuses a variable with two added records, which no interrupted write
  leaves: the variable driver reads the first, while a write retires only
  that one and so brings the other back. Records in transition may repeat
  (a cut of the firmware's own update, or of an older writer, leaves them);
  the lookup, the compaction and the retiral of the others before a write
  all take the same one of them (NvramFindRecord).
**/
static NVRAM_STORE_CHECK
CheckRepeatedVariables (NVRAM_STORE *Store)
{
  const UINT8 *Image = Store->Image;

  for (NVRAM_RECORD_WALK Walk = NvramWalkRecords (Store); NvramNextRecord (&Walk);) {
    const NVRAM_RECORD *Record = &Walk.Record;

    if (Record->State != NVRAM_VAR_ADDED) {
      continue;
    }

    for (NVRAM_RECORD_WALK Before = NvramWalkRecords (Store);
         NvramNextRecord (&Before) && (Before.Record.Offset < Record->Offset);) {
      if ((Before.Record.State == NVRAM_VAR_ADDED) &&
          NvramIsRecordOf (
              Image, &Before.Record, Image + Record->Offset + NVRAM_RECORD_HEADER_SIZE,
              Record->NameSize, &Record->VendorGuid)) {
        return Refuse (Store, Record->Offset, NvramRepeatedVariable);
      }
    }
  }

  return NvramStoreValid;
}

/**
  The walk with which InitNonVolatileVariableStore finds the last variable
  offset, and the check of the free space after it that
  VariableWriteServiceInitialize makes: a write cut short leaves bytes there,
  and the driver compacts the store before it writes again. A header torn
  in its sizes (0x7F with DataSize 0xFFFFFF??) sends GetNextVariablePtr past
  the store, which ends the driver's walks there (the first write of its
  next boot compacts the store to the records before it): here it ends the
  walk with the free space not erased. Only a live record running past the
  end is refused, as the driver's lookup would read past the store; no cut
  leaves one, as a record is marked added only once its bytes are flushed.
  Then the check of repeated variables.
**/
NVRAM_STORE_CHECK
NvramCheckRecords (NVRAM_STORE *Store)
{
  NVRAM_RECORD_WALK Walk = NvramWalkRecords (Store);
  UINTN             End;

  while (NvramNextRecord (&Walk)) {
  }

  End = Walk.Next;
  if ((Walk.Read == NvramRecordOverrun) && NvramIsLive (&Walk.Record)) {
    return Refuse (Store, End, NvramRecordPastEnd);
  }

  Store->FreeOffset = End;
  Store->FreeSpaceErased =
      (Walk.Read == NvramRecordsEnd) && NvramIsErased (Store->Image + End, Store->StoreEnd - End);

  return CheckRepeatedVariables (Store);
}

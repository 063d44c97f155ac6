/** @file
  The record writers of UpdateVariable that a write of a variable
  (Variable.cpp) and a compaction (Reclaim.cpp) share: a new record laid
  out, a record marked, and the records a write replaces retired.
**/

#include "nvram/RecordWrites.h"

NVRAM_VARIABLE_HEADER
NvramNewRecordHeader (const NVRAM_NEW_RECORD *New, UINT8 State)
{
  NVRAM_VARIABLE_HEADER Header;

  memset (&Header, 0, sizeof (Header));
  Header.StartId    = NVRAM_VARIABLE_DATA;
  Header.State      = State;
  Header.Attributes = New->Attributes;
  Header.NameSize   = (UINT32)New->NameSize;
  Header.DataSize   = (UINT32)New->DataSize;
  Header.VendorGuid = *New->VendorGuid;
  return Header;
}

VOID
NvramWriteRecord (UINT8 *At, const NVRAM_NEW_RECORD *New)
{
  NVRAM_VARIABLE_HEADER Header = NvramNewRecordHeader (New, NVRAM_VAR_ADDED);

  memcpy (At, &Header, sizeof (Header));
  memcpy (At + sizeof (Header), New->Name, New->NameSize);
  memcpy (At + sizeof (Header) + New->NameSize, New->Data, New->DataSize);
}

VOID
NvramMarkRecord (NVRAM_STORE *Store, NVRAM_WRITE_PLAN *Plan, UINTN Record, UINT8 Mask)
{
  NvramWriteState (Store, Plan, Record + NVRAM_RECORD_STATE_OFFSET, Mask);
  NvramFlushWrites (Plan);
}

VOID
NvramRetireRecords (
    NVRAM_STORE        *Store,
    NVRAM_WRITE_PLAN   *Plan,
    const NVRAM_LOOKUP *Lookup,
    UINT8               LiveMask)
{
  const NVRAM_RECORD *Live = &Lookup->Live;

  if (!Lookup->Found) {
    return;
  }

  // Retired before the live record is marked, so that no cut leaves two records in transition, of
  // which the driver's boot-time Reclaim would promote the older.
  for (NVRAM_RECORD_WALK Walk = NvramWalkRecords (Store); NvramNextRecord (&Walk);) {
    const NVRAM_RECORD *Record = &Walk.Record;

    if ((Record->Offset != Live->Offset) && NvramIsLive (Record) &&
        NvramIsRecordOf (
            Store->Image, Record, Store->Image + Live->Offset + NVRAM_RECORD_HEADER_SIZE,
            Live->NameSize, &Live->VendorGuid)) {
      NvramMarkRecord (Store, Plan, Record->Offset, NVRAM_VAR_DELETED);
    }
  }

  NvramWriteState (Store, Plan, Live->Offset + NVRAM_RECORD_STATE_OFFSET, LiveMask);
}

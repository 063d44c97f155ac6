/** @file
  The compaction of a full store, as the variable driver's Reclaim (in its
  Variable.c) rebuilds it and FtwVariableSpace (in its Reclaim.c) writes the
  result back in one piece through the fault-tolerant write driver.
**/

#include "nvram/Reclaim.h"
#include "nvram/FtwInternal.h"

#include <stdlib.h>

// Whether Record is the one of its variable that the lookup reads (NvramFindRecord).
static BOOLEAN
IsReadRecord (const NVRAM_STORE *Store, const NVRAM_RECORD *Record)
{
  NVRAM_LOOKUP Lookup;

  NvramFindRecord (
      Store, Store->Image + Record->Offset + NVRAM_RECORD_HEADER_SIZE, Record->NameSize,
      &Record->VendorGuid, &Lookup);
  return Lookup.Found && (Lookup.Live.Offset == Record->Offset);
}

/**
  Rebuilds the store's records in Buffer, the store's size and erased, as
  Reclaim does: every added record, in order; then the records in
  transition without an added twin, promoted to added. Of several in
  transition Reclaim promotes the first; here the one the lookup reads is
  kept, which is that first when the free space is not erased (the driver
  reclaims at boot then) and the last otherwise (FindVariableEx's answer
  until the driver's next reclaim), so that a compaction never changes
  what another variable reads. Reclaim leaves out the records of the
  variable being written that the lookup found; here every record of it
  is left out, so that none outlives the new value. Offsets in Buffer are
  those of the image less the store's base, which is 4-aligned, so record
  alignment is the same.

  @return Where the new record goes in Buffer.
**/
static UINTN
CompactRecords (const NVRAM_STORE *Store, const NVRAM_NEW_RECORD *New, UINT8 *Buffer)
{
  const UINT8 *Image = Store->Image;
  UINTN        Out   = Store->FirstRecord - Store->StoreBase;

  memcpy (Buffer, Image + Store->StoreBase, sizeof (NVRAM_STORE_HEADER));
  for (int Pass = 0; Pass < 2; Pass++) {
    UINT8 Wanted = (Pass == 0) ? NVRAM_VAR_ADDED : NVRAM_VAR_ADDED_IN_TRANSITION;

    for (NVRAM_RECORD_WALK Walk = NvramWalkRecords (Store); NvramNextRecord (&Walk);) {
      const NVRAM_RECORD *Record = &Walk.Record;

      if ((Record->State != Wanted) ||
          NvramIsRecordOf (Image, Record, New->Name, New->NameSize, New->VendorGuid) ||
          ((Pass == 1) && !IsReadRecord (Store, Record))) {
        continue;
      }

      memcpy (Buffer + Out, Image + Record->Offset, Record->Next - Record->Offset);
      Buffer[Out + NVRAM_RECORD_STATE_OFFSET] = NVRAM_VAR_ADDED;
      Out += Record->Next - Record->Offset;
    }
  }

  return Out;
}

/**
  Reclaim, then FtwVariableSpace: the compacted store, the new record last,
  written back only when it fits. Everything that can refuse it, the
  plan's room included, is checked before the first write.
**/
EFI_STATUS
NvramReclaim (
    NVRAM_STORE            *Store,
    const NVRAM_LOOKUP     *Replaced,
    const NVRAM_NEW_RECORD *New,
    NVRAM_EDIT             *Edit)
{
  NVRAM_WRITE_PLAN *Plan = (Edit != NULL) ? Edit->Plan : NULL;
  UINTN             Size = Store->StoreEnd - Store->StoreBase;
  UINTN             Out;
  UINTN             RecordSize;
  UINT8            *Buffer;
  NVRAM_ROOM        Room;
  EFI_STATUS        Status = EFI_OUT_OF_RESOURCES;

  Buffer = static_cast<UINT8 *> (NvramAllocate (Size));
  if (Buffer == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  memset (Buffer, NVRAM_ERASED_BYTE, Size);
  Out        = CompactRecords (Store, New, Buffer);
  RecordSize = AlignRecord (NVRAM_RECORD_HEADER_SIZE + New->NameSize + New->DataSize);
  if (RecordSize > Size - Out) {
    NvramNoteRefusal (Edit, { NvramRefusedStoreFull, 0, RecordSize, Size - Out });
  } else if (!NvramFtwWriteRoom (Store, Store->StoreBase, Size, &Room)) {
    NvramNoteRefusal (Edit, { NvramRefusedNoSpare, 0, 0, 0 });
  } else if (NvramReserveRoom (
                 Plan, { Room.Steps + NvramRetireRoom (Replaced).Steps,
                         Room.Bytes + NvramRetireRoom (Replaced).Bytes })) {
    NvramWriteRecord (Buffer + Out, New);
    // UpdateVariable marks the old record in transition before it reclaims; its other records
    // are retired first, so that a cut before the new store is complete reads the old value.
    NvramRetireRecords (Store, Plan, Replaced, NVRAM_VAR_IN_DELETED_TRANSITION);
    NvramFtwWrite (Store, Plan, Store->StoreBase, Size, Buffer);
    Store->FreeOffset      = Store->StoreBase + Out + RecordSize;
    Store->FreeSpaceErased = TRUE;
    Status                 = EFI_SUCCESS;
  }

  free (Buffer);
  return Status;
}

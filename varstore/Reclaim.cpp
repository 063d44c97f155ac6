/** @file
  The compaction of a full store, as the variable driver's Reclaim (in its
  Variable.c) rebuilds it and FtwVariableSpace (in its Reclaim.c) writes the
  result back in one piece.
**/

#include "varstore/VariableStoreInternal.h"

#include <stdlib.h>

// Reclaim's search of the records already kept for an added twin of Of.
static BOOLEAN
HasAddedTwin (
    const UINT8        *Buffer,
    UINTN               First,
    UINTN               End,
    const UINT8        *Image,
    const NVRAM_RECORD *Of)
{
  NVRAM_RECORD Record;

  for (UINTN Offset = First; NvramReadRecord (Buffer, Offset, End, &Record) == NvramRecordFound;
       Offset       = Record.Next) {
    if (NvramIsRecordOf (
            Buffer, &Record, Image + Of->Offset + NVRAM_RECORD_HEADER_SIZE, Of->NameSize,
            &Of->VendorGuid)) {
      return TRUE;
    }
  }

  return FALSE;
}

/**
  Rebuilds the store in a scratch buffer as Reclaim does, the new record at
  the end, and copies it back only when it fits: every
  added record but the one being replaced, in order; then each record in
  transition that is not being replaced and has no added twin, promoted to
  added. Offsets in the scratch buffer are those of the image less the
  store's base, which is 4-aligned, so record alignment is the same.
**/
EFI_STATUS
NvramReclaim (NVRAM_STORE *Store, const NVRAM_LOOKUP *Replaced, const NVRAM_NEW_RECORD *New)
{
  const UINT8 *Image = Store->Image;
  UINTN        Size  = Store->StoreEnd - Store->StoreBase;
  UINTN        First = Store->FirstRecord - Store->StoreBase;
  UINTN        Out   = First;
  UINTN        RecordSize;
  UINT8       *Buffer;
  NVRAM_RECORD Record;

  Buffer = static_cast<UINT8 *> (malloc (Size));
  if (Buffer == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  memset (Buffer, NVRAM_ERASED_BYTE, Size);
  memcpy (Buffer, Image + Store->StoreBase, sizeof (NVRAM_STORE_HEADER));
  for (int Pass = 0; Pass < 2; Pass++) {
    UINT8 Wanted = (Pass == 0) ? NVRAM_VAR_ADDED : NVRAM_VAR_ADDED_IN_TRANSITION;

    for (UINTN Offset = Store->FirstRecord;
         NvramReadRecord (Image, Offset, Store->StoreEnd, &Record) == NvramRecordFound;
         Offset = Record.Next) {
      if ((Record.State != Wanted) || (Replaced->Found && (Offset == Replaced->Live.Offset)) ||
          (Replaced->HasInDeleted && (Offset == Replaced->InDeleted.Offset))) {
        continue;
      }

      if ((Pass == 1) && HasAddedTwin (Buffer, First, Out, Image, &Record)) {
        continue;
      }

      RecordSize = Record.Next - Record.Offset;
      memcpy (Buffer + Out, Image + Record.Offset, RecordSize);
      Buffer[Out + NVRAM_RECORD_STATE_OFFSET] = NVRAM_VAR_ADDED;
      Out += RecordSize;
    }
  }

  RecordSize = AlignRecord (NVRAM_RECORD_HEADER_SIZE + New->NameSize + New->DataSize);
  if (RecordSize > Size - Out) {
    free (Buffer);
    return EFI_OUT_OF_RESOURCES;
  }

  NvramWriteRecord (Buffer + Out, New);
  memcpy (Store->Image + Store->StoreBase, Buffer, Size);
  Store->FreeOffset = Store->StoreBase + Out + RecordSize;
  free (Buffer);
  return EFI_SUCCESS;
}

/** @file
  The writes of an edit: each made to the image at once, as the firmware's
  writes reach its flash, and recorded in the store's plan, with the flushes
  between them, for the caller to replay on the file.
**/

#include "nvram/VariableStoreInternal.h"

#include <stdlib.h>

// Grows an array to hold Needed elements, doubling it so that appends cost
// little.
static BOOLEAN
Reserve (VOID **Array, UINTN *Capacity, UINTN Needed, UINTN ElementSize)
{
  UINTN Grown;
  VOID *Moved;

  if (Needed <= *Capacity) {
    return TRUE;
  }

  Grown = (2 * *Capacity > Needed) ? 2 * *Capacity : Needed + 64;
  Moved = realloc (*Array, Grown * ElementSize);
  if (Moved == NULL) {
    return FALSE;
  }

  *Array    = Moved;
  *Capacity = Grown;
  return TRUE;
}

/**
  Appends a step to the store's plan, Size bytes copied from Bytes, or
  erased bytes when Bytes is NULL. A plan that cannot grow is marked so
  that it is never replayed in part.
**/
static VOID
Record (NVRAM_STORE *Store, UINTN Offset, const UINT8 *Bytes, UINTN Size)
{
  NVRAM_WRITE_PLAN *Plan = Store->Plan;

  if ((Plan == NULL) || Plan->OutOfMemory) {
    return;
  }

  if (!Reserve (
          reinterpret_cast<VOID **> (&Plan->Steps), &Plan->Capacity, Plan->Count + 1,
          sizeof (NVRAM_WRITE)) ||
      !Reserve (
          reinterpret_cast<VOID **> (&Plan->Bytes), &Plan->BytesCapacity, Plan->BytesSize + Size,
          1)) {
    Plan->OutOfMemory = TRUE;
    return;
  }

  Plan->Steps[Plan->Count++] = { Offset, Size, Plan->BytesSize };
  if (Bytes == NULL) {
    memset (Plan->Bytes + Plan->BytesSize, NVRAM_ERASED_BYTE, Size);
  } else {
    memcpy (Plan->Bytes + Plan->BytesSize, Bytes, Size);
  }

  Plan->BytesSize += Size;
}

// A step of no bytes would read as a flush.
VOID
NvramWriteBytes (NVRAM_STORE *Store, UINTN Offset, const VOID *Bytes, UINTN Size)
{
  if (Size != 0) {
    // Recorded first: Bytes may lie in the image, where the write lands.
    Record (Store, Offset, static_cast<const UINT8 *> (Bytes), Size);
    memmove (Store->Image + Offset, Bytes, Size);
  }
}

VOID
NvramEraseBytes (NVRAM_STORE *Store, UINTN Offset, UINTN Size)
{
  if (Size != 0) {
    Record (Store, Offset, NULL, Size);
    memset (Store->Image + Offset, NVRAM_ERASED_BYTE, Size);
  }
}

VOID
NvramWriteState (NVRAM_STORE *Store, UINTN Offset, UINT8 Mask)
{
  UINT8 State = Store->Image[Offset] & Mask;

  NvramWriteBytes (Store, Offset, &State, sizeof (State));
}

VOID
NvramFlushWrites (NVRAM_STORE *Store)
{
  NVRAM_WRITE_PLAN *Plan = Store->Plan;

  // A flush with no write since the last one would order nothing.
  if ((Plan != NULL) && (Plan->Count > 0) && (Plan->Steps[Plan->Count - 1].Size != 0)) {
    Record (Store, 0, NULL, 0);
  }
}

VOID
NvramFreeWritePlan (NVRAM_WRITE_PLAN *Plan)
{
  free (Plan->Steps);
  free (Plan->Bytes);
  memset (Plan, 0, sizeof (*Plan));
}

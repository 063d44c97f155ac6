/** @file
  The writes of an edit: each made to the image at once, as the firmware's
  writes reach its flash, and recorded in the edit's plan, with the flushes
  between them, for the caller to replay on the file. The room for them is
  reserved before the first, so that recording one never fails.
**/

#include "nvram/WritePlanInternal.h"

#include "nvram/VariableStoreFormat.h"

#include <stdlib.h>
#include <string.h>

// What NvramLimitAllocations set: all of them outside the tests that make allocations fail.
static UINTN mAllocationsAllowed = NVRAM_ALL_ALLOCATIONS;
static UINTN mAllocationsFailed;

UINTN
NvramLimitAllocations (UINTN Allowed)
{
  UINTN Failed = mAllocationsFailed;

  mAllocationsAllowed = Allowed;
  mAllocationsFailed  = 0;
  return Failed;
}

// Counts an allocation against the limit, which every allocation of the library passes first.
static BOOLEAN
AllocationAllowed (VOID)
{
  if (mAllocationsAllowed == 0) {
    mAllocationsFailed++;
    return FALSE;
  }

  if (mAllocationsAllowed != NVRAM_ALL_ALLOCATIONS) {
    mAllocationsAllowed--;
  }

  return TRUE;
}

VOID *
NvramAllocate (UINTN Size)
{
  return AllocationAllowed () ? malloc (Size) : NULL;
}

// Grows an array to hold Needed elements and no more, so that a step past an edit's room is lost
// and shows, rather than taking room meant for no one.
static BOOLEAN
Reserve (VOID **Array, UINTN *Capacity, UINTN Needed, UINTN ElementSize)
{
  VOID *Moved;

  if (Needed <= *Capacity) {
    return TRUE;
  }

  Moved = AllocationAllowed () ? realloc (*Array, Needed * ElementSize) : NULL;
  if (Moved == NULL) {
    return FALSE;
  }

  *Array    = Moved;
  *Capacity = Needed;
  return TRUE;
}

BOOLEAN
NvramReserveRoom (NVRAM_WRITE_PLAN *Plan, NVRAM_ROOM Room)
{
  return (Plan == NULL) || (Reserve (
                                reinterpret_cast<VOID **> (&Plan->Steps), &Plan->Capacity,
                                Plan->Count + Room.Steps, sizeof (NVRAM_WRITE)) &&
                            Reserve (
                                reinterpret_cast<VOID **> (&Plan->Bytes), &Plan->BytesCapacity,
                                Plan->BytesSize + Room.Bytes, 1));
}

/**
  Appends a step to the plan, Size bytes copied from Bytes, or erased bytes
  when Bytes is NULL. A step past the room reserved for it is lost, and the
  plan marked so that it is never replayed in part.
**/
static VOID
Record (NVRAM_WRITE_PLAN *Plan, UINTN Offset, const UINT8 *Bytes, UINTN Size)
{
  if ((Plan == NULL) || Plan->Incomplete) {
    return;
  }

  if ((Plan->Count == Plan->Capacity) || (Plan->BytesCapacity - Plan->BytesSize < Size)) {
    Plan->Incomplete = TRUE;
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

/**
  Whether Size bytes at Offset lie in the volume: a backstop under the
  checks of every size and offset read from the file, so that a check
  missed by a fault of this library refuses the plan rather than write
  outside the buffer. The plan is marked so that it is never replayed.
**/
static BOOLEAN
InVolume (const NVRAM_STORE *Store, NVRAM_WRITE_PLAN *Plan, UINTN Offset, UINTN Size)
{
  if ((Offset <= Store->VolumeSize) && (Size <= Store->VolumeSize - Offset)) {
    return TRUE;
  }

  if (Plan != NULL) {
    Plan->Incomplete = TRUE;
  }

  return FALSE;
}

// A step of no bytes would read as a flush.
VOID
NvramWriteBytes (
    NVRAM_STORE      *Store,
    NVRAM_WRITE_PLAN *Plan,
    UINTN             Offset,
    const VOID       *Bytes,
    UINTN             Size)
{
  if ((Size != 0) && InVolume (Store, Plan, Offset, Size)) {
    // Recorded first: Bytes may lie in the image, where the write lands.
    Record (Plan, Offset, static_cast<const UINT8 *> (Bytes), Size);
    memmove (Store->Image + Offset, Bytes, Size);
  }
}

VOID
NvramEraseBytes (NVRAM_STORE *Store, NVRAM_WRITE_PLAN *Plan, UINTN Offset, UINTN Size)
{
  if ((Size != 0) && InVolume (Store, Plan, Offset, Size)) {
    Record (Plan, Offset, NULL, Size);
    memset (Store->Image + Offset, NVRAM_ERASED_BYTE, Size);
  }
}

VOID
NvramWriteState (NVRAM_STORE *Store, NVRAM_WRITE_PLAN *Plan, UINTN Offset, UINT8 Mask)
{
  UINT8 State;

  if (InVolume (Store, Plan, Offset, sizeof (State))) {
    State = Store->Image[Offset] & Mask;
    NvramWriteBytes (Store, Plan, Offset, &State, sizeof (State));
  }
}

VOID
NvramFlushWrites (NVRAM_WRITE_PLAN *Plan)
{
  // A flush with no write since the last one would order nothing.
  if ((Plan != NULL) && (Plan->Count > 0) && (Plan->Steps[Plan->Count - 1].Size != 0)) {
    Record (Plan, 0, NULL, 0);
  }
}

VOID
NvramFreeWritePlan (NVRAM_WRITE_PLAN *Plan)
{
  free (Plan->Steps);
  free (Plan->Bytes);
  memset (Plan, 0, sizeof (*Plan));
}

/** @file
  The writes of an edit as the store library makes them: each to the image
  at once, as the firmware's writes reach its flash, and recorded in the
  edit's plan within the room reserved for it before the first
  (WritePlan.cpp).
**/

#ifndef NVRAM_WRITE_PLAN_INTERNAL_H_
#define NVRAM_WRITE_PLAN_INTERNAL_H_

#include "nvram/StoreOpen.h"

///
/// The room an edit's writes take in a plan, reserved before the first of
/// them so that none can fail for memory.
///
typedef struct {
  UINTN Steps; ///< Writes and flushes.
  UINTN Bytes; ///< The writes' bytes.
} NVRAM_ROOM;

// Notes why an operation refused, for a caller that wants it.
static inline VOID
NvramNoteRefusal (NVRAM_EDIT *Edit, NVRAM_REFUSAL Refusal)
{
  if (Edit != NULL) {
    Edit->Refusal = Refusal;
  }
}

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

#endif

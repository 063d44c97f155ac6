/** @file
  Completing the fault-tolerant writes that an interruption left pending, as
  the FTW driver does when it starts (InitFtwProtocol, FtwRestart,
  FtwWriteRecord, FtwAbort), and the opening of a store after it.
**/

#include "nvram/FtwInternal.h"

#include <stdlib.h>

static UINT64
ReadField (const NVRAM_STORE *Store, UINTN Offset)
{
  UINT64 Value;

  memcpy (&Value, Store->Image + Offset, sizeof (Value));
  return Value;
}

// Tells whether a state bit is set, that is cleared (FTW_VALID_STATE).
static BOOLEAN
IsSet (const NVRAM_STORE *Store, UINTN Offset, UINT8 Bit)
{
  return (Store->Image[Offset] & Bit) == 0;
}

// The queue's last write and FtwGetLastWriteRecord's record of it, kept within the queue.
static VOID
FindPendingWrite (const NVRAM_STORE *Store, NVRAM_FTW_WRITE *Pending)
{
  const NVRAM_FTW_AREAS *Ftw = &Store->Ftw;
  UINTN                  End = Ftw->WorkingBase + Ftw->WorkingSize;
  UINT64                 Writes;
  UINT64                 Private;
  UINTN                  Record;

  memset (Pending, 0, sizeof (*Pending));
  Pending->Write = Ftw->WorkingBase + Ftw->LastWrite;
  if ((Ftw->LastWrite > Ftw->WorkingSize) ||
      (Ftw->WorkingSize - Ftw->LastWrite < NVRAM_FTW_WRITE_HEADER_SIZE)) {
    return;
  }

  Writes  = ReadField (Store, Pending->Write + NVRAM_FTW_WRITE_HEADER_WRITES);
  Private = ReadField (Store, Pending->Write + NVRAM_FTW_WRITE_HEADER_PRIVATE);
  if (Private > Ftw->WorkingSize) {
    return;
  }

  Record = Pending->Write + NVRAM_FTW_WRITE_HEADER_SIZE;
  for (UINT64 Index = 0;
       (Index < Writes) && (End - Record >= NVRAM_FTW_WRITE_RECORD_SIZE + Private);
       Index++, Record += NVRAM_FTW_WRITE_RECORD_SIZE + (UINTN)Private) {
    if ((Pending->Record == 0) && !IsSet (Store, Record, NVRAM_FTW_DEST_COMPLETE_BIT)) {
      Pending->Record = Record;
    }

    Pending->Last = Record;
  }

  // Every record in place: the driver takes the last.
  if (Pending->Record == 0) {
    Pending->Record = Pending->Last;
  }
}

/**
  FtwAbort: an allocated write not complete is marked complete, abandoned
  with its target as it was.
**/
static VOID
AbortWrite (NVRAM_STORE *Store, NVRAM_WRITE_PLAN *Plan, const NVRAM_FTW_WRITE *Pending)
{
  if (IsSet (Store, Pending->Write, NVRAM_FTW_HEADER_ALLOCATED_BIT) &&
      !IsSet (Store, Pending->Write, NVRAM_FTW_COMPLETE_BIT)) {
    NvramWriteState (Store, Plan, Pending->Write, (UINT8)~NVRAM_FTW_COMPLETE_BIT);
    NvramFlushWrites (Plan);
  }
}

/**
  The target of the pending record, when FtwRestart can copy it from the
  spare area here: blocks of this volume (GetFvbByAddress finds the volume
  by the record's offset from the spare area) before the working block, not
  the boot block, that fit the spare area.
**/
static BOOLEAN
FindTarget (const NVRAM_STORE *Store, NVRAM_FTW_WRITE *Pending)
{
  const NVRAM_FTW_AREAS *Ftw     = &Store->Ftw;
  UINTN                  Record  = Pending->Record;
  UINT64                 Lba     = ReadField (Store, Record + NVRAM_FTW_WRITE_RECORD_LBA);
  UINT64                 InBlock = ReadField (Store, Record + NVRAM_FTW_WRITE_RECORD_OFFSET);
  UINT64                 Length  = ReadField (Store, Record + NVRAM_FTW_WRITE_RECORD_LENGTH);
  INTN                   FromSpare;

  memcpy (&FromSpare, Store->Image + Record + NVRAM_FTW_WRITE_RECORD_SPARE, sizeof (FromSpare));
  if (IsSet (Store, Record, NVRAM_FTW_BOOT_BLOCK_BIT) || (Lba > Ftw->SpareSize) ||
      (InBlock > Ftw->SpareSize) || (Length > Ftw->SpareSize)) {
    return FALSE;
  }

  Pending->Target = (UINTN)Lba * Ftw->BlockSize;
  Pending->Span   = NvramWholeBlocks ((UINTN)(InBlock + Length), Ftw->BlockSize);
  // Compared as a difference of two offsets in the volume: the file's FromSpare may be any value.
  return (FromSpare == (INTN)Pending->Target - (INTN)Ftw->SpareBase) &&
         (Pending->Span <= Ftw->SpareSize) && (Pending->Target + Pending->Span <= Ftw->WorkingBase);
}

/**
  The most that NvramFtwRecover records: the working block restored, a write
  abandoned (a mark and a flush), the queue reclaimed, a write finished and
  the spare area erased.
**/
static NVRAM_ROOM
RecoveryRoom (const NVRAM_STORE *Store)
{
  const NVRAM_FTW_AREAS *Ftw     = &Store->Ftw;
  NVRAM_ROOM             Restore = NvramFtwRestoreRoom (Ftw->WorkingSize);
  NVRAM_ROOM             Reclaim = NvramFtwReclaimQueueRoom (Store);
  NVRAM_ROOM             Finish  = NvramFtwFinishRoom (Ftw->SpareSize);

  return { Restore.Steps + 2 + Reclaim.Steps + Finish.Steps + 2,
           Restore.Bytes + 1 + Reclaim.Bytes + Finish.Bytes + Ftw->SpareSize };
}

/**
  InitFtwProtocol's steps: a working block caught being rewritten is
  restored from the spare area and its pending write abandoned; otherwise a
  write whose new blocks had not all reached the spare area is abandoned, as
  is one whose last record is in place; a queue with bytes after its last
  write is reclaimed; and a write whose new blocks are in the spare area is
  finished (FtwRestart). The spare area is erased after it all, as after
  FtwRestart. A write this code cannot finish, or the plan's room for it,
  is refused before anything is written.
**/
NVRAM_STORE_CHECK
NvramFtwRecover (NVRAM_STORE *Store, NVRAM_WRITE_PLAN *Plan)
{
  NVRAM_FTW_AREAS *Ftw = &Store->Ftw;
  NVRAM_FTW_WRITE  Pending;
  UINTN            Size;
  BOOLEAN          Restore;
  BOOLEAN          Restart = FALSE;

  if (Ftw->SpareSize == 0) {
    return NvramWriteInProgress;
  }

  Restore = !NvramIsValidWorkingHeader (Store, Ftw->WorkingBase, &Size);
  if (!Restore && (Ftw->LastWrite < Ftw->WorkingSize)) {
    FindPendingWrite (Store, &Pending);
    Restart = (Pending.Record != 0) && !IsSet (Store, Pending.Write, NVRAM_FTW_COMPLETE_BIT) &&
              IsSet (Store, Pending.Record, NVRAM_FTW_SPARE_COMPLETE_BIT) &&
              !IsSet (Store, Pending.Record, NVRAM_FTW_DEST_COMPLETE_BIT);
    if (Restart && !FindTarget (Store, &Pending)) {
      return NvramWriteInProgress;
    }
  }

  if (!NvramReserveRoom (Plan, RecoveryRoom (Store))) {
    return NvramWriteInProgress;
  }

  if (Restore) {
    NvramFtwRestoreWorkingBlock (Store, Plan);
    Ftw->LastWrite = NvramFindLastWrite (Store);
  }

  if (!Restart && (Ftw->LastWrite < Ftw->WorkingSize)) {
    FindPendingWrite (Store, &Pending);
    AbortWrite (Store, Plan, &Pending);
  }

  if (!NvramQueueIsErasedAfter (Store, Ftw->LastWrite)) {
    NvramFtwReclaimQueue (Store, Plan);
  }

  if (Restart) {
    NVRAM_FTW_WRITE Found = Pending;

    // The reclaim may have moved the write to the head of the queue.
    FindPendingWrite (Store, &Pending);
    Pending.Target = Found.Target;
    Pending.Span   = Found.Span;
    NvramFtwFinishWrite (Store, Plan, &Pending);
  }

  // Nothing is pending any more, and a copy of a store left there would show to other readers.
  NvramEraseBytes (Store, Plan, Ftw->SpareBase, Ftw->SpareSize);
  NvramFlushWrites (Plan);
  return NvramStoreValid;
}

/**
  Completes a pending write and opens the store it leaves; when that store
  is refused, the recovery is taken back from a copy of the volume made
  before it, so that a refusal leaves the image and the plan as they were.
**/
static NVRAM_STORE_CHECK
RecoverPendingWrite (UINT8 *Image, UINTN ImageSize, NVRAM_STORE *Store, NVRAM_WRITE_PLAN *Plan)
{
  UINTN             VolumeSize = Store->VolumeSize;
  UINT8            *Before     = static_cast<UINT8 *> (NvramAllocate (VolumeSize));
  NVRAM_WRITE_PLAN  Kept       = (Plan != NULL) ? *Plan : NVRAM_WRITE_PLAN ();
  NVRAM_STORE_CHECK Check;

  if (Before == NULL) {
    return NvramWriteInProgress;
  }

  memcpy (Before, Image, VolumeSize);
  Check = NvramFtwRecover (Store, Plan);
  if (Check == NvramStoreValid) {
    Check = OpenNvramStore (Image, ImageSize, Store);
  }

  if (Check != NvramStoreValid) {
    memcpy (Image, Before, VolumeSize);
    if (Plan != NULL) {
      Plan->Count     = Kept.Count;
      Plan->BytesSize = Kept.BytesSize;
    }
  }

  free (Before);
  return Check;
}

NVRAM_STORE_CHECK
RecoverNvramStore (UINT8 *Image, UINTN ImageSize, NVRAM_STORE *Store, NVRAM_EDIT *Edit)
{
  NVRAM_WRITE_PLAN *Plan  = (Edit != NULL) ? Edit->Plan : NULL;
  NVRAM_STORE_CHECK Check = OpenNvramStore (Image, ImageSize, Store);

  if (Check == NvramWriteInProgress) {
    Check = RecoverPendingWrite (Image, ImageSize, Store, Plan);
  }

  // The driver reads the spare area only for a pending write; the copy of the volume that a write
  // cut short in its last step left there would show to other readers as a second store.
  if ((Check != NvramStoreValid) || !Store->Ftw.SpareHasVolume) {
    return Check;
  }

  if (!NvramReserveRoom (Plan, { 2, Store->Ftw.SpareSize })) {
    return NvramWriteInProgress;
  }

  NvramEraseBytes (Store, Plan, Store->Ftw.SpareBase, Store->Ftw.SpareSize);
  NvramFlushWrites (Plan);
  Store->Ftw.SpareHasVolume = FALSE;
  return Check;
}

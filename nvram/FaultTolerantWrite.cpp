/** @file
  Writes through the fault-tolerant write areas, as the FTW driver makes them
  (FaultTolerantWrite.c, FtwMisc.c, UpdateWorkingBlock.c): a write queued in
  the working block, its new blocks built in the spare area and then copied
  in place; and the reclaim of a full queue, the working block rebuilt
  through the spare area.

  Each erase and write that follows it on flash is one write here: a file
  needs no erase, and an area's bytes count for nothing until the state bit
  written after them is set. A flush comes before each state bit that vouches
  for the bytes written before it, and after each that a later write relies on.
  Once a write is done its spare area is erased, as FtwRestart leaves it,
  rather than given back its old bytes as FtwWrite does: they count for
  nothing, and the copy of a store left there would show to other readers
  of the file as a second store.
**/

#include "nvram/FtwInternal.h"

static const EFI_GUID mCallerGuid = NVRAM_FTW_CALLER_GUID;

#define NVRAM_FTW_WORKING_VALID_OFFSET offsetof (NVRAM_FTW_WORKING_HEADER, ValidBits)

/**
  Writes Size bytes at the start of the spare area and erases the rest, as
  FtwEraseSpareBlock and the writes after it leave it.
**/
static VOID
FillSpare (NVRAM_STORE *Store, NVRAM_WRITE_PLAN *Plan, const UINT8 *Bytes, UINTN Size)
{
  NvramWriteBytes (Store, Plan, Store->Ftw.SpareBase, Bytes, Size);
  NvramEraseBytes (Store, Plan, Store->Ftw.SpareBase + Size, Store->Ftw.SpareSize - Size);
}

/**
  FlushSpareBlockToWorkingBlock: the working block copied from the spare
  area with its header's valid bits erased, then marked valid. Its header is
  already marked invalid on every path here, so that step is left out.
**/
VOID
NvramFtwRestoreWorkingBlock (NVRAM_STORE *Store, NVRAM_WRITE_PLAN *Plan)
{
  const NVRAM_FTW_AREAS   *Ftw = &Store->Ftw;
  NVRAM_FTW_WORKING_HEADER Header;

  memcpy (&Header, Store->Image + Ftw->SpareBase, sizeof (Header));
  Header.ValidBits = NVRAM_ERASED_BYTE;
  NvramWriteBytes (Store, Plan, Ftw->WorkingBase, &Header, sizeof (Header));
  NvramWriteBytes (
      Store, Plan, Ftw->WorkingBase + sizeof (Header),
      Store->Image + Ftw->SpareBase + sizeof (Header), Ftw->WorkingSize - sizeof (Header));
  NvramFlushWrites (Plan);
  NvramWriteState (
      Store, Plan, Ftw->WorkingBase + NVRAM_FTW_WORKING_VALID_OFFSET,
      (UINT8)~NVRAM_FTW_WORKING_VALID_BIT);
  NvramFlushWrites (Plan);
}

NVRAM_ROOM
NvramFtwReclaimQueueRoom (const NVRAM_STORE *Store)
{
  // The spare area filled, three flushes, two marks, the working block restored, the spare erased.
  return { 13, 2 * Store->Ftw.SpareSize + NvramFtwRestoreRoom (Store->Ftw.WorkingSize).Bytes + 2 };
}

/**
  FtwReclaimWorkSpace: the working block rebuilt with its queue emptied but
  for the last write if it is pending, written to the spare area and marked
  valid there, the working block marked invalid, copied back from the spare
  area, and the spare area erased. The new working block is built in the
  spare area itself, which the first write then records whole: there is no
  buffer to run out of between the writes of an edit.
**/
VOID
NvramFtwReclaimQueue (NVRAM_STORE *Store, NVRAM_WRITE_PLAN *Plan)
{
  NVRAM_FTW_AREAS *Ftw   = &Store->Ftw;
  const UINT8     *Write = Store->Image + Ftw->WorkingBase + Ftw->LastWrite;
  UINT8           *Work  = Store->Image + Ftw->SpareBase;

  memset (Work, NVRAM_ERASED_BYTE, Ftw->WorkingSize);
  memcpy (Work, Store->Image + Ftw->WorkingBase, sizeof (NVRAM_FTW_WORKING_HEADER));
  Work[NVRAM_FTW_WORKING_VALID_OFFSET] = NVRAM_ERASED_BYTE;
  if ((Ftw->LastWrite < Ftw->WorkingSize) && ((Write[0] & NVRAM_FTW_HEADER_ALLOCATED_BIT) == 0) &&
      ((Write[0] & NVRAM_FTW_COMPLETE_BIT) != 0)) {
    memcpy (
        Work + sizeof (NVRAM_FTW_WORKING_HEADER), Write,
        NvramFtwWriteSize (Write, Ftw->WorkingSize - Ftw->LastWrite));
  }

  FillSpare (Store, Plan, Work, Ftw->WorkingSize);
  NvramFlushWrites (Plan);
  NvramWriteState (
      Store, Plan, Ftw->SpareBase + NVRAM_FTW_WORKING_VALID_OFFSET,
      (UINT8)~NVRAM_FTW_WORKING_VALID_BIT);
  NvramFlushWrites (Plan);
  NvramWriteState (
      Store, Plan, Ftw->WorkingBase + NVRAM_FTW_WORKING_VALID_OFFSET,
      (UINT8)~NVRAM_FTW_WORKING_INVALID_BIT);
  NvramFlushWrites (Plan);
  NvramFtwRestoreWorkingBlock (Store, Plan);
  NvramEraseBytes (Store, Plan, Ftw->SpareBase, Ftw->SpareSize);
  Ftw->LastWrite = NvramFindLastWrite (Store);
}

// FtwAllocate's write header for one write without private data, as it lays it in erased bytes.
static VOID
AllocateWrite (NVRAM_STORE *Store, NVRAM_WRITE_PLAN *Plan, UINTN Write)
{
  UINT8  Header[NVRAM_FTW_WRITE_HEADER_SIZE];
  UINT64 Writes  = 1;
  UINT64 Private = 0;

  memset (Header, NVRAM_ERASED_BYTE, sizeof (Header));
  Header[0] = (UINT8)~NVRAM_FTW_HEADER_ALLOCATED_BIT;
  memcpy (Header + NVRAM_FTW_WRITE_HEADER_CALLER, &mCallerGuid, sizeof (mCallerGuid));
  memcpy (Header + NVRAM_FTW_WRITE_HEADER_WRITES, &Writes, sizeof (Writes));
  memcpy (Header + NVRAM_FTW_WRITE_HEADER_PRIVATE, &Private, sizeof (Private));
  NvramWriteBytes (Store, Plan, Write, Header, sizeof (Header));
  NvramWriteState (Store, Plan, Write, (UINT8)~NVRAM_FTW_WRITES_ALLOCATED_BIT);
}

// FtwWrite's record of the write: the target's block and offset in it, its length, and where the
// target lies from the spare area.
static VOID
RecordWrite (NVRAM_STORE *Store, NVRAM_WRITE_PLAN *Plan, UINTN Record, UINTN Offset, UINTN Length)
{
  UINT8  Bytes[NVRAM_FTW_WRITE_RECORD_SIZE];
  UINT64 Lba       = Offset / Store->Ftw.BlockSize;
  UINT64 InBlock   = Offset % Store->Ftw.BlockSize;
  UINT64 Size      = Length;
  INTN   FromSpare = (INTN)(Lba * Store->Ftw.BlockSize) - (INTN)Store->Ftw.SpareBase;

  memset (Bytes, NVRAM_ERASED_BYTE, sizeof (Bytes));
  memcpy (Bytes + NVRAM_FTW_WRITE_RECORD_LBA, &Lba, sizeof (Lba));
  memcpy (Bytes + NVRAM_FTW_WRITE_RECORD_OFFSET, &InBlock, sizeof (InBlock));
  memcpy (Bytes + NVRAM_FTW_WRITE_RECORD_LENGTH, &Size, sizeof (Size));
  memcpy (Bytes + NVRAM_FTW_WRITE_RECORD_SPARE, &FromSpare, sizeof (FromSpare));
  NvramWriteBytes (Store, Plan, Record, Bytes, sizeof (Bytes));
}

// Whether the queue has no room for one more write, which FtwAllocate reclaims it for.
static BOOLEAN
QueueIsFull (const NVRAM_FTW_AREAS *Ftw)
{
  return Ftw->LastWrite + NVRAM_FTW_WRITE_HEADER_SIZE + NVRAM_FTW_WRITE_RECORD_SIZE >
         Ftw->WorkingSize;
}

// The whole blocks that Length bytes at Offset lie in, which FtwWrite builds in the spare area.
static VOID
FindTargetBlocks (const NVRAM_FTW_AREAS *Ftw, UINTN Offset, UINTN Length, NVRAM_FTW_WRITE *Queued)
{
  Queued->Target = Offset - Offset % Ftw->BlockSize;
  Queued->Span   = NvramWholeBlocks (Offset + Length - Queued->Target, Ftw->BlockSize);
}

VOID
NvramFtwFinishWrite (NVRAM_STORE *Store, NVRAM_WRITE_PLAN *Plan, const NVRAM_FTW_WRITE *Write)
{
  // FlushSpareBlockToTargetBlock: the target's blocks erased, then written from the spare area.
  NvramWriteBytes (Store, Plan, Write->Target, Store->Image + Store->Ftw.SpareBase, Write->Span);
  NvramFlushWrites (Plan);
  NvramWriteState (Store, Plan, Write->Record, (UINT8)~NVRAM_FTW_DEST_COMPLETE_BIT);
  if (Write->Record == Write->Last) {
    NvramWriteState (Store, Plan, Write->Write, (UINT8)~NVRAM_FTW_COMPLETE_BIT);
  }

  NvramFlushWrites (Plan);
}

BOOLEAN
NvramFtwWriteRoom (const NVRAM_STORE *Store, UINTN Offset, UINTN Length, NVRAM_ROOM *Room)
{
  const NVRAM_FTW_AREAS *Ftw = &Store->Ftw;
  NVRAM_FTW_WRITE        Queued;

  if (Ftw->SpareSize == 0) {
    return FALSE;
  }

  FindTargetBlocks (Ftw, Offset, Length, &Queued);
  if (Queued.Span > Ftw->SpareSize) {
    return FALSE;
  }

  // The write allocated and recorded, the spare area filled, two flushes and a mark, the target
  // written (NvramFtwFinishWrite), the spare area erased and a flush.
  *Room = { 17, NVRAM_FTW_WRITE_HEADER_SIZE + NVRAM_FTW_WRITE_RECORD_SIZE + 2 * Ftw->SpareSize +
                    NvramFtwFinishRoom (Queued.Span).Bytes + 2 };
  if (QueueIsFull (Ftw)) {
    Room->Steps += NvramFtwReclaimQueueRoom (Store).Steps;
    Room->Bytes += NvramFtwReclaimQueueRoom (Store).Bytes;
  }

  return TRUE;
}

VOID
NvramFtwWrite (
    NVRAM_STORE      *Store,
    NVRAM_WRITE_PLAN *Plan,
    UINTN             Offset,
    UINTN             Length,
    const UINT8      *Buffer)
{
  NVRAM_FTW_AREAS *Ftw = &Store->Ftw;
  NVRAM_FTW_WRITE  Queued;
  UINTN            Target;
  UINTN            Span;

  if (QueueIsFull (Ftw)) {
    NvramFtwReclaimQueue (Store, Plan);
  }

  FindTargetBlocks (Ftw, Offset, Length, &Queued);
  Target        = Queued.Target;
  Span          = Queued.Span;
  Queued.Write  = Ftw->WorkingBase + Ftw->LastWrite;
  Queued.Record = Queued.Write + NVRAM_FTW_WRITE_HEADER_SIZE;
  Queued.Last   = Queued.Record;
  AllocateWrite (Store, Plan, Queued.Write);
  RecordWrite (Store, Plan, Queued.Record, Offset, Length);
  // The target's blocks with Buffer in them, built in the spare area.
  NvramWriteBytes (Store, Plan, Ftw->SpareBase, Store->Image + Target, Offset - Target);
  NvramWriteBytes (Store, Plan, Ftw->SpareBase + Offset - Target, Buffer, Length);
  NvramWriteBytes (
      Store, Plan, Ftw->SpareBase + Offset + Length - Target, Store->Image + Offset + Length,
      Target + Span - Offset - Length);
  NvramEraseBytes (Store, Plan, Ftw->SpareBase + Span, Ftw->SpareSize - Span);
  NvramFlushWrites (Plan);
  NvramWriteState (Store, Plan, Queued.Record, (UINT8)~NVRAM_FTW_SPARE_COMPLETE_BIT);
  NvramFlushWrites (Plan);
  NvramFtwFinishWrite (Store, Plan, &Queued);
  // Flushed, so that a finished edit leaves the next nothing to order against.
  NvramEraseBytes (Store, Plan, Ftw->SpareBase, Ftw->SpareSize);
  NvramFlushWrites (Plan);
  Ftw->LastWrite = Queued.Record + NVRAM_FTW_WRITE_RECORD_SIZE - Ftw->WorkingBase;
}

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

#include <stdlib.h>

static const EFI_GUID mCallerGuid = NVRAM_FTW_CALLER_GUID;

#define NVRAM_FTW_WORKING_VALID_OFFSET offsetof (NVRAM_FTW_WORKING_HEADER, ValidBits)

/**
  Writes Size bytes at the start of the spare area and erases the rest, as
  FtwEraseSpareBlock and the writes after it leave it.
**/
static VOID
FillSpare (NVRAM_STORE *Store, const UINT8 *Bytes, UINTN Size)
{
  NvramWriteBytes (Store, Store->Ftw.SpareBase, Bytes, Size);
  NvramEraseBytes (Store, Store->Ftw.SpareBase + Size, Store->Ftw.SpareSize - Size);
}

/**
  FlushSpareBlockToWorkingBlock: the working block copied from the spare
  area with its header's valid bits erased, then marked valid. Its header is
  already marked invalid on every path here, so that step is left out.
**/
VOID
NvramFtwRestoreWorkingBlock (NVRAM_STORE *Store)
{
  const NVRAM_FTW_AREAS   *Ftw = &Store->Ftw;
  NVRAM_FTW_WORKING_HEADER Header;

  memcpy (&Header, Store->Image + Ftw->SpareBase, sizeof (Header));
  Header.ValidBits = NVRAM_ERASED_BYTE;
  NvramWriteBytes (Store, Ftw->WorkingBase, &Header, sizeof (Header));
  NvramWriteBytes (
      Store, Ftw->WorkingBase + sizeof (Header), Store->Image + Ftw->SpareBase + sizeof (Header),
      Ftw->WorkingSize - sizeof (Header));
  NvramFlushWrites (Store);
  NvramWriteState (
      Store, Ftw->WorkingBase + NVRAM_FTW_WORKING_VALID_OFFSET,
      (UINT8)~NVRAM_FTW_WORKING_VALID_BIT);
  NvramFlushWrites (Store);
}

/**
  FtwReclaimWorkSpace: the working block rebuilt with its queue emptied but
  for the last write if it is pending, written to the spare area and marked
  valid there, the working block marked invalid, copied back from the spare
  area, and the spare area erased.

  @retval EFI_SUCCESS           The queue is empty but for a pending write.
  @retval EFI_OUT_OF_RESOURCES  No memory; nothing was written.
**/
EFI_STATUS
NvramFtwReclaimQueue (NVRAM_STORE *Store)
{
  NVRAM_FTW_AREAS *Ftw   = &Store->Ftw;
  const UINT8     *Write = Store->Image + Ftw->WorkingBase + Ftw->LastWrite;
  UINT8           *Work  = static_cast<UINT8 *> (malloc (Ftw->WorkingSize));

  if (Work == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  memset (Work, NVRAM_ERASED_BYTE, Ftw->WorkingSize);
  memcpy (Work, Store->Image + Ftw->WorkingBase, sizeof (NVRAM_FTW_WORKING_HEADER));
  Work[NVRAM_FTW_WORKING_VALID_OFFSET] = NVRAM_ERASED_BYTE;
  if ((Ftw->LastWrite < Ftw->WorkingSize) && ((Write[0] & NVRAM_FTW_HEADER_ALLOCATED_BIT) == 0) &&
      ((Write[0] & NVRAM_FTW_COMPLETE_BIT) != 0)) {
    memcpy (
        Work + sizeof (NVRAM_FTW_WORKING_HEADER), Write,
        NvramFtwWriteSize (Write, Ftw->WorkingSize - Ftw->LastWrite));
  }

  FillSpare (Store, Work, Ftw->WorkingSize);
  NvramFlushWrites (Store);
  NvramWriteState (
      Store, Ftw->SpareBase + NVRAM_FTW_WORKING_VALID_OFFSET, (UINT8)~NVRAM_FTW_WORKING_VALID_BIT);
  NvramFlushWrites (Store);
  NvramWriteState (
      Store, Ftw->WorkingBase + NVRAM_FTW_WORKING_VALID_OFFSET,
      (UINT8)~NVRAM_FTW_WORKING_INVALID_BIT);
  NvramFlushWrites (Store);
  NvramFtwRestoreWorkingBlock (Store);
  NvramEraseBytes (Store, Ftw->SpareBase, Ftw->SpareSize);
  Ftw->LastWrite = NvramFindLastWrite (Store);
  free (Work);
  return EFI_SUCCESS;
}

// FtwAllocate's write header for one write without private data, as it lays it in erased bytes.
static VOID
AllocateWrite (NVRAM_STORE *Store, UINTN Write)
{
  UINT8  Header[NVRAM_FTW_WRITE_HEADER_SIZE];
  UINT64 Writes  = 1;
  UINT64 Private = 0;

  memset (Header, NVRAM_ERASED_BYTE, sizeof (Header));
  Header[0] = (UINT8)~NVRAM_FTW_HEADER_ALLOCATED_BIT;
  memcpy (Header + NVRAM_FTW_WRITE_HEADER_CALLER, &mCallerGuid, sizeof (mCallerGuid));
  memcpy (Header + NVRAM_FTW_WRITE_HEADER_WRITES, &Writes, sizeof (Writes));
  memcpy (Header + NVRAM_FTW_WRITE_HEADER_PRIVATE, &Private, sizeof (Private));
  NvramWriteBytes (Store, Write, Header, sizeof (Header));
  NvramWriteState (Store, Write, (UINT8)~NVRAM_FTW_WRITES_ALLOCATED_BIT);
}

// FtwWrite's record of the write: the target's block and offset in it, its length, and where the
// target lies from the spare area.
static VOID
RecordWrite (NVRAM_STORE *Store, UINTN Record, UINTN Offset, UINTN Length)
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
  NvramWriteBytes (Store, Record, Bytes, sizeof (Bytes));
}

EFI_STATUS
NvramFtwWrite (NVRAM_STORE *Store, UINTN Offset, UINTN Length, const UINT8 *Buffer)
{
  NVRAM_FTW_AREAS *Ftw = &Store->Ftw;
  UINTN            Target;
  UINTN            Span;
  NVRAM_FTW_WRITE  Queued;

  if (Ftw->SpareSize == 0) {
    return EFI_UNSUPPORTED;
  }

  Target = Offset - Offset % Ftw->BlockSize;
  Span   = NvramWholeBlocks (Offset + Length - Target, Ftw->BlockSize);
  if (Span > Ftw->SpareSize) {
    return EFI_UNSUPPORTED;
  }

  // FtwAllocate reclaims a queue without room for one more write.
  if ((Ftw->LastWrite + NVRAM_FTW_WRITE_HEADER_SIZE + NVRAM_FTW_WRITE_RECORD_SIZE >
       Ftw->WorkingSize) &&
      EFI_ERROR (NvramFtwReclaimQueue (Store))) {
    return EFI_OUT_OF_RESOURCES;
  }

  Queued.Write  = Ftw->WorkingBase + Ftw->LastWrite;
  Queued.Record = Queued.Write + NVRAM_FTW_WRITE_HEADER_SIZE;
  Queued.Last   = Queued.Record;
  Queued.Target = Target;
  Queued.Span   = Span;
  AllocateWrite (Store, Queued.Write);
  RecordWrite (Store, Queued.Record, Offset, Length);
  // The target's blocks with Buffer in them, built in the spare area.
  NvramWriteBytes (Store, Ftw->SpareBase, Store->Image + Target, Offset - Target);
  NvramWriteBytes (Store, Ftw->SpareBase + Offset - Target, Buffer, Length);
  NvramWriteBytes (
      Store, Ftw->SpareBase + Offset + Length - Target, Store->Image + Offset + Length,
      Target + Span - Offset - Length);
  NvramEraseBytes (Store, Ftw->SpareBase + Span, Ftw->SpareSize - Span);
  NvramFlushWrites (Store);
  NvramWriteState (Store, Queued.Record, (UINT8)~NVRAM_FTW_SPARE_COMPLETE_BIT);
  NvramFlushWrites (Store);
  NvramFtwFinishWrite (Store, &Queued);
  NvramEraseBytes (Store, Ftw->SpareBase, Ftw->SpareSize);
  Ftw->LastWrite = Queued.Record + NVRAM_FTW_WRITE_RECORD_SIZE - Ftw->WorkingBase;
  return EFI_SUCCESS;
}

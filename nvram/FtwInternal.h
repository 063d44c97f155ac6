/** @file
  The fault-tolerant write as the store library carries it out on the areas
  that OVMF's file holds after the store (FaultTolerantWrite.cpp,
  WorkingBlock.cpp, FtwRestart.cpp): shared by the library's files alone.
**/

#ifndef FTW_INTERNAL_H_
#define FTW_INTERNAL_H_

#include "nvram/StoreCommon.h"
#include "nvram/WritePlanInternal.h"

// FTW_BLOCKS in bytes: Length rounded up to whole blocks.
static inline UINTN
NvramWholeBlocks (UINTN Length, UINTN BlockSize)
{
  return (Length + BlockSize - 1) / BlockSize * BlockSize;
}

// FTW_WRITE_TOTAL_SIZE of the write header at Write, or Limit when it runs past Limit bytes.
static inline UINTN
NvramFtwWriteSize (const UINT8 *Write, UINTN Limit)
{
  UINT64 Writes;
  UINT64 Private;

  // A header cut by Limit is not read.
  if (Limit < NVRAM_FTW_WRITE_HEADER_SIZE) {
    return Limit;
  }

  memcpy (&Writes, Write + NVRAM_FTW_WRITE_HEADER_WRITES, sizeof (Writes));
  memcpy (&Private, Write + NVRAM_FTW_WRITE_HEADER_PRIVATE, sizeof (Private));
  // Divided rather than multiplied, so that no count from the file overflows.
  if ((Private > Limit) ||
      (Writes > (Limit - NVRAM_FTW_WRITE_HEADER_SIZE) / (NVRAM_FTW_WRITE_RECORD_SIZE + Private))) {
    return Limit;
  }

  return NVRAM_FTW_WRITE_HEADER_SIZE + (UINTN)(Writes * (NVRAM_FTW_WRITE_RECORD_SIZE + Private));
}

/**
  Checks that Length bytes at Offset can be written through the
  fault-tolerant write areas, as FtwWrite checks before it writes, and
  gives the room in a plan that NvramFtwWrite takes for them.

  @retval TRUE   They can; Room holds the room.
  @retval FALSE  The file has no spare area for their blocks.
**/
BOOLEAN
NvramFtwWriteRoom (const NVRAM_STORE *Store, UINTN Offset, UINTN Length, NVRAM_ROOM *Room);

/**
  Writes Length bytes of Buffer over the image at Offset through the
  fault-tolerant write areas, as FtwWrite does: the write queued in the
  working block, the new blocks built in the spare area, then copied in
  place, the write marked done and the spare area erased. The queue is
  reclaimed first when it has no room for the write. NvramFtwWriteRoom has
  accepted the write, and its room is reserved in Plan.
**/
VOID NvramFtwWrite (
    NVRAM_STORE      *Store,
    NVRAM_WRITE_PLAN *Plan,
    UINTN             Offset,
    UINTN             Length,
    const UINT8      *Buffer);

/**
  Completes what a fault-tolerant write left pending, as InitFtwProtocol
  does: see RecoverNvramStore.

  @retval NvramStoreValid       Nothing is pending any more.
  @retval NvramWriteInProgress  A write this code does not complete, or no
                                memory for the plan; the image and the plan
                                are unchanged.
**/
NVRAM_STORE_CHECK
NvramFtwRecover (NVRAM_STORE *Store, NVRAM_WRITE_PLAN *Plan);

/**
  Finds the fault-tolerant write working block after the store and the
  spare area after it, and checks that the working block is valid and that
  no write it records is still in progress.

  @retval NvramStoreValid       The areas are in Store->Ftw.
  @retval NvramWriteInProgress  A write is pending, or the working block was
                                being rewritten; Store->Ftw is set.
  @return                       Another reason to refuse the file.
**/
NVRAM_STORE_CHECK
NvramCheckWorkingBlock (NVRAM_STORE *Store);

/**
  Tells whether the working block header at Base is the one the FTW driver
  writes and accepts (IsValidWorkSpace), giving its size with the queue.
**/
BOOLEAN
NvramIsValidWorkingHeader (const NVRAM_STORE *Store, UINTN Base, UINTN *WorkingSize);

/**
  Finds the queue's last write header, as FtwGetLastWriteHeader does: the
  first not complete. Its offset from the working block, or WorkingSize
  when every write up to the end of the queue is complete.
**/
UINTN
NvramFindLastWrite (const NVRAM_STORE *Store);

/**
  Tells whether the queue is erased after the write header at Write (from
  the working block), and after that write's records when it has any, as
  InitFtwProtocol requires.
**/
BOOLEAN
NvramQueueIsErasedAfter (const NVRAM_STORE *Store, UINTN Write);

///
/// A queued write as FtwWriteRecord finishes it: offsets into the image.
///
typedef struct {
  UINTN Write;  ///< The write header.
  UINTN Record; ///< Its first record not in place; 0 when none fits the queue.
  UINTN Last;   ///< Its last record.
  UINTN Target; ///< Where Record's blocks go: the start of a block.
  UINTN Span;   ///< The size of those blocks, built in the spare area.
} NVRAM_FTW_WRITE;

/**
  FtwWriteRecord for a target outside the working block: the blocks copied
  from the spare area in place, then the record marked in place and, after
  the last record, the write complete.
**/
VOID NvramFtwFinishWrite (NVRAM_STORE *Store, NVRAM_WRITE_PLAN *Plan, const NVRAM_FTW_WRITE *Write);

// What NvramFtwFinishWrite records: the Span bytes of the target, two marks and two flushes.
static inline NVRAM_ROOM
NvramFtwFinishRoom (UINTN Span)
{
  return { 5, Span + 2 };
}

/**
  FlushSpareBlockToWorkingBlock: see FaultTolerantWrite.cpp.
**/
VOID NvramFtwRestoreWorkingBlock (NVRAM_STORE *Store, NVRAM_WRITE_PLAN *Plan);

// What NvramFtwRestoreWorkingBlock records: the working block in two writes, a mark, two flushes.
static inline NVRAM_ROOM
NvramFtwRestoreRoom (UINTN WorkingSize)
{
  return { 5, WorkingSize + 1 };
}

/**
  FtwReclaimWorkSpace, keeping the last write when it is pending: see
  FaultTolerantWrite.cpp. Store->Ftw.LastWrite is updated.
**/
VOID NvramFtwReclaimQueue (NVRAM_STORE *Store, NVRAM_WRITE_PLAN *Plan);

/**
  The room in a plan that NvramFtwReclaimQueue takes.
**/
NVRAM_ROOM
NvramFtwReclaimQueueRoom (const NVRAM_STORE *Store);

#endif

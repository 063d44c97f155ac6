/** @file
  The fault-tolerant write areas after the variable store, found and checked
  as the FTW driver does when it starts (FindFvbForFtw, InitFtwProtocol):
  the working block with its queue of writes, and the spare area.
**/

#include "nvram/FtwInternal.h"

static const EFI_GUID mWorkingBlockGuid = NVRAM_WORKING_BLOCK_SIGNATURE_GUID;

/**
  The CRC-32 of the working block header, as FtwCalculateCrc32 computes it
  through the boot service CalculateCrc32.
**/
static UINT32
Crc32 (const UINT8 *Bytes, UINTN Size)
{
  UINT32 Crc;

  Crc = 0xFFFFFFFF;
  for (UINTN Index = 0; Index < Size; Index++) {
    Crc ^= Bytes[Index];
    for (int Bit = 0; Bit < 8; Bit++) {
      Crc = (Crc >> 1) ^ (0xEDB88320 & (0 - (Crc & 1)));
    }
  }

  return ~Crc;
}

/**
  IsValidWorkSpace compares the header with the one InitializeLocalWorkSpaceHeader
  builds: the signature, the CRC over the header with the CRC and the valid
  bits erased, then the valid bit set. The driver knows the queue's size
  from its PCDs; here the header's own WriteQueueSize must fit the volume.
**/
BOOLEAN
NvramIsValidWorkingHeader (const NVRAM_STORE *Store, UINTN Base, UINTN *WorkingSize)
{
  NVRAM_FTW_WORKING_HEADER Header;
  NVRAM_FTW_WORKING_HEADER Erased;
  UINTN                    VolumeEnd = Store->VolumeSize;

  if ((Base > VolumeEnd) || (VolumeEnd - Base < sizeof (Header))) {
    return FALSE;
  }

  memcpy (&Header, Store->Image + Base, sizeof (Header));
  Erased = Header;
  memset (&Erased.Crc, NVRAM_ERASED_BYTE, sizeof (Erased.Crc));
  Erased.ValidBits = NVRAM_ERASED_BYTE;
  if (!IsSameGuid (&Header.Signature, &mWorkingBlockGuid) ||
      (Crc32 (reinterpret_cast<const UINT8 *> (&Erased), sizeof (Erased)) != Header.Crc) ||
      (Header.ValidBits != NVRAM_FTW_WORKING_VALID_BITS) ||
      (memcmp (Header.Reserved3, "\xFF\xFF\xFF", sizeof (Header.Reserved3)) != 0) ||
      (Header.WriteQueueSize > VolumeEnd - Base - sizeof (Header))) {
    return FALSE;
  }

  *WorkingSize = sizeof (Header) + (UINTN)Header.WriteQueueSize;
  return TRUE;
}

UINTN
NvramFindLastWrite (const NVRAM_STORE *Store)
{
  const UINT8 *Queue = Store->Image + Store->Ftw.WorkingBase;
  UINTN        Size  = Store->Ftw.WorkingSize;
  UINTN        Offset;

  for (Offset = sizeof (NVRAM_FTW_WORKING_HEADER); Offset + NVRAM_FTW_WRITE_HEADER_SIZE <= Size;
       Offset += NvramFtwWriteSize (Queue + Offset, Size)) {
    if ((Queue[Offset] & NVRAM_FTW_COMPLETE_BIT) != 0) {
      return Offset;
    }
  }

  return Size;
}

// The smallest working block that holds its header and a write of one record after a reclaim
// of its queue, as FtwAllocate requires of the queue.
static const UINTN mSmallestQueue =
    sizeof (NVRAM_FTW_WORKING_HEADER) + NVRAM_FTW_WRITE_HEADER_SIZE + NVRAM_FTW_WRITE_RECORD_SIZE;

/**
  The spare area follows the working block and runs to the end of the
  volume, as OVMF and ArmVirtQemu lay them out; the driver's rules
  (FindFvbForFtw, FtwWrite, InitFtwDevice, InitFtwProtocol) are checked for
  the writes made here: a working block of whole blocks with room for one
  write, and a spare area of whole blocks that holds the blocks of the
  store and the working block, which the reclaim of a full queue rebuilds
  there.
**/
static VOID
FindSpareArea (NVRAM_STORE *Store)
{
  NVRAM_FTW_AREAS *Ftw  = &Store->Ftw;
  UINTN            Size = Store->VolumeSize;

  Ftw->SpareBase = Ftw->WorkingBase + Ftw->WorkingSize;
  Ftw->SpareSize = 0;
  if ((Ftw->BlockSize != 0) && (Ftw->WorkingSize % Ftw->BlockSize == 0) &&
      (Ftw->SpareBase < Size) && ((Size - Ftw->SpareBase) % Ftw->BlockSize == 0) &&
      (Size - Ftw->SpareBase >= NvramWholeBlocks (Store->StoreEnd, Ftw->BlockSize)) &&
      (Size - Ftw->SpareBase >= Ftw->WorkingSize) && (Ftw->WorkingSize >= mSmallestQueue)) {
    Ftw->SpareSize = Size - Ftw->SpareBase;
  }

  Ftw->SpareHasVolume = (Ftw->SpareSize != 0) && (memcmp (
                                                      Store->Image + Ftw->SpareBase, Store->Image,
                                                      offsetof (NVRAM_FV_HEADER, Attributes)) == 0);
}

BOOLEAN
NvramQueueIsErasedAfter (const NVRAM_STORE *Store, UINTN Write)
{
  const UINT8 *Queue = Store->Image + Store->Ftw.WorkingBase;
  UINTN        Size  = Store->Ftw.WorkingSize;
  UINTN        Offset;

  Offset = Write;
  if ((Offset < Size) && (Queue[Offset] != NVRAM_ERASED_BYTE)) {
    // A write header cut by the end of the queue is not erased either.
    if (Size - Offset < NVRAM_FTW_WRITE_HEADER_SIZE) {
      return FALSE;
    }

    Offset += NvramFtwWriteSize (Queue + Offset, Size - Offset);
  }

  return (Offset >= Size) || NvramIsErased (Queue + Offset, Size - Offset);
}

/**
  The queue's last write must not be pending, and the queue after it must
  be erased, or InitFtwProtocol would act on them.
**/
static NVRAM_STORE_CHECK
CheckQueue (NVRAM_STORE *Store)
{
  NVRAM_FTW_AREAS *Ftw = &Store->Ftw;

  Ftw->LastWrite = NvramFindLastWrite (Store);
  if ((Ftw->LastWrite < Ftw->WorkingSize) &&
      ((Store->Image[Ftw->WorkingBase + Ftw->LastWrite] & NVRAM_FTW_HEADER_ALLOCATED_BIT) == 0)) {
    return Refuse (Store, Ftw->WorkingBase + Ftw->LastWrite, NvramWriteInProgress);
  }

  if (!NvramQueueIsErasedAfter (Store, Ftw->LastWrite)) {
    return Refuse (Store, Ftw->WorkingBase + Ftw->LastWrite, NvramWriteInProgress);
  }

  return NvramStoreValid;
}

/**
  Finds the working block by its signature on the blocks of the block map,
  where FindFvbForFtw finds it by its address: OVMF puts it on the first
  block boundary after the store and its event log. A working block that
  is not valid was being rewritten when the spare area holds a valid one.
**/
NVRAM_STORE_CHECK
NvramCheckWorkingBlock (NVRAM_STORE *Store)
{
  NVRAM_FTW_AREAS         *Ftw = &Store->Ftw;
  NVRAM_FV_BLOCK_MAP_ENTRY Entry;
  NVRAM_FTW_WORKING_HEADER Header;
  UINTN                    Block;
  UINTN                    SpareSize;
  BOOLEAN                  OneBlockSize;

  memset (Ftw, 0, sizeof (*Ftw));
  Block        = 0;
  OneBlockSize = TRUE;
  for (UINTN MapOffset = sizeof (NVRAM_FV_HEADER);; MapOffset += sizeof (Entry)) {
    memcpy (&Entry, Store->Image + MapOffset, sizeof (Entry));
    if (Entry.Length == 0) {
      break;
    }

    // One block size for the whole volume, as FtwWrite assumes.
    OneBlockSize   = OneBlockSize && ((Ftw->BlockSize == 0) || (Ftw->BlockSize == Entry.Length));
    Ftw->BlockSize = Entry.Length;
    // Blocks the map gives past the volume (AAVMF's map covers the whole flash) hold nothing.
    for (UINT32 Index = 0;
         (Index < Entry.NumBlocks) && (Ftw->WorkingBase == 0) && (Block < Store->VolumeSize);
         Index++, Block += Entry.Length) {
      if ((Block >= Store->StoreEnd) &&
          (Store->VolumeSize - Block >= sizeof (NVRAM_FTW_WORKING_HEADER)) &&
          (memcmp (Store->Image + Block, &mWorkingBlockGuid, sizeof (EFI_GUID)) == 0)) {
        Ftw->WorkingBase = Block;
      }
    }
  }

  if (Ftw->WorkingBase == 0) {
    return Refuse (Store, Store->StoreEnd, NvramNoWorkingBlock);
  }

  if (!OneBlockSize) {
    Ftw->BlockSize = 0;
  }

  if (NvramIsValidWorkingHeader (Store, Ftw->WorkingBase, &Ftw->WorkingSize)) {
    FindSpareArea (Store);
    return CheckQueue (Store);
  }

  // Where the spare area would be, from the queue size the damaged header still gives.
  memcpy (&Header, Store->Image + Ftw->WorkingBase, sizeof (Header));
  Ftw->WorkingSize =
      (Header.WriteQueueSize <= Store->VolumeSize - Ftw->WorkingBase - sizeof (Header))
          ? sizeof (Header) + (UINTN)Header.WriteQueueSize
          : 0;
  FindSpareArea (Store);
  if ((Ftw->SpareSize != 0) && NvramIsValidWorkingHeader (Store, Ftw->SpareBase, &SpareSize) &&
      (SpareSize == Ftw->WorkingSize)) {
    return Refuse (Store, Ftw->WorkingBase, NvramWriteInProgress);
  }

  return Refuse (Store, Ftw->WorkingBase, NvramBadWorkingBlock);
}

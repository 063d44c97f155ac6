/** @file
  The checks that open an NVRAM file: the firmware volume header, the
  variable store header and the fault-tolerant write working block, as OVMF's
  flash driver (QemuFlashFvbServicesRuntimeDxe), the variable driver's
  InitRealNonVolatileVariableStore and the fault-tolerant write driver
  (FaultTolerantWriteDxe) check them when the firmware starts.
**/

#include "varstore/VariableStoreInternal.h"

static const EFI_GUID mNvDataFvGuid      = NVRAM_SYSTEM_NV_DATA_FV_GUID;
static const EFI_GUID mAuthenticatedGuid = NVRAM_AUTHENTICATED_VARIABLE_GUID;
static const EFI_GUID mVariableGuid      = NVRAM_VARIABLE_GUID;
static const EFI_GUID mWorkingBlockGuid  = NVRAM_WORKING_BLOCK_SIGNATURE_GUID;

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

// The offset of the first byte from Start on that is not zero, or End when there is none; by
// pages first, as AAVMF's padding is 63 MiB.
static UINTN
FirstNonZero (const UINT8 *Bytes, UINTN Start, UINTN End)
{
  static const UINT8 Zeros[4096] = { 0 };

  while ((End - Start >= sizeof (Zeros)) && (memcmp (Bytes + Start, Zeros, sizeof (Zeros)) == 0)) {
    Start += sizeof (Zeros);
  }

  while ((Start < End) && (Bytes[Start] == 0)) {
    Start++;
  }

  return Start;
}

/**
  ValidateFvHeader (signature, revision, header length and checksum), the
  file system GUID that InitRealNonVolatileVariableStore checks, and the
  block map that FvbInitialize walks; stricter than the firmware where a
  wrong value would send this code's offsets astray.
**/
NVRAM_STORE_CHECK
NvramCheckVolumeHeader (NVRAM_STORE *Store, NVRAM_FV_HEADER *Volume)
{
  const UINT8             *Image = Store->Image;
  NVRAM_FV_BLOCK_MAP_ENTRY Entry;
  UINT16                   Sum;
  UINT64                   Blocks;
  UINTN                    Offset;

  if (Store->ImageSize < sizeof (*Volume) + sizeof (Entry)) {
    return Refuse (Store, 0, NvramTruncatedVolumeHeader);
  }

  memcpy (Volume, Image, sizeof (*Volume));
  if (Volume->Signature != NVRAM_FVH_SIGNATURE) {
    return Refuse (
        Store, offsetof (NVRAM_FV_HEADER, Signature),
        (FirstNonZero (Image, 0, Store->ImageSize) == Store->ImageSize) ? NvramUnformattedFlash
                                                                        : NvramNotFirmwareVolume);
  }

  if (!IsSameGuid (&Volume->FileSystemGuid, &mNvDataFvGuid)) {
    return Refuse (Store, offsetof (NVRAM_FV_HEADER, FileSystemGuid), NvramNotNvDataVolume);
  }

  if (Volume->Revision != NVRAM_FVH_REVISION) {
    return Refuse (Store, offsetof (NVRAM_FV_HEADER, Revision), NvramUnknownVolumeRevision);
  }

  if (Volume->HeaderLength > Store->ImageSize) {
    return Refuse (Store, offsetof (NVRAM_FV_HEADER, HeaderLength), NvramTruncatedVolumeHeader);
  }

  // The store follows the header, and its records are aligned to 4 bytes.
  if ((Volume->HeaderLength < sizeof (*Volume) + sizeof (Entry)) ||
      (Volume->HeaderLength % NVRAM_HEADER_ALIGNMENT != 0)) {
    return Refuse (Store, offsetof (NVRAM_FV_HEADER, HeaderLength), NvramBadVolumeHeaderLength);
  }

  // CalculateSum16 over the header, its Checksum field included.
  Sum = 0;
  for (Offset = 0; Offset < Volume->HeaderLength; Offset += sizeof (UINT16)) {
    Sum = (UINT16)(Sum + (Image[Offset] | (Image[Offset + 1] << 8)));
  }

  if (Sum != 0) {
    return Refuse (Store, offsetof (NVRAM_FV_HEADER, Checksum), NvramBadVolumeChecksum);
  }

  if (Volume->FvLength > Store->ImageSize) {
    return Refuse (Store, offsetof (NVRAM_FV_HEADER, FvLength), NvramVolumeLengthMismatch);
  }

  // The padding rule: zeros only after the volume, as truncate, a copy from /dev/zero and
  // Debian's AAVMF files pad it, and the firmware never reads or writes them. Other bytes mean
  // the file holds more than a variable store (a firmware image with its code after the
  // variables, say), which is not this tool's to rewrite.
  Offset = FirstNonZero (Image, Volume->FvLength, Store->ImageSize);
  if (Offset != Store->ImageSize) {
    return Refuse (Store, Offset, NvramPaddingNotZero);
  }

  Store->VolumeSize = Volume->FvLength;

  Blocks = 0;
  for (Offset = sizeof (*Volume);; Offset += sizeof (Entry)) {
    if (Offset + sizeof (Entry) > Volume->HeaderLength) {
      return Refuse (Store, Offset, NvramBadBlockMap);
    }

    memcpy (&Entry, Image + Offset, sizeof (Entry));
    if ((Entry.NumBlocks == 0) && (Entry.Length == 0)) {
      break;
    }

    Blocks += (UINT64)Entry.NumBlocks * Entry.Length;
    if ((Entry.NumBlocks == 0) || (Entry.Length == 0) || (Blocks > Store->ImageSize)) {
      return Refuse (Store, Offset, NvramBadBlockMap);
    }
  }

  // The map covers the volume, or the whole flash device as AAVMF's flash driver
  // (VirtNorFlashDxe) writes it when it formats the volume.
  if ((Blocks != Volume->FvLength) && (Blocks != Store->ImageSize)) {
    return Refuse (Store, Offset, NvramBadBlockMap);
  }

  if ((Volume->Attributes & NVRAM_FVB2_ERASE_POLARITY) == 0) {
    return Refuse (Store, offsetof (NVRAM_FV_HEADER, Attributes), NvramUnknownErasePolarity);
  }

  return NvramStoreValid;
}

/**
  GetVariableStoreStatus, less the store without authentication fields,
  which this code does not edit; with the store's bounds as GetStartPointer
  and GetEndPointer give them.
**/
NVRAM_STORE_CHECK
NvramCheckStoreHeader (NVRAM_STORE *Store, const NVRAM_FV_HEADER *Volume)
{
  NVRAM_STORE_HEADER Header;

  Store->StoreBase = Volume->HeaderLength;
  if ((Store->StoreBase > Store->VolumeSize) ||
      (Store->VolumeSize - Store->StoreBase < sizeof (Header))) {
    return Refuse (Store, Store->StoreBase, NvramTruncatedStoreHeader);
  }

  memcpy (&Header, Store->Image + Store->StoreBase, sizeof (Header));
  if (IsSameGuid (&Header.Signature, &mVariableGuid)) {
    return Refuse (Store, Store->StoreBase, NvramUnauthenticatedStore);
  }

  if (!IsSameGuid (&Header.Signature, &mAuthenticatedGuid)) {
    return Refuse (Store, Store->StoreBase, NvramUnknownStoreSignature);
  }

  if ((Header.Format != NVRAM_STORE_FORMATTED) || (Header.State != NVRAM_STORE_HEALTHY)) {
    return Refuse (
        Store, Store->StoreBase + offsetof (NVRAM_STORE_HEADER, Format), NvramStoreNotHealthy);
  }

  if ((Header.Size < sizeof (Header)) || (Header.Size > Store->VolumeSize - Store->StoreBase) ||
      (Header.Size % NVRAM_HEADER_ALIGNMENT != 0)) {
    return Refuse (
        Store, Store->StoreBase + offsetof (NVRAM_STORE_HEADER, Size), NvramBadStoreSize);
  }

  Store->StoreEnd    = Store->StoreBase + Header.Size;
  Store->FirstRecord = AlignRecord (Store->StoreBase + sizeof (Header));
  return NvramStoreValid;
}

/**
  Checks the working block as the fault-tolerant write driver does when it
  starts (InitFtwProtocol): its header must be the one that
  InitializeLocalWorkSpaceHeader builds and IsValidWorkSpace compares with
  (signature, CRC over the header with the CRC and the valid bits erased,
  then valid set), and the write that FtwGetLastWriteHeader finds, the first
  not complete, must not have been allocated, or the driver would finish it.
**/
static NVRAM_STORE_CHECK
CheckWorkingBlockAt (NVRAM_STORE *Store, UINTN Base)
{
  const UINT8             *Image = Store->Image;
  NVRAM_FTW_WORKING_HEADER Header;
  NVRAM_FTW_WORKING_HEADER Erased;
  UINT64                   Writes;
  UINT64                   Private;
  UINT64                   WorkSpaceSize;
  UINT64                   Offset;

  memcpy (&Header, Image + Base, sizeof (Header));
  Erased = Header;
  memset (&Erased.Crc, NVRAM_ERASED_BYTE, sizeof (Erased.Crc));
  Erased.ValidBits = NVRAM_ERASED_BYTE;
  if ((Crc32 (reinterpret_cast<const UINT8 *> (&Erased), sizeof (Erased)) != Header.Crc) ||
      (Header.ValidBits != NVRAM_FTW_WORKING_VALID_BITS) ||
      (memcmp (Header.Reserved3, "\xFF\xFF\xFF", sizeof (Header.Reserved3)) != 0) ||
      (Header.WriteQueueSize > Store->VolumeSize - Base - sizeof (Header))) {
    return Refuse (Store, Base, NvramBadWorkingBlock);
  }

  // A queue that runs out holds only finished writes; the driver just reclaims it.
  WorkSpaceSize = sizeof (Header) + Header.WriteQueueSize;
  for (Offset = sizeof (Header); Offset + NVRAM_FTW_WRITE_HEADER_SIZE <= WorkSpaceSize;) {
    const UINT8 *Write = Image + Base + Offset;

    if ((Write[0] & NVRAM_FTW_COMPLETE_BIT) != 0) {
      if ((Write[0] & NVRAM_FTW_HEADER_ALLOCATED_BIT) == 0) {
        return Refuse (Store, Base + Offset, NvramWriteInProgress);
      }

      break;
    }

    memcpy (&Writes, Write + NVRAM_FTW_WRITE_HEADER_WRITES, sizeof (Writes));
    memcpy (&Private, Write + NVRAM_FTW_WRITE_HEADER_PRIVATE, sizeof (Private));
    if ((Private > WorkSpaceSize) || (Writes > WorkSpaceSize / NVRAM_FTW_WRITE_RECORD_SIZE)) {
      break;
    }

    Offset += NVRAM_FTW_WRITE_HEADER_SIZE + Writes * (NVRAM_FTW_WRITE_RECORD_SIZE + Private);
  }

  return NvramStoreValid;
}

/**
  Finds the working block by its signature on the blocks of the block map,
  where FindFvbForFtw finds it by its address: OVMF puts it on the first
  block boundary after the store and its event log.
**/
NVRAM_STORE_CHECK
NvramCheckWorkingBlock (NVRAM_STORE *Store)
{
  NVRAM_FV_BLOCK_MAP_ENTRY Entry;
  UINTN                    Block;

  Block = 0;
  for (UINTN MapOffset = sizeof (NVRAM_FV_HEADER);; MapOffset += sizeof (Entry)) {
    memcpy (&Entry, Store->Image + MapOffset, sizeof (Entry));
    if (Entry.Length == 0) {
      break;
    }

    for (UINT32 Index = 0; Index < Entry.NumBlocks; Index++, Block += Entry.Length) {
      if ((Block >= Store->StoreEnd) &&
          (Block + sizeof (NVRAM_FTW_WORKING_HEADER) <= Store->VolumeSize) &&
          (memcmp (Store->Image + Block, &mWorkingBlockGuid, sizeof (EFI_GUID)) == 0)) {
        return CheckWorkingBlockAt (Store, Block);
      }
    }
  }

  return Refuse (Store, Store->StoreEnd, NvramNoWorkingBlock);
}

/** @file
  The variable store of an OVMF NVRAM file, after EDK II's variable driver
  (MdeModulePkg/Universal/Variable/RuntimeDxe) and fault-tolerant write
  driver (FaultTolerantWriteDxe): records are walked, matched, appended,
  retired and reclaimed as they do it, so that the firmware reads the result
  as if it had written it itself.
**/

#include "varstore/VariableStore.h"

#include "varstore/VariableStoreFormat.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// PcdMaxVariableSize of OVMF's 2 MB builds, the smallest it is built with, so
// that every OVMF build would have accepted a variable written here.
#define NVRAM_MAX_VARIABLE_SIZE 0x2000

#define NVRAM_VARIABLE_ATTRIBUTES                                                                  \
  (EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS)
#define NVRAM_KNOWN_ATTRIBUTES                                                                     \
  (NVRAM_VARIABLE_ATTRIBUTES | EFI_VARIABLE_HARDWARE_ERROR_RECORD |                                \
   EFI_VARIABLE_AUTHENTICATED_WRITE_ACCESS | EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS |  \
   EFI_VARIABLE_APPEND_WRITE)

static const EFI_GUID mNvDataFvGuid      = NVRAM_SYSTEM_NV_DATA_FV_GUID;
static const EFI_GUID mAuthenticatedGuid = NVRAM_AUTHENTICATED_VARIABLE_GUID;
static const EFI_GUID mVariableGuid      = NVRAM_VARIABLE_GUID;
static const EFI_GUID mWorkingBlockGuid  = NVRAM_WORKING_BLOCK_SIGNATURE_GUID;
static const UINTN    mRecordHeaderSize  = sizeof (NVRAM_VARIABLE_HEADER);
static const UINTN    mRecordStateOffset = offsetof (NVRAM_VARIABLE_HEADER, State);
static const UINT32   mErasedField       = 0xFFFFFFFF;

///
/// One record as the variable driver reads it.
///
typedef struct {
  UINTN    Offset;
  UINT8    State;
  UINT32   Attributes;
  UINTN    NameSize;
  UINTN    DataSize;
  EFI_GUID VendorGuid;
  UINTN    Next;
} NVRAM_RECORD;

typedef enum { NvramRecordFound, NvramRecordsEnd, NvramRecordOverrun } NVRAM_RECORD_READ;

///
/// The result of a lookup, as FindVariableEx gives it: the live record, and
/// an older record of the same variable still in transition when both exist.
///
typedef struct {
  BOOLEAN      Found;
  NVRAM_RECORD Live;
  BOOLEAN      HasInDeleted;
  NVRAM_RECORD InDeleted;
} NVRAM_LOOKUP;

static BOOLEAN
IsSameGuid (const EFI_GUID *First, const EFI_GUID *Second)
{
  return memcmp (First, Second, sizeof (EFI_GUID)) == 0;
}

static UINTN
AlignRecord (UINTN Offset)
{
  return (Offset + NVRAM_HEADER_ALIGNMENT - 1) & ~(UINTN)(NVRAM_HEADER_ALIGNMENT - 1);
}

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

static NVRAM_STORE_CHECK
Refuse (NVRAM_STORE *Store, UINTN Offset, NVRAM_STORE_CHECK Check)
{
  Store->CheckOffset = Offset;
  return Check;
}

static UINTN
StrSizeOf (const UCS2_CHAR *String)
{
  UINTN Length;

  for (Length = 0; String[Length] != 0; Length++) {
  }

  return (Length + 1) * sizeof (UCS2_CHAR);
}

/**
  Reads the record at Offset. As in the variable driver, the records end at
  the first offset without the start marker, and a record whose header was
  never completed (State or a size still erased) counts as a bare header.
**/
static NVRAM_RECORD_READ
ReadRecord (const UINT8 *Image, UINTN Offset, UINTN End, NVRAM_RECORD *Record)
{
  NVRAM_VARIABLE_HEADER Header;
  UINT16                StartId;
  UINTN                 Body;

  if ((Offset >= End) || (End - Offset < sizeof (StartId))) {
    return NvramRecordsEnd;
  }

  memcpy (&StartId, Image + Offset, sizeof (StartId));
  if (StartId != NVRAM_VARIABLE_DATA) {
    return NvramRecordsEnd;
  }

  if (End - Offset < mRecordHeaderSize) {
    return NvramRecordOverrun;
  }

  memcpy (&Header, Image + Offset, sizeof (Header));
  Record->Offset     = Offset;
  Record->State      = Header.State;
  Record->Attributes = Header.Attributes;
  Record->NameSize   = Header.NameSize;
  Record->DataSize   = Header.DataSize;
  Record->VendorGuid = Header.VendorGuid;
  if ((Header.State == NVRAM_ERASED_BYTE) || (Header.NameSize == mErasedField) ||
      (Header.DataSize == mErasedField) || (Header.Attributes == mErasedField)) {
    Record->NameSize = 0;
    Record->DataSize = 0;
  }

  Body = Offset + mRecordHeaderSize;
  if (Record->NameSize + Record->DataSize > End - Body) {
    return NvramRecordOverrun;
  }

  Record->Next = AlignRecord (Body + Record->NameSize + Record->DataSize);
  return NvramRecordFound;
}

static BOOLEAN
IsLive (const NVRAM_RECORD *Record)
{
  return (Record->State == NVRAM_VAR_ADDED) || (Record->State == NVRAM_VAR_ADDED_IN_TRANSITION);
}

static BOOLEAN
IsRecordOf (
    const UINT8        *Image,
    const NVRAM_RECORD *Record,
    const VOID         *Name,
    UINTN               NameSize,
    const EFI_GUID     *VendorGuid)
{
  return (Record->NameSize == NameSize) && IsSameGuid (&Record->VendorGuid, VendorGuid) &&
         (memcmp (Image + Record->Offset + mRecordHeaderSize, Name, NameSize) == 0);
}

/**
  Finds a variable as FindVariableEx does: the first fully added record, or
  failing that the last one still in transition to deletion.
**/
static VOID
FindRecord (
    const NVRAM_STORE *Store,
    const UCS2_CHAR   *Name,
    UINTN              NameSize,
    const EFI_GUID    *VendorGuid,
    NVRAM_LOOKUP      *Lookup)
{
  NVRAM_RECORD Record;
  UINTN        Offset;

  memset (Lookup, 0, sizeof (*Lookup));
  for (Offset = Store->FirstRecord;
       ReadRecord (Store->Image, Offset, Store->StoreEnd, &Record) == NvramRecordFound;
       Offset = Record.Next) {
    if (!IsLive (&Record) || !IsRecordOf (Store->Image, &Record, Name, NameSize, VendorGuid)) {
      continue;
    }

    if (Record.State == NVRAM_VAR_ADDED_IN_TRANSITION) {
      Lookup->HasInDeleted = TRUE;
      Lookup->InDeleted    = Record;
      continue;
    }

    Lookup->Found = TRUE;
    Lookup->Live  = Record;
    return;
  }

  if (Lookup->HasInDeleted) {
    Lookup->Found        = TRUE;
    Lookup->Live         = Lookup->InDeleted;
    Lookup->HasInDeleted = FALSE;
  }
}

// Flash can only clear bits, so a state changes by masking, as the driver does.
static VOID
MaskState (NVRAM_STORE *Store, const NVRAM_RECORD *Record, UINT8 Mask)
{
  Store->Image[Record->Offset + mRecordStateOffset] &= Mask;
}

static VOID
RetireRecords (NVRAM_STORE *Store, const NVRAM_LOOKUP *Lookup)
{
  if (Lookup->HasInDeleted) {
    MaskState (Store, &Lookup->InDeleted, NVRAM_VAR_DELETED);
  }

  MaskState (Store, &Lookup->Live, NVRAM_VAR_IN_DELETED_TRANSITION & NVRAM_VAR_DELETED);
}

/**
  Lays a new record out at At as UpdateVariable builds it: no authentication
  data, and the padding to the next record left erased.
**/
static VOID
WriteRecord (
    UINT8           *At,
    const UCS2_CHAR *Name,
    UINTN            NameSize,
    const EFI_GUID  *VendorGuid,
    UINT32           Attributes,
    const VOID      *Data,
    UINTN            DataSize)
{
  NVRAM_VARIABLE_HEADER Header;

  memset (&Header, 0, sizeof (Header));
  Header.StartId    = NVRAM_VARIABLE_DATA;
  Header.State      = NVRAM_VAR_ADDED;
  Header.Attributes = Attributes;
  Header.NameSize   = (UINT32)NameSize;
  Header.DataSize   = (UINT32)DataSize;
  Header.VendorGuid = *VendorGuid;
  memcpy (At, &Header, sizeof (Header));
  memcpy (At + sizeof (Header), Name, NameSize);
  memcpy (At + sizeof (Header) + NameSize, Data, DataSize);
}

static BOOLEAN
HasAddedTwin (
    const UINT8        *Buffer,
    UINTN               First,
    UINTN               End,
    const UINT8        *Image,
    const NVRAM_RECORD *Of)
{
  NVRAM_RECORD Record;

  for (UINTN Offset = First; ReadRecord (Buffer, Offset, End, &Record) == NvramRecordFound;
       Offset       = Record.Next) {
    if (IsRecordOf (
            Buffer, &Record, Image + Of->Offset + mRecordHeaderSize, Of->NameSize,
            &Of->VendorGuid)) {
      return TRUE;
    }
  }

  return FALSE;
}

/**
  Rebuilds the store as Reclaim does, with the new record at the end: every
  added record but the one being replaced, in order; then each record in
  transition that is not being replaced and has no added twin, promoted to
  added. Offsets in the scratch buffer are those of the image less the
  store's base, which is 4-aligned, so record alignment is the same.
**/
static EFI_STATUS
CompactWithRecord (
    NVRAM_STORE        *Store,
    const NVRAM_LOOKUP *Replaced,
    const UCS2_CHAR    *Name,
    UINTN               NameSize,
    const EFI_GUID     *VendorGuid,
    UINT32              Attributes,
    const VOID         *Data,
    UINTN               DataSize)
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
         ReadRecord (Image, Offset, Store->StoreEnd, &Record) == NvramRecordFound;
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
      Buffer[Out + mRecordStateOffset] = NVRAM_VAR_ADDED;
      Out += RecordSize;
    }
  }

  RecordSize = AlignRecord (mRecordHeaderSize + NameSize + DataSize);
  if (RecordSize > Size - Out) {
    free (Buffer);
    return EFI_OUT_OF_RESOURCES;
  }

  WriteRecord (Buffer + Out, Name, NameSize, VendorGuid, Attributes, Data, DataSize);
  memcpy (Store->Image + Store->StoreBase, Buffer, Size);
  Store->FreeOffset = Store->StoreBase + Out + RecordSize;
  free (Buffer);
  return EFI_SUCCESS;
}

static NVRAM_STORE_CHECK
CheckVolumeHeader (NVRAM_STORE *Store, NVRAM_FV_HEADER *Volume)
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
    return Refuse (Store, offsetof (NVRAM_FV_HEADER, Signature), NvramNotFirmwareVolume);
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

  Sum = 0;
  for (Offset = 0; Offset < Volume->HeaderLength; Offset += sizeof (UINT16)) {
    Sum = (UINT16)(Sum + (Image[Offset] | (Image[Offset + 1] << 8)));
  }

  if (Sum != 0) {
    return Refuse (Store, offsetof (NVRAM_FV_HEADER, Checksum), NvramBadVolumeChecksum);
  }

  if (Volume->FvLength != Store->ImageSize) {
    return Refuse (Store, offsetof (NVRAM_FV_HEADER, FvLength), NvramVolumeLengthMismatch);
  }

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
    if ((Entry.NumBlocks == 0) || (Entry.Length == 0) || (Blocks > Volume->FvLength)) {
      return Refuse (Store, Offset, NvramBadBlockMap);
    }
  }

  if (Blocks != Volume->FvLength) {
    return Refuse (Store, Offset, NvramBadBlockMap);
  }

  if ((Volume->Attributes & NVRAM_FVB2_ERASE_POLARITY) == 0) {
    return Refuse (Store, offsetof (NVRAM_FV_HEADER, Attributes), NvramUnknownErasePolarity);
  }

  return NvramStoreValid;
}

static NVRAM_STORE_CHECK
CheckStoreHeader (NVRAM_STORE *Store, const NVRAM_FV_HEADER *Volume)
{
  NVRAM_STORE_HEADER Header;

  Store->StoreBase = Volume->HeaderLength;
  if (Store->ImageSize - Store->StoreBase < sizeof (Header)) {
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

  if ((Header.Size < sizeof (Header)) || (Header.Size > Store->ImageSize - Store->StoreBase) ||
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
  starts: its header must be the one the driver writes (signature, CRC over
  the header with the CRC and the valid bits erased, then valid set), and the
  first write in its queue that is not complete must not have been allocated.
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
      (Header.WriteQueueSize > Store->ImageSize - Base - sizeof (Header))) {
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

// OVMF puts the working block on the first block boundary after the store and its event log.
static NVRAM_STORE_CHECK
CheckWorkingBlock (NVRAM_STORE *Store)
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
          (Store->ImageSize - Block >= sizeof (NVRAM_FTW_WORKING_HEADER)) &&
          (memcmp (Store->Image + Block, &mWorkingBlockGuid, sizeof (EFI_GUID)) == 0)) {
        return CheckWorkingBlockAt (Store, Block);
      }
    }
  }

  return Refuse (Store, Store->StoreEnd, NvramNoWorkingBlock);
}

static NVRAM_STORE_CHECK
CheckRecords (NVRAM_STORE *Store)
{
  NVRAM_RECORD      Record;
  NVRAM_RECORD_READ Read;
  UINTN             Offset;

  for (Offset = Store->FirstRecord;
       (Read = ReadRecord (Store->Image, Offset, Store->StoreEnd, &Record)) == NvramRecordFound;
       Offset = Record.Next) {
  }

  if (Read == NvramRecordOverrun) {
    return Refuse (Store, Offset, NvramRecordPastEnd);
  }

  // The driver reclaims a store whose free space is not erased; that is its repair to make.
  Store->FreeOffset = Offset;
  for (; Offset < Store->StoreEnd; Offset++) {
    if (Store->Image[Offset] != NVRAM_ERASED_BYTE) {
      return Refuse (Store, Offset, NvramFreeSpaceNotErased);
    }
  }

  return NvramStoreValid;
}

NVRAM_STORE_CHECK
OpenNvramStore (UINT8 *Image, UINTN ImageSize, NVRAM_STORE *Store)
{
  NVRAM_FV_HEADER   Volume;
  NVRAM_STORE_CHECK Check;

  memset (Store, 0, sizeof (*Store));
  Store->Image     = Image;
  Store->ImageSize = ImageSize;
  Check            = CheckVolumeHeader (Store, &Volume);
  if (Check == NvramStoreValid) {
    Check = CheckStoreHeader (Store, &Volume);
  }

  // A write in progress explains a damaged-looking store better than the records can.
  if (Check == NvramStoreValid) {
    Check = CheckWorkingBlock (Store);
  }

  if (Check == NvramStoreValid) {
    Check = CheckRecords (Store);
  }

  return Check;
}

VOID
DescribeNvramStoreCheck (NVRAM_STORE_CHECK Check, UINTN Offset, char *Buffer, UINTN BufferSize)
{
  const char *Text = "it failed an unknown check";

  switch (Check) {
  case NvramStoreValid:
    Text = "it is a valid variable store";
    break;
  case NvramTruncatedVolumeHeader:
    Text = "the file is too short to hold its firmware volume header";
    break;
  case NvramNotFirmwareVolume:
    Text = "it is not a firmware volume (no _FVH signature)";
    break;
  case NvramUnknownVolumeRevision:
    Text = "its firmware volume header has a revision other than 2";
    break;
  case NvramBadVolumeHeaderLength:
    Text = "its firmware volume header length is not valid";
    break;
  case NvramBadVolumeChecksum:
    Text = "its firmware volume header checksum is wrong (the header is damaged)";
    break;
  case NvramNotNvDataVolume:
    Text = "its firmware volume holds no non-volatile data (wrong file system GUID)";
    break;
  case NvramVolumeLengthMismatch:
    Text = "the file's size differs from its firmware volume's length (truncated or padded)";
    break;
  case NvramBadBlockMap:
    Text = "its firmware volume block map does not add up to the volume's length";
    break;
  case NvramUnknownErasePolarity:
    Text = "its firmware volume erases to 0 bits, a format this tool does not know";
    break;
  case NvramTruncatedStoreHeader:
    Text = "the variable store header runs past the end of the file";
    break;
  case NvramUnauthenticatedStore:
    Text = "its variable store lacks the authentication fields, a format this tool does not edit";
    break;
  case NvramUnknownStoreSignature:
    Text = "it holds no variable store (wrong store signature GUID)";
    break;
  case NvramStoreNotHealthy:
    Text = "its variable store header is not marked formatted and healthy";
    break;
  case NvramBadStoreSize:
    Text = "its variable store size runs past the firmware volume or is not a multiple of 4";
    break;
  case NvramNoWorkingBlock:
    Text = "no fault-tolerant write working block follows its variable store";
    break;
  case NvramBadWorkingBlock:
    Text = "its fault-tolerant write working block at offset 0x%llx is not valid (an interrupted "
           "write?); boot the machine once so that the firmware repairs it";
    break;
  case NvramWriteInProgress:
    Text = "a fault-tolerant write is in progress (queued at offset 0x%llx); boot the machine "
           "once so that the firmware completes it";
    break;
  case NvramRecordPastEnd:
    Text = "the variable record at offset 0x%llx runs past the end of the store";
    break;
  case NvramFreeSpaceNotErased:
    Text = "the free space after the last variable record is not erased (at offset 0x%llx)";
    break;
  }

  snprintf (Buffer, BufferSize, Text, (unsigned long long)Offset);
}

EFI_STATUS
NvramStoreGetVariable (
    const NVRAM_STORE *Store,
    const UCS2_CHAR   *VariableName,
    const EFI_GUID    *VendorGuid,
    UINT32            *Attributes,
    UINTN             *DataSize,
    VOID              *Data)
{
  NVRAM_LOOKUP Lookup;

  if ((VariableName == NULL) || (VendorGuid == NULL) || (DataSize == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  if (VariableName[0] == 0) {
    return EFI_NOT_FOUND;
  }

  FindRecord (Store, VariableName, StrSizeOf (VariableName), VendorGuid, &Lookup);
  if (!Lookup.Found) {
    return EFI_NOT_FOUND;
  }

  if (*DataSize >= Lookup.Live.DataSize) {
    if (Data == NULL) {
      return EFI_INVALID_PARAMETER;
    }

    memcpy (
        Data, Store->Image + Lookup.Live.Offset + mRecordHeaderSize + Lookup.Live.NameSize,
        Lookup.Live.DataSize);
  }

  if (Attributes != NULL) {
    *Attributes = Lookup.Live.Attributes;
  }

  if (*DataSize < Lookup.Live.DataSize) {
    *DataSize = Lookup.Live.DataSize;
    return EFI_BUFFER_TOO_SMALL;
  }

  *DataSize = Lookup.Live.DataSize;
  return EFI_SUCCESS;
}

/**
  The parameter checks of VariableServiceSetVariable, less those of the kinds
  of write that this store does not make.
**/
static EFI_STATUS
CheckSetParameters (
    const UCS2_CHAR *VariableName,
    const EFI_GUID  *VendorGuid,
    UINT32           Attributes,
    UINTN            DataSize,
    const VOID      *Data)
{
  if ((VariableName == NULL) || (VariableName[0] == 0) || (VendorGuid == NULL) ||
      ((DataSize != 0) && (Data == NULL)) || ((Attributes & ~NVRAM_KNOWN_ATTRIBUTES) != 0) ||
      ((Attributes & (EFI_VARIABLE_RUNTIME_ACCESS | EFI_VARIABLE_BOOTSERVICE_ACCESS)) ==
       EFI_VARIABLE_RUNTIME_ACCESS) ||
      (Attributes == EFI_VARIABLE_NON_VOLATILE)) {
    return EFI_INVALID_PARAMETER;
  }

  if (((Attributes & ~NVRAM_VARIABLE_ATTRIBUTES) != 0) ||
      ((Attributes != 0) && ((Attributes & EFI_VARIABLE_NON_VOLATILE) == 0))) {
    return EFI_UNSUPPORTED;
  }

  if ((DataSize > NVRAM_MAX_VARIABLE_SIZE) ||
      (StrSizeOf (VariableName) + DataSize > NVRAM_MAX_VARIABLE_SIZE - mRecordHeaderSize)) {
    return EFI_INVALID_PARAMETER;
  }

  return EFI_SUCCESS;
}

EFI_STATUS
NvramStoreSetVariable (
    NVRAM_STORE     *Store,
    const UCS2_CHAR *VariableName,
    const EFI_GUID  *VendorGuid,
    UINT32           Attributes,
    UINTN            DataSize,
    const VOID      *Data)
{
  EFI_STATUS   Status;
  NVRAM_LOOKUP Lookup;
  UINTN        NameSize;
  UINTN        RecordSize;

  Status = CheckSetParameters (VariableName, VendorGuid, Attributes, DataSize, Data);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  NameSize = StrSizeOf (VariableName);
  FindRecord (Store, VariableName, NameSize, VendorGuid, &Lookup);
  if (Lookup.Found && (Attributes != 0) && (Attributes != Lookup.Live.Attributes)) {
    return EFI_INVALID_PARAMETER;
  }

  if ((DataSize == 0) ||
      ((Attributes & (EFI_VARIABLE_RUNTIME_ACCESS | EFI_VARIABLE_BOOTSERVICE_ACCESS)) == 0)) {
    if (!Lookup.Found) {
      return EFI_NOT_FOUND;
    }

    if (Lookup.HasInDeleted) {
      MaskState (Store, &Lookup.InDeleted, NVRAM_VAR_DELETED);
    }

    MaskState (Store, &Lookup.Live, NVRAM_VAR_DELETED);
    return EFI_SUCCESS;
  }

  if (Lookup.Found && (Lookup.Live.DataSize == DataSize) &&
      (memcmp (
           Store->Image + Lookup.Live.Offset + mRecordHeaderSize + Lookup.Live.NameSize, Data,
           DataSize) == 0)) {
    return EFI_SUCCESS;
  }

  RecordSize = mRecordHeaderSize + NameSize + DataSize;
  if (RecordSize > Store->StoreEnd - Store->FreeOffset) {
    return CompactWithRecord (
        Store, &Lookup, VariableName, NameSize, VendorGuid, Attributes, Data, DataSize);
  }

  WriteRecord (
      Store->Image + Store->FreeOffset, VariableName, NameSize, VendorGuid, Attributes, Data,
      DataSize);
  Store->FreeOffset = AlignRecord (Store->FreeOffset + RecordSize);
  if (Lookup.Found) {
    RetireRecords (Store, &Lookup);
  }

  return EFI_SUCCESS;
}

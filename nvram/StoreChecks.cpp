/** @file
  The checks that open an NVRAM file: the firmware volume header and the
  variable store header, as OVMF's flash driver
  (QemuFlashFvbServicesRuntimeDxe) and the variable driver's
  InitRealNonVolatileVariableStore check them when the firmware starts, and
  the layouts of EDK II's virtual machine firmware, which decide the largest
  variable a store takes. The fault-tolerant write areas are
  WorkingBlock.cpp's.
**/

#include "nvram/StoreChecks.h"

#include "nvram/BlockMap.h"
#include "nvram/VariableParsing.h"

static const EFI_GUID mNvDataFvGuid      = NVRAM_SYSTEM_NV_DATA_FV_GUID;
static const EFI_GUID mAuthenticatedGuid = NVRAM_AUTHENTICATED_VARIABLE_GUID;
static const EFI_GUID mVariableGuid      = NVRAM_VARIABLE_GUID;

///
/// A layout of an NVRAM file of EDK II's virtual machine firmware (the
/// VarStore.fdf.inc of OvmfPkg, ArmVirtPkg, OvmfPkg/RiscVVirt and
/// OvmfPkg/LoongArchVirt) and the PcdMaxVariableSize its .dsc sets for it.
/// AAVMF, RISC-V's and LoongArch's share one layout and one limit.
///
typedef struct {
  const char *Name;
  UINTN       VolumeLength;
  UINTN       StoreSize;
  UINTN       MaxVariableSize;
} NVRAM_LAYOUT;

static const NVRAM_LAYOUT mLayouts[] = {
  { "OVMF's 4 MB build", 0x84000, 0x3FFB8, 0x8400 },
  { "OVMF's 2 MB build", 0x20000, 0xDFB8, 0x2000 },
  { "the AAVMF, RISC-V or LoongArch build", 0xC0000, 0x3FFB8, 0x2000 },
};

// The 2 MB builds' limit, the smallest, so that any OVMF takes what is written here.
#define NVRAM_UNKNOWN_LAYOUT_MAX_VARIABLE_SIZE 0x2000

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
  const UINT8    *Image = Store->Image;
  NVRAM_BUFFER    Bytes = { Image, Store->ImageSize };
  NVRAM_BLOCK_MAP Map;
  UINT16          Sum;
  UINTN           Offset;

  if (Store->ImageSize < sizeof (*Volume) + sizeof (NVRAM_FV_BLOCK_MAP_ENTRY)) {
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
  if ((Volume->HeaderLength < sizeof (*Volume) + sizeof (NVRAM_FV_BLOCK_MAP_ENTRY)) ||
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

  // The map covers the volume, or the whole flash device as AAVMF's flash driver
  // (VirtNorFlashDxe) writes it when it formats the volume.
  NvramWalkBlockMap (NvramReadBuffer, &Bytes, Volume, Store->ImageSize, &Map);
  if (Map.Fault != 0) {
    return Refuse (Store, Map.Fault, NvramBadBlockMap);
  }

  if ((Map.Blocks != Volume->FvLength) && (Map.Blocks != Store->ImageSize)) {
    return Refuse (Store, Map.End, NvramBadBlockMap);
  }

  if ((Volume->Attributes & NVRAM_FVB2_ERASE_POLARITY) == 0) {
    return Refuse (Store, offsetof (NVRAM_FV_HEADER, Attributes), NvramUnknownErasePolarity);
  }

  return NvramStoreValid;
}

// Which build's layout the file has, by its volume length and the bounds of its store.
static VOID
FindLayout (NVRAM_STORE *Store)
{
  Store->MaxVariableSize = NVRAM_UNKNOWN_LAYOUT_MAX_VARIABLE_SIZE;
  Store->Layout          = NULL;
  for (const NVRAM_LAYOUT &Layout : mLayouts) {
    if ((Store->VolumeSize == Layout.VolumeLength) &&
        (Store->StoreEnd - Store->StoreBase == Layout.StoreSize)) {
      Store->MaxVariableSize = Layout.MaxVariableSize;
      Store->Layout          = Layout.Name;
    }
  }
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
  FindLayout (Store);
  return NvramStoreValid;
}

/** @file
  Opening an NVRAM file's variable store, with the checks that the
  firmware's flash, fault-tolerant write and variable drivers make of it when
  they start (FvbInitialize, InitFtwProtocol, InitNonVolatileVariableStore),
  and the words for each refusal.
**/

#include "nvram/FtwInternal.h"

#include <stdio.h>

// The volume and store checks of InitRealNonVolatileVariableStore, those of the drivers it
// relies on, and the record walk of InitNonVolatileVariableStore.
NVRAM_STORE_CHECK
OpenNvramStore (UINT8 *Image, UINTN ImageSize, NVRAM_STORE *Store)
{
  NVRAM_FV_HEADER   Volume;
  NVRAM_STORE_CHECK Check;

  memset (Store, 0, sizeof (*Store));
  Store->Image     = Image;
  Store->ImageSize = ImageSize;
  Check            = NvramCheckVolumeHeader (Store, &Volume);
  if (Check == NvramStoreValid) {
    Check = NvramCheckStoreHeader (Store, &Volume);
  }

  if (Check == NvramStoreValid) {
    NvramFindLayout (Store);
  }

  // A write in progress explains a damaged-looking store better than the records can.
  if (Check == NvramStoreValid) {
    Check = NvramCheckWorkingBlock (Store);
  }

  if (Check == NvramStoreValid) {
    Check = NvramCheckRecords (Store);
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
    Text = "the file is shorter than its firmware volume's length (truncated)";
    break;
  case NvramPaddingNotZero:
    Text = "what follows its firmware volume is not zero padding (a byte other than 0 at offset "
           "0x%llx)";
    break;
  case NvramUnformattedFlash:
    Text = "it is all zeros: the firmware formats it on its first boot; boot the machine once "
           "first";
    break;
  case NvramBadBlockMap:
    Text = "its firmware volume block map adds up to neither the volume's length nor the file's "
           "size";
    break;
  case NvramUnknownErasePolarity:
    Text = "its firmware volume erases to 0 bits, a format this tool does not know";
    break;
  case NvramTruncatedStoreHeader:
    Text = "the variable store header runs past the end of its firmware volume";
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
  case NvramRepeatedVariable:
    Text = "the variable record at offset 0x%llx adds a variable that an earlier record already "
           "adds, which no interrupted write leaves and the firmware would read inconsistently";
    break;
  }

  snprintf (Buffer, BufferSize, Text, (unsigned long long)Offset);
}

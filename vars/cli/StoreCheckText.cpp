/** @file
  The words for each reason the store library refuses a file, in brisvane-vars'
  messages: a table, one row a reason.
**/

#include "vars/cli/StoreCheckText.h"

#include <stdio.h>

///
/// A reason and its words; a %llx in them is the store's CheckOffset.
///
typedef struct {
  NVRAM_STORE_CHECK Check;
  const char       *Text;
} STORE_CHECK_TEXT;

// In the order of NVRAM_STORE_CHECK, which indexes it.
static constexpr STORE_CHECK_TEXT mStoreCheckTexts[] = {
  { NvramStoreValid, "it is a valid variable store" },
  { NvramTruncatedVolumeHeader, "the file is too short to hold its firmware volume header" },
  { NvramNotFirmwareVolume, "it is not a firmware volume (no _FVH signature)" },
  { NvramUnknownVolumeRevision, "its firmware volume header has a revision other than 2" },
  { NvramBadVolumeHeaderLength, "its firmware volume header length is not valid" },
  { NvramBadVolumeChecksum,
    "its firmware volume header checksum is wrong (the header is damaged)" },
  { NvramNotNvDataVolume,
    "its firmware volume holds no non-volatile data (wrong file system GUID)" },
  { NvramVolumeLengthMismatch,
    "the file is shorter than its firmware volume's length (truncated)" },
  { NvramPaddingNotZero,
    "what follows its firmware volume is not zero padding (a byte other than 0 at offset "
    "0x%llx)" },
  { NvramUnformattedFlash,
    "it is all zeros: the firmware formats it on its first boot; boot the machine once "
    "first" },
  { NvramBadBlockMap,
    "its firmware volume block map adds up to neither the volume's length nor the file's "
    "size" },
  { NvramUnknownErasePolarity,
    "its firmware volume erases to 0 bits, a format this tool does not know" },
  { NvramTruncatedStoreHeader,
    "the variable store header runs past the end of its firmware volume" },
  { NvramUnauthenticatedStore,
    "its variable store lacks the authentication fields, a format this tool does not edit" },
  { NvramUnknownStoreSignature, "it holds no variable store (wrong store signature GUID)" },
  { NvramStoreNotHealthy, "its variable store header is not marked formatted and healthy" },
  { NvramBadStoreSize,
    "its variable store size runs past the firmware volume or is not a multiple of 4" },
  { NvramNoWorkingBlock, "no fault-tolerant write working block follows its variable store" },
  { NvramBadWorkingBlock,
    "its fault-tolerant write working block at offset 0x%llx is not valid (an interrupted "
    "write?); boot the machine once so that the firmware repairs it" },
  { NvramWriteInProgress,
    "a fault-tolerant write is in progress (queued at offset 0x%llx); boot the machine "
    "once so that the firmware completes it" },
  { NvramRecordPastEnd, "the variable record at offset 0x%llx runs past the end of the store" },
  { NvramRepeatedVariable,
    "the variable record at offset 0x%llx adds a variable that an earlier record already "
    "adds, which no interrupted write leaves and the firmware would read inconsistently" },
};

// Whether row N holds reason N, and every reason has its row.
static constexpr bool
EveryReasonInOrder ()
{
  for (UINTN Index = 0; Index < sizeof (mStoreCheckTexts) / sizeof (mStoreCheckTexts[0]); Index++) {
    if (mStoreCheckTexts[Index].Check != (NVRAM_STORE_CHECK)Index) {
      return false;
    }
  }

  return sizeof (mStoreCheckTexts) / sizeof (mStoreCheckTexts[0]) == NvramStoreCheckCount;
}

static_assert (EveryReasonInOrder (), "mStoreCheckTexts holds every reason, in order");

VOID
DescribeNvramStoreCheck (NVRAM_STORE_CHECK Check, UINTN Offset, char *Buffer, UINTN BufferSize)
{
  const char *Text = "it failed an unknown check";

  if ((Check >= NvramStoreValid) && (Check < NvramStoreCheckCount)) {
    Text = mStoreCheckTexts[Check].Text;
  }

  snprintf (Buffer, BufferSize, Text, (unsigned long long)Offset);
}

/** @file
  Damaged and foreign files, each made from a good one, and the reason the
  store refuses each: shared by the store's checks and brisvane-vars' own.
**/

#ifndef DAMAGED_STORES_H_
#define DAMAGED_STORES_H_

#include "VariableStoreTest.h"

#include <ctype.h>
#include <string.h>

#include <algorithm>
#include <string>

// The store header, after the volume header and its block map of two entries.
static const UINTN StoreBase = 0x48;
// The second record of the image that every refusal starts from.
static const UINTN SecondSlot = FirstSlot + RecordSpan (Neighbour (u"Boot0000", 1, 10));
static const UINTN ThirdSlot  = SecondSlot + RecordSpan (Startup (u"-nomap"));

///
/// A damaged or foreign file, made from a good one by Damage.
///
struct REFUSAL {
  const char       *Case;
  NVRAM_STORE_CHECK Check;
  UINTN             Offset; ///< The store's CheckOffset: where the fault lies.
  void (*Damage) (BYTES &Image);
};

static void
Poke (BYTES &Image, UINTN Offset, UINT32 Value)
{
  memcpy (&Image[Offset], &Value, sizeof (Value));
}

// Flips bits of the volume header and makes its checksum right again.
template <UINTN Offset, UINT8 Bits>
static void
Resummed (BYTES &Image)
{
  Image[Offset] ^= Bits;
  FixChecksum (Image);
}

static const REFUSAL Refusals[] = {
  { "cut inside the volume header", NvramTruncatedVolumeHeader, 0x0,
    [] (BYTES &I) { I.resize (40); } },
  { "cut short", NvramVolumeLengthMismatch, 0x20,
    [] (BYTES &I) { I.resize (I.size () - STORE_IMAGE_BLOCK); } },
  { "padded with erased bytes", NvramPaddingNotZero, 0x6000,
    [] (BYTES &I) { I.resize (I.size () + 16, 0xFF); } },
  { "zero padding with a stray byte", NvramPaddingNotZero, 0x6FFB,
    [] (BYTES &I) {
      I.resize (I.size () + STORE_IMAGE_BLOCK, 0);
      I[I.size () - 5]          = 1;
    } },
  { "all zeros, as AAVMF's blank template", NvramUnformattedFlash, 0x28,
    [] (BYTES &I) { std::fill (I.begin (), I.end (), 0); } },
  { "not a volume", NvramNotFirmwareVolume, 0x28, [] (BYTES &I) { memset (I.data (), 0, 64); } },
  { "wrong volume GUID", NvramNotNvDataVolume, 0x10, Resummed<0x10, 0x01> },
  { "damaged volume header", NvramBadVolumeChecksum, 0x32, [] (BYTES &I) { I[0x2C] ^= 0x10; } },
  { "volume revision 1", NvramUnknownVolumeRevision, 0x37, Resummed<0x37, 0x03> },
  { "block map short of the volume", NvramBadBlockMap, 0x40, Resummed<0x38, 0x03> },
  { "erases to zeros", NvramUnknownErasePolarity, 0x2C, Resummed<0x2D, 0x08> },
  { "store without authentication fields", NvramUnauthenticatedStore, 0x48,
    [] (BYTES &I) {
      const EFI_GUID Plain      = NVRAM_VARIABLE_GUID;
      memcpy (&I[StoreBase], &Plain, sizeof (Plain));
    } },
  { "wrong store GUID", NvramUnknownStoreSignature, 0x48, [] (BYTES &I) { I[StoreBase] ^= 1; } },
  { "store not healthy", NvramStoreNotHealthy, 0x5C, [] (BYTES &I) { I[StoreBase + 21]= 0x00; } },
  { "store not formatted", NvramStoreNotHealthy, 0x5C,
    [] (BYTES &I) { I[StoreBase + 20]= 0xFF; } },
  { "store past the volume", NvramBadStoreSize, 0x58,
    [] (BYTES &I) { Poke (I, StoreBase + 16, (UINT32)I.size ()); } },
  { "no working block", NvramNoWorkingBlock, 0x2000,
    [] (BYTES &I) { I[WorkingBlockOffset (Region)]= 0xFF; } },
  { "damaged working block", NvramBadWorkingBlock, 0x3000,
    [] (BYTES &I) { I[WorkingBlockOffset (Region) + 24] ^= 1; } },
  { "record running past the end", NvramRecordPastEnd, 0xBC,
    [] (BYTES &I) { Poke (I, SecondSlot + offsetof (NVRAM_VARIABLE_HEADER, DataSize), Region); } },
  // Only a live record: one that is not ends the walk, as a header torn in its sizes does.
  { "live record header cut by the end", NvramRecordPastEnd, 0x1FF8,
    [] (BYTES &I) {
      Poke (
          I, SecondSlot + offsetof (NVRAM_VARIABLE_HEADER, DataSize),
          Region - 8 - (SecondSlot + 60 + 18));
      I[Region - 8]             = 0xAA;
      I[Region - 7]             = 0x55;
      I[Region - 6]             = NVRAM_VAR_ADDED;
    } },
  // Two files a guest could plant: the working block's queue reclaimed through a smaller spare
  // area would be written past the volume; a map of 1-byte blocks past the volume would have the
  // working block's signature looked for past the file.
  { "working block larger than the spare area, its queue not erased", NvramWriteInProgress, 0x3020,
    [] (BYTES &I) {
      UINT64         Length     = I.size () + 2 * STORE_IMAGE_BLOCK;
      UINT32         Blocks     = (UINT32)(Length / STORE_IMAGE_BLOCK);

      I.resize (Length, 0xFF);
      memcpy (&I[offsetof (NVRAM_FV_HEADER, FvLength)], &Length, sizeof (Length));
      memcpy (&I[sizeof (NVRAM_FV_HEADER)], &Blocks, sizeof (Blocks));
      FixChecksum (I);
      SetWriteQueueSize (I, Region, 3 * STORE_IMAGE_BLOCK - sizeof (NVRAM_FTW_WORKING_HEADER));
      I[WorkingBlockOffset (Region) + 200]= 0;
    } },
  { "1-byte blocks past the volume, no working block", NvramNoWorkingBlock, 0x2000,
    [] (BYTES &I) {
      UINT32         Map[]      = { (UINT32)I.size () + 16, 1 };

      I.resize (I.size () + 16, 0);
      memcpy (&I[sizeof (NVRAM_FV_HEADER)], Map, sizeof (Map));
      FixChecksum (I);
      I[WorkingBlockOffset (Region)]= 0xFF;
    } },
  // Records in transition may repeat; two added ones no interrupted write leaves.
  { "a variable added twice", NvramRepeatedVariable, 0x118,
    [] (BYTES &I) { PutRecord (I, ThirdSlot, Startup (u"-exit")); } },
};

static std::string
RefusalName (const ::testing::TestParamInfo<REFUSAL> &Info)
{
  std::string Name = Info.param.Case;

  std::replace_if (
      Name.begin (), Name.end (), [] (char C) { return !isalnum ((unsigned char)C); }, '_');
  return Name;
}

// The file every refusal starts from, damaged.
static BYTES
DamagedImage (const REFUSAL &Refusal)
{
  BYTES Image = BuildImage (Region, { Neighbour (u"Boot0000", 1, 10), Startup (u"-nomap") });

  Refusal.Damage (Image);
  // No spare capacity, in which a read past the file would go unseen by the sanitizer.
  Image.shrink_to_fit ();
  return Image;
}

#endif

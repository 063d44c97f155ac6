/** @file
  The checks that open a store: each damaged or foreign file is refused for
  its own reason at the place of its fault, opened or recovered, and left
  as it was; finished writes in the fault-tolerant write queue are
  accepted, and a pending one is found.
**/

#include "DamagedStores.h"

class RefusalTest : public ::testing::TestWithParam<REFUSAL> {};

INSTANTIATE_TEST_SUITE_P (Damaged, RefusalTest, ::testing::ValuesIn (Refusals), RefusalName);

TEST_P (RefusalTest, FileIsRefusedForItsReasonAndLeftAlone)
{
  BYTES            Image  = DamagedImage (GetParam ());
  const BYTES      Before = Image;
  NVRAM_STORE      Opened;
  NVRAM_WRITE_PLAN Plan = {};
  NVRAM_EDIT       Edit = { &Plan, {} };

  EXPECT_EQ (OpenNvramStore (Image.data (), Image.size (), &Opened), GetParam ().Check);
  EXPECT_EQ (Opened.CheckOffset, GetParam ().Offset);
  EXPECT_EQ (RecoverNvramStore (Image.data (), Image.size (), &Opened, &Edit), GetParam ().Check);
  EXPECT_TRUE (Image == Before);
  EXPECT_EQ (Plan.Count, 0u);
  NvramFreeWritePlan (&Plan);
}

// Finished writes in the queue are history, not work left to do.
TEST (StoreCheckTest, FinishedWritesInTheQueueAreAccepted)
{
  BYTES       Image = BuildImage (Region, { Startup (u"-nomap") });
  NVRAM_STORE Opened;
  UINTN       Queue = QueueFinishedWrites (Image, 3);

  EXPECT_EQ (OpenNvramStore (Image.data (), Image.size (), &Opened), NvramStoreValid);
  EXPECT_EQ (Opened.Ftw.LastWrite, Queue - WorkingBlockOffset (Region));
  Image[Queue] = 0xFE;
  EXPECT_EQ (OpenNvramStore (Image.data (), Image.size (), &Opened), NvramWriteInProgress);
  EXPECT_EQ (Opened.CheckOffset, Queue);
}

// A working block larger than the spare area, which the driver never lays out, leaves no spare
// area: a compaction is refused, where rebuilding the queue through it would run past the volume.
TEST (StoreCheckTest, WorkingBlockLargerThanTheSpareAreaLeavesNoSpareArea)
{
  const UINTN         Queue   = 3 * STORE_IMAGE_BLOCK - sizeof (NVRAM_FTW_WORKING_HEADER);
  std::vector<RECORD> Records = { Startup (u"-old") };
  NVRAM_STORE         Store;
  NVRAM_EDIT          Edit = {};

  Fill (Records, 0x3C);
  BYTES Image = BuildImage (Region, Records);
  // Two blocks more: the working block takes three, the spare area the last two.
  Image.resize (Image.size () + 2 * STORE_IMAGE_BLOCK, 0xFF);
  const UINT64 Length = Image.size ();
  const UINT32 Blocks = (UINT32)(Length / STORE_IMAGE_BLOCK);

  memcpy (&Image[offsetof (NVRAM_FV_HEADER, FvLength)], &Length, sizeof (Length));
  memcpy (&Image[sizeof (NVRAM_FV_HEADER)], &Blocks, sizeof (Blocks));
  FixChecksum (Image);
  SetWriteQueueSize (Image, Region, Queue);
  QueueFinishedWrites (Image, Queue / 80);
  const BYTES Before = Image;

  Open (Image, &Store);
  EXPECT_EQ (Store.Ftw.SpareSize, 0u);
  EXPECT_EQ (Set (&Store, u"-new", &Edit), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ (Edit.Refusal.Reason, NvramRefusedNoSpare);
  EXPECT_TRUE (Image == Before);
}

///
/// A medium for NvramVolumeExtent: a good image changed, then cut to Size bytes.
///
struct EXTENT_CASE {
  const char *Case;
  UINT32      FirstBlocks; ///< The first map entry's NumBlocks, or 0 to keep it.
  UINTN       Cut;         ///< The bytes the medium holds, or 0 for the whole image.
  BOOLEAN     NoVolume;    ///< The signature erased.
  UINT64      Extent;      ///< What NvramVolumeExtent gives; ~0 for the image's size.
};

static const UINT64 Whole = ~(UINT64)0;

// How far a medium's store reaches, which a block device reads before the store.
TEST (StoreCheckTest, VolumeExtentIsTheVolumeOrItsBlockMap)
{
  static const EXTENT_CASE Cases[] = {
    { "the volume", 0, 0, FALSE, Whole },
    { "a map past the volume, as AAVMF's", 64, 0, FALSE, 64 * STORE_IMAGE_BLOCK },
    { "a map that cannot be read beyond its first entry", 64, 0x40, FALSE, 64 * STORE_IMAGE_BLOCK },
    { "a map cut before its first entry", 64, 0x3C, FALSE, Whole },
    { "no volume", 0, 0, TRUE, 0 },
    { "a medium shorter than the volume header", 0, 0x30, FALSE, 0 },
  };

  for (const EXTENT_CASE &Case : Cases) {
    BYTES        Image = BuildImage (Region, { Startup (u"-nomap") });
    const UINT64 Size  = Image.size ();

    if (Case.FirstBlocks != 0) {
      memcpy (&Image[sizeof (NVRAM_FV_HEADER)], &Case.FirstBlocks, sizeof (Case.FirstBlocks));
    }

    if (Case.NoVolume) {
      Image[offsetof (NVRAM_FV_HEADER, Signature)] ^= 1;
    }

    NVRAM_BUFFER Medium = { Image.data (), (Case.Cut != 0) ? Case.Cut : Image.size () };

    EXPECT_EQ (
        NvramVolumeExtent (NvramReadBuffer, &Medium, Medium.Size),
        (Case.Extent == Whole) ? Size : Case.Extent)
        << Case.Case;
  }
}

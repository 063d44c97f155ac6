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

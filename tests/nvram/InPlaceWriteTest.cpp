/** @file
  An edit, or the recovery of a file cut during one, refused for want of
  memory at any allocation leaves the image and the plan as they were. The
  cuts themselves are the cut simulator's (CutSimulatorTest.cpp).
**/

#include "VariableStoreTest.h"

///
/// An edit to interrupt: the store before it (with finished writes in the
/// working block's queue, and bytes after the last record as a cut append
/// leaves them), and the value it sets, or NULL to clear.
///
struct EDIT {
  const char         *Case;
  std::vector<RECORD> Records;
  UINTN               FinishedWrites;
  bool                Garbage;
  const char16_t     *Value;
};

static std::vector<EDIT>
Edits (VOID)
{
  std::vector<RECORD> Full = { Neighbour (u"Boot0000", 1, 30), Startup (u"-old") };
  std::vector<RECORD> Two  = { Neighbour (u"Boot0000", 1, 30), Startup (u"-old") };

  Fill (Full, 0x3C);
  return {
    { "first value", { Neighbour (u"Boot0000", 1, 30) }, 0, false, u"-nomap" },
    { "new value", { Two[0], Two[1], Neighbour (u"Lang", 2, 3) }, 0, false, u"-exit -nomap" },
    { "value beside one in transition",
      { Startup (u"-older", NVRAM_VAR_ADDED_IN_TRANSITION), Neighbour (u"Lang", 2, 3),
        Startup (u"-old") },
      0,
      false,
      u"-exit" },
    { "clear", Two, 0, false, NULL },
    // What a cut of the firmware's update, or of an older writer, leaves behind.
    { "clear beside one in transition",
      { Startup (u"-older", NVRAM_VAR_ADDED_IN_TRANSITION), Neighbour (u"Lang", 2, 3),
        Startup (u"-old") },
      0,
      false,
      NULL },
    { "compaction beside two in transition",
      { Startup (u"-older", NVRAM_VAR_ADDED_IN_TRANSITION), Neighbour (u"Lang", 2, 3),
        Startup (u"-old", NVRAM_VAR_ADDED_IN_TRANSITION) },
      0,
      true,
      u"-exit" },
    { "compaction", Full, 0, false, u"-nonest -exit" },
    { "compaction with the queue full", Full, 50, false, u"-nonest -exit" },
    { "compaction of a cut append", Two, 0, true, u"-exit" },
  };
}

// Applies a step of the plan to Image.
static void
Apply (BYTES &Image, const NVRAM_WRITE_PLAN &Plan, UINTN Step)
{
  const NVRAM_WRITE &Write = Plan.Steps[Step];

  memcpy (&Image[Write.Offset], Plan.Bytes + Write.Data, Write.Size);
}

///
/// An edit made on its store, with the plan it recorded.
///
struct INTERRUPTED_EDIT {
  const EDIT      &Edit;
  BYTES            Original = BuildImage (Region, Edit.Records);
  BYTES            Done;
  NVRAM_WRITE_PLAN Plan = {};

  explicit INTERRUPTED_EDIT (const EDIT &Edit) : Edit (Edit)
  {
    NVRAM_STORE Store;
    NVRAM_EDIT  Made = { &Plan, {} };

    QueueFinishedWrites (Original, Edit.FinishedWrites);
    Original[FirstSlot + 500] = Edit.Garbage ? 0x12 : Original[FirstSlot + 500];
    Done                      = Original;
    Open (Done, &Store);
    EXPECT_EQ (Make (&Store, &Made), EFI_SUCCESS);
    EXPECT_FALSE (Plan.Incomplete);
  }

  EFI_STATUS
  Make (NVRAM_STORE *Store, NVRAM_EDIT *Made) const
  {
    return (Edit.Value != NULL) ? Set (Store, Edit.Value, Made) : Clear (Store, Made);
  }

  ~INTERRUPTED_EDIT ()
  {
    NvramFreeWritePlan (&Plan);
  }
};

/**
  Runs Operation with the library's allocations failing from the first on,
  then from the second, and so on until one run makes all it needs: each
  refused run must leave Image and Plan as they were, and the last gives
  the edit whole.
**/
template <typename OPERATION>
static void
FailEachAllocation (BYTES &Image, NVRAM_WRITE_PLAN *Plan, OPERATION Operation)
{
  const BYTES Before = Image;

  for (UINTN Allowed = 0;; Allowed++) {
    SCOPED_TRACE (Allowed);
    NvramFreeWritePlan (Plan);
    Image = Before;
    NvramLimitAllocations (Allowed);
    bool  Made   = Operation ();
    UINTN Failed = NvramLimitAllocations (NVRAM_ALL_ALLOCATIONS);

    if (Failed == 0) {
      EXPECT_TRUE (Made);
      break;
    }

    EXPECT_FALSE (Made);
    EXPECT_TRUE (Image == Before) << "a refused edit changed the image";
    ASSERT_EQ (Plan->Count, 0u) << "a refused edit recorded writes";
    ASSERT_LT (Allowed, 8u);
  }

  EXPECT_FALSE (Plan->Incomplete);
}

// Out of memory anywhere, an edit or a recovery is refused before its first write.
TEST (InPlaceWriteTest, EditRefusedForMemoryLeavesTheImageAndThePlanAlone)
{
  for (const EDIT &Edit : Edits ()) {
    SCOPED_TRACE (Edit.Case);
    INTERRUPTED_EDIT Run (Edit);
    BYTES            Image = Run.Original;
    NVRAM_WRITE_PLAN Plan  = {};
    NVRAM_EDIT       Made  = { &Plan, {} };
    NVRAM_STORE      Store;

    FailEachAllocation (Image, &Plan, [&] () {
      Open (Image, &Store);
      return Run.Make (&Store, &Made) == EFI_SUCCESS;
    });
    EXPECT_TRUE (Image == Run.Done);
    // The same edit cut after each step, and recovered.
    for (UINTN Step = 0; Step < Run.Plan.Count; Step++) {
      BYTES Cut = Run.Original;

      for (UINTN Applied = 0; Applied < Step; Applied++) {
        Apply (Cut, Run.Plan, Applied);
      }

      FailEachAllocation (Cut, &Plan, [&] () {
        return RecoverNvramStore (Cut.data (), Cut.size (), &Store, &Made) == NvramStoreValid;
      });
    }

    NvramFreeWritePlan (&Plan);
  }
}

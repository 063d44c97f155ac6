/** @file
  The writes of an edit as the plan gives them to the file, with flushes
  placed so that a file cut after any write, or in the middle of one, or
  whose writes since the last flush reached the disk in any order, reads
  as before or after the edit with every other variable intact, once a
  pending fault-tolerant write is completed and its spare area erased.
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

// Applies a step of the plan to Image, or its first half.
static void
Apply (BYTES &Image, const NVRAM_WRITE_PLAN &Plan, UINTN Step, bool Half = false)
{
  const NVRAM_WRITE &Write = Plan.Steps[Step];

  memcpy (&Image[Write.Offset], Plan.Bytes + Write.Data, Half ? Write.Size / 2 : Write.Size);
}

///
/// An edit made on its store, and what a reader may find after it.
///
struct INTERRUPTED_EDIT {
  const EDIT      &Edit;
  BYTES            Original = BuildImage (Region, Edit.Records);
  BYTES            Done;
  NVRAM_WRITE_PLAN Plan = {};
  std::u16string   Old;
  std::u16string   New = (Edit.Value != NULL) ? Edit.Value : u"<absent>";

  explicit INTERRUPTED_EDIT (const EDIT &Edit) : Edit (Edit)
  {
    NVRAM_STORE Store;
    NVRAM_EDIT  Made = { &Plan, {} };

    QueueFinishedWrites (Original, Edit.FinishedWrites);
    Original[FirstSlot + 500] = Edit.Garbage ? 0x12 : Original[FirstSlot + 500];
    Done                      = Original;
    Open (Done, &Store);
    Old = Get (&Store);
    EXPECT_EQ (Make (&Store, &Made), EFI_SUCCESS);
    EXPECT_FALSE (Plan.OutOfMemory);
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

  /**
    Opens Image as the next run does and checks what it reads: the old value
    or the new one, every other variable as it was, nothing left pending
    and no second store in the spare area, and a store that takes the next
    write. Gives the value found.
  **/
  std::u16string
  Check (BYTES Image)
  {
    NVRAM_STORE      Store;
    NVRAM_WRITE_PLAN Recovery  = {};
    NVRAM_EDIT       Recovered = { &Recovery, {} };

    EXPECT_EQ (
        RecoverNvramStore (Image.data (), Image.size (), &Store, &Recovered), NvramStoreValid);
    EXPECT_FALSE (Recovery.OutOfMemory);
    EXPECT_TRUE ((Recovery.Count == 0) || (Recovery.Steps[Recovery.Count - 1].Size == 0))
        << "a recovery not flushed at its end";
    NvramFreeWritePlan (&Recovery);
    std::u16string Found = Get (&Store);

    EXPECT_TRUE ((Found == Old) || (Found == New)) << "found " << Found.size () << " characters";
    for (const RECORD &Record : Edit.Records) {
      UINT8 Data[512];
      UINTN Size = sizeof (Data);

      if ((Record.Name != u"Brisvane") && (Record.State == NVRAM_VAR_ADDED)) {
        EXPECT_EQ (
            NvramStoreGetVariable (&Store, Record.Name.c_str (), &Record.Guid, NULL, &Size, Data),
            EFI_SUCCESS);
        EXPECT_TRUE (BYTES (Data, Data + Size) == Record.Data);
      }
    }

    EXPECT_EQ (OpenNvramStore (Image.data (), Image.size (), &Store), NvramStoreValid);
    EXPECT_FALSE (Store.Ftw.SpareHasVolume) << "a second store left in the spare area";
    EXPECT_EQ (Set (&Store, u"-next"), EFI_SUCCESS);
    EXPECT_EQ (Get (&Store), u"-next");
    return Found;
  }
};

// A run cut short at any step, or in the middle of one, leaves the old value or, from some step
// on, the new one.
TEST (InPlaceWriteTest, CutAnywhereTheFileReadsAsBeforeOrAfter)
{
  for (const EDIT &Edit : Edits ()) {
    SCOPED_TRACE (Edit.Case);
    INTERRUPTED_EDIT Run (Edit);
    BYTES            Image   = Run.Original;
    bool             Arrived = false;

    for (UINTN Step = 0; Step < Run.Plan.Count; Step++) {
      SCOPED_TRACE (Step);
      BYTES Torn = Image;

      Apply (Torn, Run.Plan, Step, true);
      for (const BYTES &Cut : { Image, Torn }) {
        std::u16string Found = Run.Check (Cut);

        EXPECT_TRUE (!Arrived || (Found == Run.New)) << "back to the old value";
        Arrived = Arrived || ((Found == Run.New) && (Run.New != Run.Old));
      }

      Apply (Image, Run.Plan, Step);
    }

    EXPECT_TRUE (Image == Run.Done) << "the plan does not give the edited image";
    EXPECT_EQ (Run.Plan.Steps[Run.Plan.Count - 1].Size, 0u) << "an edit not flushed at its end";
    EXPECT_EQ (Run.Check (Image), Run.New);
  }
}

// Between two flushes the disk may take the writes in any order: any of them may be missing.
TEST (InPlaceWriteTest, WritesBetweenFlushesMayLandInAnyOrder)
{
  for (const EDIT &Edit : Edits ()) {
    SCOPED_TRACE (Edit.Case);
    INTERRUPTED_EDIT Run (Edit);
    BYTES            Flushed = Run.Original;
    UINTN            First   = 0;

    for (UINTN Step = 0; Step <= Run.Plan.Count; Step++) {
      if ((Step < Run.Plan.Count) && (Run.Plan.Steps[Step].Size != 0)) {
        continue;
      }

      ASSERT_LT (Step - First, 12u) << "too many writes between two flushes";
      for (UINTN Subset = 0; Subset < (1u << (Step - First)); Subset++) {
        BYTES Image = Flushed;

        SCOPED_TRACE (
            testing::Message () << "writes " << First << " to " << Step << ": " << Subset);
        for (UINTN Write = First; Write < Step; Write++) {
          if ((Subset & (1u << (Write - First))) != 0) {
            Apply (Image, Run.Plan, Write);
          }
        }

        Run.Check (Image);
      }

      for (; First < Step; First++) {
        Apply (Flushed, Run.Plan, First);
      }

      First = Step + 1;
    }
  }
}

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

  EXPECT_FALSE (Plan->OutOfMemory);
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

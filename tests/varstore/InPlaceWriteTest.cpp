/** @file
  The writes of an edit as the plan gives them to the file: in the
  firmware's order, with flushes placed so that a file cut after any write,
  or in the middle of one, or whose writes since the last flush reached the
  disk in any order, reads as before or after the edit with every other
  variable intact, once a pending fault-tolerant write is completed and its
  spare area erased.
**/

#include "VariableStoreTest.h"
#include "varstore/VariableStoreInternal.h"

#include <map>

///
/// An edit to interrupt: the store before it, and the value it sets, or
/// NULL to clear.
///
struct EDIT {
  const char         *Case;
  std::vector<RECORD> Records;
  UINTN               FinishedWrites; ///< Already in the working block's queue.
  bool                Garbage;        ///< Bytes after the last record, as a cut append leaves.
  const char16_t     *Value;
};

static std::vector<EDIT>
Edits (VOID)
{
  std::vector<RECORD> Full = { Neighbour (u"Boot0000", 1, 30), Startup (u"-old") };

  Fill (Full, 0x3C);
  return {
    { "first value", { Neighbour (u"Boot0000", 1, 30) }, 0, false, u"-nomap" },
    { "new value",
      { Neighbour (u"Boot0000", 1, 30), Startup (u"-old"), Neighbour (u"Lang", 2, 3) },
      0,
      false,
      u"-exit -nomap" },
    { "value beside one in transition",
      { Startup (u"-older", NVRAM_VAR_ADDED_IN_TRANSITION), Neighbour (u"Lang", 2, 3),
        Startup (u"-old") },
      0,
      false,
      u"-exit" },
    { "clear", { Neighbour (u"Boot0000", 1, 30), Startup (u"-old") }, 0, false, NULL },
    { "compaction", Full, 0, false, u"-nonest -exit" },
    { "compaction with the queue full", Full, 50, false, u"-nonest -exit" },
    { "compaction of a cut append",
      { Neighbour (u"Boot0000", 1, 30), Startup (u"-old") },
      0,
      true,
      u"-exit" },
  };
}

static BYTES
Before (const EDIT &Edit)
{
  BYTES Image = BuildImage (Region, Edit.Records);

  QueueFinishedWrites (Image, Edit.FinishedWrites);
  if (Edit.Garbage) {
    Image[FirstSlot + 500] = 0x12;
  }

  return Image;
}

// Every live variable, keyed by name and GUID, with its attributes and data.
static std::map<BYTES, BYTES>
Variables (const NVRAM_STORE *Store)
{
  std::map<BYTES, BYTES> Found;
  NVRAM_RECORD           Record;

  for (UINTN Offset = Store->FirstRecord;
       NvramReadRecord (Store->Image, Offset, Store->StoreEnd, &Record) == NvramRecordFound;
       Offset = Record.Next) {
    const UINT8   *Name = Store->Image + Offset + sizeof (NVRAM_VARIABLE_HEADER);
    std::u16string Text (Record.NameSize / 2, u'\0');
    UINT8          Data[1024];
    UINTN          DataSize = sizeof (Data);
    UINT32         Attributes;

    memcpy (&Text[0], Name, Text.size () * 2);
    if ((Record.NameSize == 0) || (NvramStoreGetVariable (
                                       Store, Text.c_str (), &Record.VendorGuid, &Attributes,
                                       &DataSize, Data) != EFI_SUCCESS)) {
      continue;
    }

    BYTES Key (Name, Name + Record.NameSize);
    BYTES Value (Data, Data + DataSize);

    Key.insert (Key.end (), (UINT8 *)&Record.VendorGuid, (UINT8 *)(&Record.VendorGuid + 1));
    Value.insert (Value.end (), (UINT8 *)&Attributes, (UINT8 *)(&Attributes + 1));
    Found[Key] = Value;
  }

  return Found;
}

// Applies a step of the plan to Image, or its first half.
static void
Apply (BYTES &Image, const NVRAM_WRITE_PLAN &Plan, UINTN Step, bool Half = false)
{
  const NVRAM_WRITE &Write = Plan.Steps[Step];

  memcpy (&Image[Write.Offset], Plan.Bytes + Write.Data, Half ? Write.Size / 2 : Write.Size);
}

///
/// An edit made on its store, with what a reader may find after it.
///
class InterruptedEdit {
public:
  explicit InterruptedEdit (const EDIT &Edit) : Edit (Edit), Original (Before (Edit))
  {
    NVRAM_STORE Store;
    BYTES       Image = Original;

    Open (Image, &Store);
    Old        = Get (&Store);
    Others     = Variables (&Store);
    New        = (Edit.Value != NULL) ? Edit.Value : u"<absent>";
    Store.Plan = &Plan;
    EXPECT_EQ ((Edit.Value != NULL) ? Set (&Store, Edit.Value) : Clear (&Store), EFI_SUCCESS);
    Others.erase (Key ());
    Done = Image;
  }

  ~InterruptedEdit ()
  {
    NvramFreeWritePlan (&Plan);
  }

  /**
    Opens Image as the next run does and checks what it reads: the old value
    or the new one, every other variable as it was, no write left pending,
    and a store that takes the next write.

    @return The value found.
  **/
  std::u16string
  Check (BYTES Image)
  {
    NVRAM_STORE      Store;
    NVRAM_WRITE_PLAN Recovery = {};

    EXPECT_EQ (
        RecoverNvramStore (Image.data (), Image.size (), &Store, &Recovery), NvramStoreValid);
    NvramFreeWritePlan (&Recovery);
    std::u16string         Found     = Get (&Store);
    std::map<BYTES, BYTES> Variables = ::Variables (&Store);

    EXPECT_TRUE ((Found == Old) || (Found == New)) << "found " << Found.size () << " characters";
    Variables.erase (Key ());
    EXPECT_TRUE (Variables == Others);
    EXPECT_EQ (OpenNvramStore (Image.data (), Image.size (), &Store), NvramStoreValid);
    EXPECT_FALSE (Store.Ftw.SpareHasVolume) << "a second store left in the spare area";
    EXPECT_EQ (Set (&Store, u"-next"), EFI_SUCCESS);
    EXPECT_EQ (Get (&Store), u"-next");
    return Found;
  }

  const EDIT            &Edit;
  const BYTES            Original;
  BYTES                  Done;
  NVRAM_WRITE_PLAN       Plan = {};
  std::u16string         Old;
  std::u16string         New;
  std::map<BYTES, BYTES> Others;

private:
  static BYTES
  Key (VOID)
  {
    BYTES Key = Ucs2Bytes (u"Brisvane");

    Key.insert (Key.end (), (const UINT8 *)&Shell, (const UINT8 *)(&Shell + 1));
    return Key;
  }
};

// A run cut short at any step, or in the middle of one, leaves the old value or, from some step
// on, the new one.
TEST (InPlaceWriteTest, CutAnywhereTheFileReadsAsBeforeOrAfter)
{
  for (const EDIT &Edit : Edits ()) {
    SCOPED_TRACE (Edit.Case);
    InterruptedEdit Run (Edit);
    BYTES           Image   = Run.Original;
    bool            Arrived = false;

    ASSERT_FALSE (Run.Plan.OutOfMemory);
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
    EXPECT_EQ (Run.Check (Image), Run.New);
  }
}

// Between two flushes the disk may take the writes in any order: any of them may be missing.
TEST (InPlaceWriteTest, WritesBetweenFlushesMayLandInAnyOrder)
{
  for (const EDIT &Edit : Edits ()) {
    SCOPED_TRACE (Edit.Case);
    InterruptedEdit Run (Edit);
    BYTES           Flushed = Run.Original;
    UINTN           First   = 0;

    for (UINTN Step = 0; Step <= Run.Plan.Count; Step++) {
      if ((Step < Run.Plan.Count) && (Run.Plan.Steps[Step].Size != 0)) {
        continue;
      }

      ASSERT_LT (Step - First, 12u) << "too many writes between two flushes";
      for (UINTN Subset = 0; Subset < (1u << (Step - First)); Subset++) {
        BYTES Image = Flushed;

        for (UINTN Write = First; Write < Step; Write++) {
          if ((Subset & (1u << (Write - First))) != 0) {
            Apply (Image, Run.Plan, Write);
          }
        }

        SCOPED_TRACE (
            testing::Message () << "writes " << First << " to " << Step << ": " << Subset);
        Run.Check (Image);
      }

      for (; First < Step; First++) {
        Apply (Flushed, Run.Plan, First);
      }

      First = Step + 1;
    }
  }
}

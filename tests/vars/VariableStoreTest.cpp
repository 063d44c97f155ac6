/** @file
  The NVRAM variable store: lookup, append and retire, deletion and
  compaction, on OVMF's own templates and on stores built here, and the
  refusal of files that are not such stores.
**/

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <ctype.h>
#include <string.h>

#include <algorithm>

static const EFI_GUID Shell     = ShellGuid ();
static const UINTN    Region    = 2 * STORE_IMAGE_BLOCK;
static const UINTN    FirstSlot = 0x64;

static RECORD
Startup (const std::u16string &Value, UINT8 State = NVRAM_VAR_ADDED)
{
  RECORD Record;

  Record.Name       = u"Brisvane";
  Record.Guid       = Shell;
  Record.Attributes = 0x3;
  Record.Data       = Ucs2Bytes (Value);
  Record.State      = State;
  return Record;
}

// Neighbours carry authentication fields, which must survive every rewrite.
static RECORD
Neighbour (const std::u16string &Name, UINT8 Tag, UINTN Size, UINT8 State = NVRAM_VAR_ADDED)
{
  RECORD Record;

  Record.Name           = Name;
  Record.Guid           = OtherGuid (Tag);
  Record.Data           = BYTES (Size, Tag);
  Record.State          = State;
  Record.MonotonicCount = 0x1122334455667788ull;
  Record.PubKeyIndex    = Tag;
  Record.Year           = 2024;
  return Record;
}

static EFI_STATUS
Set (NVRAM_STORE *Store, const std::u16string &Value, UINT32 Attributes = 0x3)
{
  BYTES Data = Ucs2Bytes (Value);

  return NvramStoreSetVariable (Store, u"Brisvane", &Shell, Attributes, Data.size (), Data.data ());
}

static EFI_STATUS
Clear (NVRAM_STORE *Store)
{
  return NvramStoreSetVariable (Store, u"Brisvane", &Shell, 0x3, 0, NULL);
}

static std::u16string
Get (const NVRAM_STORE *Store)
{
  UINT8  Data[256];
  UINTN  DataSize = sizeof (Data);
  UINT32 Attributes;

  if (NvramStoreGetVariable (Store, u"Brisvane", &Shell, &Attributes, &DataSize, Data) !=
      EFI_SUCCESS) {
    return u"<absent>";
  }

  EXPECT_EQ (Attributes, 0x3u);
  return std::u16string (reinterpret_cast<char16_t *> (Data), DataSize / 2 - 1);
}

static UINT8
StateAt (const BYTES &Image, UINTN Record)
{
  return Image[Record + offsetof (NVRAM_VARIABLE_HEADER, State)];
}

static void
Open (BYTES &Image, NVRAM_STORE *Store)
{
  ASSERT_EQ (OpenNvramStore (Image.data (), Image.size (), Store), NvramStoreValid);
}

class TemplateTest : public ::testing::TestWithParam<const char *> {};

INSTANTIATE_TEST_SUITE_P (
    Ovmf,
    TemplateTest,
    ::testing::Values (OVMF_VARS_4M, OVMF_VARS_2M),
    [] (const ::testing::TestParamInfo<const char *> &Info) {
      return Info.index == 0 ? "Vars4M" : "Vars2M";
    });

// The record is spelled out byte by byte, apart from the layout this code shares with itself.
TEST_P (TemplateTest, SetAppendsTheRecordTheFirmwareWrites)
{
  const BYTES Template = ReadFile (GetParam ());
  BYTES       Image    = Template;
  NVRAM_STORE Store;

  ASSERT_GT (Template.size (), 0u) << "missing " << GetParam () << " (package ovmf)";
  Open (Image, &Store);
  EXPECT_EQ (Store.FreeOffset, FirstSlot);
  EXPECT_EQ (Get (&Store), u"<absent>");
  ASSERT_EQ (Set (&Store, u"-nomap -delay 3"), EFI_SUCCESS);

  BYTES Expected = { 0xAA, 0x55, 0x3F, 0x00, 0x03, 0x00, 0x00, 0x00 };
  Expected.resize (36, 0x00);
  for (UINT8 Byte : { 0x12, 0,    0,    0,    0x20, 0,    0,    0,    0x5A, 0xEF, 0x8D, 0x15,
                      0x56, 0xF6, 0x9C, 0x41, 0xB0, 0x27, 0x7A, 0x31, 0x92, 0xC0, 0x79, 0xD2 }) {
    Expected.push_back (Byte);
  }

  for (const BYTES &Part : { Ucs2Bytes (u"Brisvane"), Ucs2Bytes (u"-nomap -delay 3") }) {
    Expected.insert (Expected.end (), Part.begin (), Part.end ());
  }

  EXPECT_EQ (BYTES (&Image[FirstSlot], &Image[FirstSlot + Expected.size ()]), Expected);
  memcpy (&Image[FirstSlot], &Template[FirstSlot], Expected.size ());
  EXPECT_TRUE (Image == Template) << "bytes outside the new record changed";
}

TEST_P (TemplateTest, ReplaceAndClearRetireRecordsInPlace)
{
  BYTES       Image = ReadFile (GetParam ());
  NVRAM_STORE Store;
  UINTN       Second = FirstSlot + RecordSpan (Startup (u"-nomap"));

  Open (Image, &Store);
  ASSERT_EQ (Set (&Store, u"-nomap"), EFI_SUCCESS);
  ASSERT_EQ (Set (&Store, u"-exit"), EFI_SUCCESS);
  EXPECT_EQ (StateAt (Image, FirstSlot), 0x3C);
  EXPECT_EQ (StateAt (Image, Second), 0x3F);

  BYTES Before = Image;
  EXPECT_EQ (Set (&Store, u"-exit"), EFI_SUCCESS);
  EXPECT_TRUE (Image == Before) << "the same value was written again";

  // What a later run reads back from the file.
  NVRAM_STORE Reopened;
  Open (Image, &Reopened);
  EXPECT_EQ (Get (&Reopened), u"-exit");
  ASSERT_EQ (Clear (&Reopened), EFI_SUCCESS);
  EXPECT_EQ (StateAt (Image, Second), 0x3D);
  EXPECT_EQ (Get (&Reopened), u"<absent>");

  Before = Image;
  EXPECT_EQ (Clear (&Reopened), EFI_NOT_FOUND);
  EXPECT_TRUE (Image == Before);
}

// A write interrupted between its steps leaves the old record in transition beside the new one.
TEST (VariableStoreTest, RecordsInTransitionAreFoundAndRetired)
{
  struct {
    const char         *Case;
    std::vector<RECORD> Records;
    const char16_t     *Found;
  } Cases[] = {
    { "in transition alone", { Startup (u"-old", NVRAM_VAR_ADDED_IN_TRANSITION) }, u"-old" },
    { "in transition, then added",
      { Startup (u"-old", NVRAM_VAR_ADDED_IN_TRANSITION), Startup (u"-new") },
      u"-new" },
    { "deleted, then added", { Startup (u"-old", 0x3C), Startup (u"-new") }, u"-new" },
  };

  for (auto &Case : Cases) {
    SCOPED_TRACE (Case.Case);
    BYTES       Image = BuildImage (Region, Case.Records);
    NVRAM_STORE Store;

    Open (Image, &Store);
    EXPECT_EQ (Get (&Store), Case.Found);
    ASSERT_EQ (Set (&Store, u"-exit"), EFI_SUCCESS);
    EXPECT_EQ (Get (&Store), u"-exit");
    for (UINTN Offset = FirstSlot, Index = 0; Index < Case.Records.size (); Index++) {
      EXPECT_EQ (StateAt (Image, Offset), 0x3C) << "record " << Index;
      Offset += RecordSpan (Case.Records[Index]);
    }
  }
}

// The first step of the driver's append writes the header with State still erased; the
// driver then reads it as a bare header and appends after it.
TEST (VariableStoreTest, HeaderOfAnInterruptedAppendCountsAsBareHeader)
{
  BYTES       Image   = BuildImage (Region, { Startup (u"-nomap") });
  UINTN       Started = FirstSlot + RecordSpan (Startup (u"-nomap"));
  BYTES       Record  = BuildImage (Region, { Startup (u"-exit", NVRAM_ERASED_BYTE) });
  NVRAM_STORE Store;

  memcpy (&Image[Started], &Record[FirstSlot], sizeof (NVRAM_VARIABLE_HEADER));
  Open (Image, &Store);
  EXPECT_EQ (Store.FreeOffset, Started + sizeof (NVRAM_VARIABLE_HEADER));
  EXPECT_EQ (Get (&Store), u"-nomap");
  ASSERT_EQ (Set (&Store, u"-nonest"), EFI_SUCCESS);
  EXPECT_EQ (
      StateAt (Image, Store.FreeOffset - RecordSpan (Startup (u"-nonest"))), NVRAM_VAR_ADDED);
  EXPECT_EQ (
      Store.FreeOffset,
      Started + sizeof (NVRAM_VARIABLE_HEADER) + RecordSpan (Startup (u"-nonest")));
}

// Only the name and GUID single the variable out; nothing else is touched but its own State.
TEST (VariableStoreTest, NeighboursKeepEveryByte)
{
  RECORD Lower       = Startup (u"-nomap");
  RECORD OtherVendor = Startup (u"-nomap");

  Lower.Name       = u"brisvane";
  OtherVendor.Guid = OtherGuid (2);

  std::vector<RECORD> Records = {
    Neighbour (u"Boot0000", 1, 17),
    Startup (u"-nomap"),
    Lower,
    OtherVendor,
    Neighbour (u"Retired", 3, 9, 0x3C),
    Neighbour (u"Moving", 4, 3, NVRAM_VAR_ADDED_IN_TRANSITION),
    Neighbour (u"BootOrder", 5, 2),
  };
  BYTES       Image  = BuildImage (Region, Records);
  const BYTES Before = Image;
  UINTN       State = FirstSlot + RecordSpan (Records[0]) + offsetof (NVRAM_VARIABLE_HEADER, State);
  NVRAM_STORE Store;

  Open (Image, &Store);
  const UINTN End = Store.FreeOffset;

  ASSERT_EQ (Set (&Store, u"-exit"), EFI_SUCCESS);
  ASSERT_EQ (Clear (&Store), EFI_SUCCESS);
  ASSERT_EQ (Set (&Store, u"-nostartup"), EFI_SUCCESS);
  EXPECT_EQ (Get (&Store), u"-nostartup");
  for (UINTN Offset = 0; Offset < Image.size (); Offset++) {
    if ((Offset != State) && ((Offset < End) || (Offset >= Store.StoreEnd))) {
      ASSERT_EQ (Image[Offset], Before[Offset]) << "at offset " << Offset;
    }
  }
}

TEST (VariableStoreTest, GetAnswersAsTheFirmwareDoes)
{
  BYTES       Image = BuildImage (Region, { Startup (u"-exit") });
  NVRAM_STORE Store;
  UINT8       Data[12];
  UINTN       DataSize;
  UINT32      Attributes = 0;

  Open (Image, &Store);
  DataSize = 0;
  EXPECT_EQ (
      NvramStoreGetVariable (&Store, u"Brisvane", &Shell, &Attributes, &DataSize, Data),
      EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ (DataSize, 12u);
  EXPECT_EQ (Attributes, 0x3u);
  EXPECT_EQ (
      NvramStoreGetVariable (&Store, u"Brisvane", &Shell, NULL, &DataSize, NULL),
      EFI_INVALID_PARAMETER);
  EXPECT_EQ (
      NvramStoreGetVariable (&Store, u"Brisvane", &Shell, NULL, &DataSize, Data), EFI_SUCCESS);
  EXPECT_EQ (BYTES (Data, Data + DataSize), Ucs2Bytes (u"-exit"));
  EXPECT_EQ (
      NvramStoreGetVariable (&Store, u"Brisvan", &Shell, NULL, &DataSize, Data), EFI_NOT_FOUND);
  EXPECT_EQ (NvramStoreGetVariable (&Store, u"", &Shell, NULL, &DataSize, Data), EFI_NOT_FOUND);
}

TEST (VariableStoreTest, SetRefusesWhatTheFirmwareRefuses)
{
  struct {
    const char *Case;
    UINT32      Attributes;
    UINTN       Size;
    EFI_STATUS  Status;
  } Cases[] = {
    { "attributes differ from the stored ones", 0x7, 4, EFI_INVALID_PARAMETER },
    { "runtime without boot-service access", 0x5, 4, EFI_INVALID_PARAMETER },
    { "non-volatile alone", 0x1, 4, EFI_INVALID_PARAMETER },
    { "volatile", 0x2, 4, EFI_UNSUPPORTED },
    { "authenticated", 0x23, 4, EFI_UNSUPPORTED },
    { "larger than OVMF's variable limit", 0x3, 0x2000 - 60 - 18 + 2, EFI_INVALID_PARAMETER },
  };

  for (auto &Case : Cases) {
    SCOPED_TRACE (Case.Case);
    BYTES       Image  = BuildImage (Region, { Startup (u"-exit") });
    const BYTES Before = Image;
    BYTES       Data (Case.Size, 0x41);
    NVRAM_STORE Store;

    Open (Image, &Store);
    EXPECT_EQ (
        NvramStoreSetVariable (
            &Store, u"Brisvane", &Shell, Case.Attributes, Data.size (), Data.data ()),
        Case.Status);
    EXPECT_TRUE (Image == Before);
  }
}

// Reclaim keeps added records in order, then promotes those in transition without an added twin.
TEST (VariableStoreTest, FullStoreIsCompactedToItsLiveRecords)
{
  RECORD              Moving  = Neighbour (u"Moving", 3, 5, NVRAM_VAR_ADDED_IN_TRANSITION);
  RECORD              Twin    = Neighbour (u"Twin", 4, 7);
  std::vector<RECORD> Records = {
    Neighbour (u"Boot0000", 1, 30),
    Neighbour (u"Gone", 2, 300, 0x3C),
    Moving,
    Neighbour (u"Twin", 4, 7, NVRAM_VAR_ADDED_IN_TRANSITION),
    Startup (u"-nomap"),
    Twin,
    Neighbour (u"Half", 5, 9, NVRAM_VAR_HEADER_VALID_ONLY),
  };
  UINTN Used = FirstSlot;

  for (const RECORD &Record : Records) {
    Used += RecordSpan (Record);
  }

  for (UINT8 Tag = 10; Used + RecordSpan (Neighbour (u"Gone", Tag, 500)) < Region; Tag++) {
    Records.push_back (Neighbour (u"Gone", Tag, 500, 0x3D));
    Used += RecordSpan (Records.back ());
  }

  BYTES       Image  = BuildImage (Region, Records);
  const BYTES Before = Image;
  NVRAM_STORE Store;

  Open (Image, &Store);
  ASSERT_EQ (Set (&Store, std::u16string (200, u'x')), EFI_SUCCESS);
  Moving.State = NVRAM_VAR_ADDED;

  const BYTES Expected =
      BuildImage (Region, { Records[0], Twin, Moving, Startup (std::u16string (200, u'x')) });
  EXPECT_TRUE (Image == Expected);
  EXPECT_EQ (
      Store.FreeOffset, FirstSlot + RecordSpan (Records[0]) + RecordSpan (Twin) +
                            RecordSpan (Moving) +
                            RecordSpan (Startup (std::u16string (200, u'x'))));
  EXPECT_TRUE (
      BYTES (Image.begin () + Store.StoreEnd, Image.end ()) ==
      BYTES (Before.begin () + Store.StoreEnd, Before.end ()));
}

TEST (VariableStoreTest, StoreFullOfLiveRecordsIsOutOfResources)
{
  std::vector<RECORD> Records = { Startup (u"-nomap") };
  UINTN               Used    = FirstSlot + RecordSpan (Records[0]);

  const UINTN Bare = RecordSpan (Neighbour (u"Full", 0, 0));

  for (UINT8 Tag = 1; Used + RecordSpan (Neighbour (u"Full", Tag, 200)) + Bare <= Region; Tag++) {
    Records.push_back (Neighbour (u"Full", Tag, 200));
    Used += RecordSpan (Records.back ());
  }

  Records.push_back (Neighbour (u"Full", 0xFF, Region - Used - Bare));
  Used += RecordSpan (Records.back ());

  BYTES       Image  = BuildImage (Region, Records);
  const BYTES Before = Image;
  NVRAM_STORE Store;

  Open (Image, &Store);
  ASSERT_EQ (Used, Region);
  EXPECT_EQ (Set (&Store, u"-nomap -exit"), EFI_OUT_OF_RESOURCES);
  EXPECT_TRUE (Image == Before);
  EXPECT_EQ (Get (&Store), u"-nomap");
}

///
/// A damaged or foreign file, made from a good one by Damage.
///
struct REFUSAL {
  const char       *Case;
  NVRAM_STORE_CHECK Check;
  void (*Damage) (BYTES &Image);
};

static void
PokeStoreHeader (BYTES &Image, UINTN Field, UINT32 Value, UINTN Size)
{
  memcpy (&Image[0x48 + Field], &Value, Size);
}

// The second record of the image that every refusal starts from.
static const UINTN SecondSlot = FirstSlot + RecordSpan (Neighbour (u"Boot0000", 1, 10));

static void
PokeRecord (BYTES &Image, UINTN Field, UINT32 Value)
{
  memcpy (&Image[SecondSlot + Field], &Value, sizeof (Value));
}

static const REFUSAL Refusals[] = {
  { "cut inside the volume header", NvramTruncatedVolumeHeader, [] (BYTES &I) { I.resize (40); } },
  { "cut short", NvramVolumeLengthMismatch,
    [] (BYTES &I) { I.resize (I.size () - STORE_IMAGE_BLOCK); } },
  { "padded", NvramVolumeLengthMismatch, [] (BYTES &I) { I.resize (I.size () + 16, 0xFF); } },
  { "not a volume", NvramNotFirmwareVolume, [] (BYTES &I) { memset (I.data (), 0, 64); } },
  { "wrong volume GUID", NvramNotNvDataVolume,
    [] (BYTES &I) {
      I[0x10] ^= 1;
      FixChecksum (I);
    } },
  { "damaged volume header", NvramBadVolumeChecksum, [] (BYTES &I) { I[0x2C] ^= 0x10; } },
  { "volume revision 1", NvramUnknownVolumeRevision,
    [] (BYTES &I) {
      I[0x37]                   = 1;
      FixChecksum (I);
    } },
  { "block map short of the volume", NvramBadBlockMap,
    [] (BYTES &I) {
      I[0x38]--;
      FixChecksum (I);
    } },
  { "erases to zeros", NvramUnknownErasePolarity,
    [] (BYTES &I) {
      I[0x2D] &= ~0x08;
      FixChecksum (I);
    } },
  { "store without authentication fields", NvramUnauthenticatedStore,
    [] (BYTES &I) {
      const EFI_GUID Plain      = NVRAM_VARIABLE_GUID;
      memcpy (&I[0x48], &Plain, sizeof (Plain));
    } },
  { "wrong store GUID", NvramUnknownStoreSignature, [] (BYTES &I) { I[0x48] ^= 1; } },
  { "store not healthy", NvramStoreNotHealthy,
    [] (BYTES &I) { PokeStoreHeader (I, 21, 0x00, 1); } },
  { "store not formatted", NvramStoreNotHealthy,
    [] (BYTES &I) { PokeStoreHeader (I, 20, 0xFF, 1); } },
  { "store past the volume", NvramBadStoreSize,
    [] (BYTES &I) { PokeStoreHeader (I, 16, (UINT32)I.size (), 4); } },
  { "no working block", NvramNoWorkingBlock,
    [] (BYTES &I) { I[WorkingBlockOffset (Region)]= 0xFF; } },
  { "damaged working block", NvramBadWorkingBlock,
    [] (BYTES &I) { I[WorkingBlockOffset (Region) + 24] ^= 1; } },
  { "write allocated, not complete", NvramWriteInProgress,
    [] (BYTES &I) { I[WorkingBlockOffset (Region) + 32]= 0xFE; } },
  { "record running past the end", NvramRecordPastEnd,
    [] (BYTES &I) { PokeRecord (I, offsetof (NVRAM_VARIABLE_HEADER, DataSize), Region); } },
  { "record header cut by the end", NvramRecordPastEnd,
    [] (BYTES &I) {
      PokeRecord (
          I, offsetof (NVRAM_VARIABLE_HEADER, DataSize), Region - 8 - (SecondSlot + 60 + 18));
      I[Region - 8]             = 0xAA;
      I[Region - 7]             = 0x55;
    } },
  { "free space not erased", NvramFreeSpaceNotErased, [] (BYTES &I) { I[Region - 1]= 0x00; } },
};

class RefusalTest : public ::testing::TestWithParam<REFUSAL> {};

static std::string
RefusalName (const ::testing::TestParamInfo<REFUSAL> &Info)
{
  std::string Name = Info.param.Case;

  std::replace_if (
      Name.begin (), Name.end (), [] (char C) { return !isalnum ((unsigned char)C); }, '_');
  return Name;
}

INSTANTIATE_TEST_SUITE_P (Damaged, RefusalTest, ::testing::ValuesIn (Refusals), RefusalName);

// Through the front end too: one line naming the reason, and the file byte for byte as it was.
TEST_P (RefusalTest, FileIsRefusedForItsReasonAndLeftAlone)
{
  BYTES       Image = BuildImage (Region, { Neighbour (u"Boot0000", 1, 10), Startup (u"-nomap") });
  NVRAM_STORE Store;
  SCRATCH_FOLDER Folder;
  std::string    File = Folder.Path + "/vm_VARS.fd";
  char           Reason[256];

  GetParam ().Damage (Image);
  ASSERT_EQ (OpenNvramStore (Image.data (), Image.size (), &Store), GetParam ().Check)
      << GetParam ().Case;
  DescribeNvramStoreCheck (GetParam ().Check, Store.CheckOffset, Reason, sizeof (Reason));
  WriteFile (File, Image);
  for (const char *Command : { "-s", "-c", "-g" }) {
    std::vector<std::string> Words = { Command };
    if (Words[0] == "-s") {
      Words.push_back ("-exit");
    }

    VARS_RUN Run = RunVars (File, Words);

    EXPECT_EQ (Run.Code, 65);
    EXPECT_EQ (Run.Out, "");
    EXPECT_EQ (Run.Err, "brisvane-vars: " + File + ": refused: " + Reason + "\n");
    EXPECT_TRUE (ReadFile (File) == Image);
  }
}

// Finished writes in the queue are history, not work left to do.
TEST (VariableStoreTest, FinishedWritesInTheQueueAreAccepted)
{
  BYTES       Image = BuildImage (Region, { Startup (u"-nomap") });
  NVRAM_STORE Store;
  UINT64      One   = 1;
  UINTN       Queue = WorkingBlockOffset (Region) + 32;

  for (UINTN Write = 0; Write < 3; Write++, Queue += 80) {
    Image[Queue] = 0xF8;
    memcpy (&Image[Queue + 24], &One, sizeof (One));
    memset (&Image[Queue + 32], 0, 8);
    Image[Queue + 40] = 0xF8;
  }

  EXPECT_EQ (OpenNvramStore (Image.data (), Image.size (), &Store), NvramStoreValid);
  Image[Queue] = 0xFE;
  EXPECT_EQ (OpenNvramStore (Image.data (), Image.size (), &Store), NvramWriteInProgress);
  EXPECT_EQ (Store.CheckOffset, Queue);
}

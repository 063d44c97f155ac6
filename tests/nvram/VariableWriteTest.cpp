/** @file
  Writing a variable as the firmware writes it: the record appended on
  OVMF's own templates, the old one retired, a deletion, the writes the
  firmware refuses, and the compaction of a full store.
**/

#include "VariableStoreTest.h"

#include <string.h>

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

// The refusals that a message explains say why, with the numbers for it, and change nothing.
TEST (VariableWriteTest, SetRefusesWhatTheFirmwareRefuses)
{
  // The stored value's record, all that a compaction of the full store frees.
  const UINTN Stored = RecordSpan (Startup (u"-exit"));
  struct {
    const char   *Case;
    bool          Full;
    UINT32        Attributes;
    UINTN         Size;
    EFI_STATUS    Status;
    NVRAM_REFUSAL Refusal;
  } Cases[] = {
    { "attributes differ from the stored ones",
      false,
      0x7,
      4,
      EFI_INVALID_PARAMETER,
      { NvramRefusedAttributes, 0x3, 0, 0 } },
    { "clear with other attributes",
      false,
      0x7,
      0,
      EFI_INVALID_PARAMETER,
      { NvramRefusedAttributes, 0x3, 0, 0 } },
    { "runtime without boot-service access", false, 0x5, 4, EFI_INVALID_PARAMETER, {} },
    { "non-volatile alone", false, 0x1, 4, EFI_INVALID_PARAMETER, {} },
    { "volatile", false, 0x2, 4, EFI_UNSUPPORTED, {} },
    { "authenticated", false, 0x23, 4, EFI_UNSUPPORTED, {} },
    { "larger than OVMF's variable limit",
      false,
      0x3,
      0x2000 - 60 - 18 + 2,
      EFI_INVALID_PARAMETER,
      { NvramRefusedTooLarge, 0, 0x2002, 0x2000 } },
    { "store full of live records even when compacted",
      true,
      0x3,
      Stored - 60 - 18 + 1,
      EFI_OUT_OF_RESOURCES,
      { NvramRefusedStoreFull, 0, Stored + 4, Stored } },
  };

  for (auto &Case : Cases) {
    SCOPED_TRACE (Case.Case);
    std::vector<RECORD> Records = { Startup (u"-exit") };
    BYTES               Data (Case.Size, 0x41);
    NVRAM_STORE         Store;
    NVRAM_WRITE_PLAN    Plan = {};
    NVRAM_EDIT          Edit = { &Plan, { NvramRefusedNoSpare, 1, 2, 3 } };

    if (Case.Full) {
      Fill (Records, NVRAM_VAR_ADDED);
    }

    BYTES       Image  = BuildImage (Region, Records);
    const BYTES Before = Image;

    Open (Image, &Store);
    EXPECT_EQ (
        NvramStoreSetVariable (
            &Store, u"Brisvane", &Shell, Case.Attributes, Data.size (), Data.data (), &Edit),
        Case.Status);
    EXPECT_EQ (Edit.Refusal.Reason, Case.Refusal.Reason);
    EXPECT_EQ (Edit.Refusal.StoredAttributes, Case.Refusal.StoredAttributes);
    EXPECT_EQ (Edit.Refusal.Needed, Case.Refusal.Needed);
    EXPECT_EQ (Edit.Refusal.Available, Case.Refusal.Available);
    EXPECT_TRUE (Image == Before);
    EXPECT_EQ (Plan.Count, 0u);
    EXPECT_EQ (Get (&Store), u"-exit");
    NvramFreeWritePlan (&Plan);
  }
}

// PcdMaxVariableSize of the build whose layout the file has, header and name included.
TEST (VariableWriteTest, LimitIsThatOfTheFirmwareThatOwnsTheStore)
{
  struct {
    const char *File;
    UINTN       Limit;
    const char *Layout;
  } Cases[] = {
    { OVMF_VARS_4M, 0x8400, "OVMF's 4 MB build" },
    { OVMF_VARS_2M, 0x2000, "OVMF's 2 MB build" },
    { AAVMF_DIR "AAVMF_VARS.ms.fd", 0x2000, "the AAVMF, RISC-V or LoongArch build" },
    { NULL, 0x2000, NULL },
  };

  for (auto &Case : Cases) {
    SCOPED_TRACE (Case.Limit);
    BYTES       Image = (Case.File != NULL) ? ReadFile (Case.File) : BuildImage (Region, {});
    BYTES       Data (Case.Limit - 60 - 18, 0x41);
    NVRAM_STORE Store;

    Open (Image, &Store);
    EXPECT_EQ (Store.MaxVariableSize, Case.Limit);
    EXPECT_STREQ (Store.Layout, Case.Layout);
    Data.push_back (0x41);
    EXPECT_EQ (
        NvramStoreSetVariable (&Store, u"Brisvane", &Shell, 0x3, Data.size (), Data.data ()),
        EFI_INVALID_PARAMETER);
    Data.pop_back ();
    if (Case.Limit <= Store.StoreEnd - Store.FreeOffset) {
      EXPECT_EQ (
          NvramStoreSetVariable (&Store, u"Brisvane", &Shell, 0x3, Data.size (), Data.data ()),
          EFI_SUCCESS);
    }
  }
}

// Reclaim keeps added records in order, then promotes those in transition without an added twin:
// of several in transition, the last, which is the one the lookup reads.
TEST (VariableWriteTest, FullStoreIsCompactedToItsLiveRecords)
{
  RECORD              Moving  = Neighbour (u"Moving", 3, 5, NVRAM_VAR_ADDED_IN_TRANSITION);
  RECORD              Twin    = Neighbour (u"Twin", 4, 7);
  RECORD              Latest  = Neighbour (u"Twice", 6, 13, NVRAM_VAR_ADDED_IN_TRANSITION);
  std::vector<RECORD> Records = {
    Neighbour (u"Boot0000", 1, 30),
    Neighbour (u"Gone", 2, 300, 0x3C),
    Moving,
    Neighbour (u"Twin", 4, 7, NVRAM_VAR_ADDED_IN_TRANSITION),
    Neighbour (u"Twice", 6, 11, NVRAM_VAR_ADDED_IN_TRANSITION),
    Startup (u"-nomap"),
    Twin,
    Latest,
    Neighbour (u"Half", 5, 9, NVRAM_VAR_HEADER_VALID_ONLY),
  };
  Fill (Records, 0x3D);
  BYTES       Image = BuildImage (Region, Records);
  NVRAM_STORE Store;

  Open (Image, &Store);
  ASSERT_EQ (Set (&Store, std::u16string (200, u'x')), EFI_SUCCESS);
  Moving.State = NVRAM_VAR_ADDED;
  Latest.State = NVRAM_VAR_ADDED;

  BYTES Expected = BuildImage (
      Region, { Records[0], Twin, Moving, Latest, Startup (std::u16string (200, u'x')) });
  EXPECT_EQ (
      Store.FreeOffset, FirstSlot + RecordSpan (Records[0]) + RecordSpan (Twin) +
                            RecordSpan (Moving) + RecordSpan (Latest) +
                            RecordSpan (Startup (std::u16string (200, u'x'))));
  // Written through the fault-tolerant write areas: one write finished in the queue, spelled out
  // as FtwWrite leaves it, and the spare area as it was.
  const UINTN Queue  = WorkingBlockOffset (Region) + sizeof (NVRAM_FTW_WORKING_HEADER);
  const INTN  Spare  = -(INTN)(WorkingBlockOffset (Region) + STORE_IMAGE_BLOCK);
  const UINTN Length = Region - 0x48;
  BYTES Write = { 0xF8, 0xFF, 0xFF, 0xFF, 0x76, 0xEA, 0x5C, 0xFE, 0x72, 0x4F, 0xE8, 0x49, 0x98,
                  0x6F, 0x2C, 0xD8, 0x99, 0xDF, 0xFE, 0x5D, 0xFF, 0xFF, 0xFF, 0xFF, 1,    0,
                  0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
                  0,    0xF9, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0,    0,    0,    0,
                  0,    0,    0,    0,    0x48, 0,    0,    0,    0,    0,    0,    0 };
  Write.resize (Write.size () + 16);
  memcpy (&Write[64], &Length, 8);
  memcpy (&Write[72], &Spare, 8);
  memcpy (&Expected[Queue], Write.data (), Write.size ());
  EXPECT_TRUE (Image == Expected);
}

// AAVMF's file is its 64 MiB flash: the variable volume, then zeros that no edit touches.
TEST (VariableWriteTest, PaddedVolumeIsEditedAndItsPaddingLeftAlone)
{
  BYTES       Built  = BuildImage (Region, { Neighbour (u"Boot0000", 1, 10) });
  const UINTN Volume = Built.size ();
  BYTES       Blank  = ReadFile (AAVMF_DIR "AAVMF_VARS.fd");
  NVRAM_STORE Store;

  ASSERT_GT (Blank.size (), 0u) << "missing AAVMF's files (package qemu-efi-aarch64)";
  EXPECT_EQ (OpenNvramStore (Blank.data (), Blank.size (), &Store), NvramUnformattedFlash);
  // The firmware's build output padded by truncate: its block map covers the volume alone, where
  // the firmware's own formatting maps the whole flash, as in Debian's files.
  Built.resize (Volume + 3 * STORE_IMAGE_BLOCK, 0);
  for (auto &Case : { std::make_pair ("", Volume),
                      { AAVMF_DIR "AAVMF_VARS.ms.fd", 0xC0000 },
                      { AAVMF_DIR "AAVMF_VARS.snakeoil.fd", 0xC0000 } }) {
    SCOPED_TRACE (Case.first);
    BYTES Image = (*Case.first == 0) ? Built : ReadFile (Case.first);
    UINTN Before;
    BYTES Data;

    Open (Image, &Store);
    EXPECT_EQ (Store.VolumeSize, Case.second);
    do {
      Before = Store.FreeOffset;
      Data.assign (0x1000, (UINT8)(Data.empty () ? 1 : Data[0] + 1));
      ASSERT_EQ (
          NvramStoreSetVariable (&Store, u"Brisvane", &Shell, 0x3, Data.size (), Data.data ()),
          EFI_SUCCESS);
    } while ((Store.FreeOffset > Before) && (Data[0] < 200));

    ASSERT_LE (Store.FreeOffset, Before) << "no write compacted the store";
    EXPECT_TRUE (
        BYTES (Image.begin () + Case.second, Image.end ()) ==
        BYTES (Image.size () - Case.second, 0));
    Open (Image, &Store);
    BYTES Read (Data.size ());
    UINTN Size = Read.size ();
    EXPECT_EQ (
        NvramStoreGetVariable (&Store, u"Brisvane", &Shell, NULL, &Size, Read.data ()),
        EFI_SUCCESS);
    EXPECT_TRUE (Read == Data);
  }
}

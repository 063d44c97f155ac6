/** @file
  Writing a variable as the firmware writes it: the record appended on
  OVMF's own templates, the old one retired, a deletion, the writes the
  firmware refuses, and the compaction of a full store.
**/

#include "VariableStoreTest.h"

#include <string.h>

// Adds records in State after Records until the store is full to its last byte.
static void
Fill (std::vector<RECORD> &Records, UINT8 State)
{
  const UINTN Bare = RecordSpan (Neighbour (u"Fill", 0, 0));
  UINTN       Used = FirstSlot;

  for (const RECORD &Record : Records) {
    Used += RecordSpan (Record);
  }

  for (UINT8 Tag = 10; Used + RecordSpan (Neighbour (u"Fill", Tag, 200)) + Bare <= Region; Tag++) {
    Records.push_back (Neighbour (u"Fill", Tag, 200, State));
    Used += RecordSpan (Records.back ());
  }

  Records.push_back (Neighbour (u"Fill", 0xFF, Region - Used - Bare, State));
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

TEST (VariableWriteTest, SetRefusesWhatTheFirmwareRefuses)
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
TEST (VariableWriteTest, FullStoreIsCompactedToItsLiveRecords)
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
  Fill (Records, 0x3D);
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

TEST (VariableWriteTest, StoreFullOfLiveRecordsIsOutOfResources)
{
  std::vector<RECORD> Records = { Startup (u"-nomap") };

  Fill (Records, NVRAM_VAR_ADDED);
  BYTES       Image  = BuildImage (Region, Records);
  const BYTES Before = Image;
  NVRAM_STORE Store;

  Open (Image, &Store);
  ASSERT_EQ (Store.FreeOffset, Store.StoreEnd);
  EXPECT_EQ (Set (&Store, u"-nomap -exit"), EFI_OUT_OF_RESOURCES);
  EXPECT_TRUE (Image == Before);
  EXPECT_EQ (Get (&Store), u"-nomap");
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

/** @file
  Finding a variable as the firmware finds it: records in transition, the
  header of an interrupted append, neighbours told apart only by name and
  GUID, and the answers of GetVariable.
**/

#include "VariableStoreTest.h"

#include <string.h>

// A write interrupted between its steps leaves the old record in transition beside the new one.
TEST (VariableLookupTest, RecordsInTransitionAreFoundAndRetired)
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
TEST (VariableLookupTest, HeaderOfAnInterruptedAppendCountsAsBareHeader)
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
TEST (VariableLookupTest, NeighboursKeepEveryByte)
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

TEST (VariableLookupTest, GetAnswersAsTheFirmwareDoes)
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

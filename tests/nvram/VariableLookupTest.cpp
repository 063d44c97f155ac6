/** @file
  Finding a variable as the firmware finds it: records in transition, the
  header of an interrupted append, neighbours told apart only by name and
  GUID, and the answers of GetVariable.
**/

#include "VariableStoreTest.h"

#include <string.h>

// A write interrupted between its steps leaves the old record in transition beside the new one;
// the firmware's and an older writer's cuts leave several in transition, of which the firmware
// reads the first once it reclaims at boot, as it does when the free space is not erased. A write
// of another variable (compacting that store) reads the same, and a write of this one retires
// every record of it.
TEST (VariableLookupTest, RecordsInTransitionAreFoundAndRetired)
{
  struct {
    const char         *Case;
    std::vector<RECORD> Records;
    bool                Erased;
    const char16_t     *Found;
  } Cases[] = {
    { "in transition alone", { Startup (u"-old", NVRAM_VAR_ADDED_IN_TRANSITION) }, true, u"-old" },
    { "in transition, then added",
      { Startup (u"-old", NVRAM_VAR_ADDED_IN_TRANSITION), Startup (u"-new") },
      true,
      u"-new" },
    { "deleted, then added", { Startup (u"-old", 0x3C), Startup (u"-new") }, true, u"-new" },
    { "two in transition, free space erased",
      { Startup (u"-older", NVRAM_VAR_ADDED_IN_TRANSITION),
        Startup (u"-old", NVRAM_VAR_ADDED_IN_TRANSITION) },
      true,
      u"-old" },
    { "two in transition, free space not erased",
      { Startup (u"-older", NVRAM_VAR_ADDED_IN_TRANSITION),
        Startup (u"-old", NVRAM_VAR_ADDED_IN_TRANSITION) },
      false,
      u"-older" },
  };

  for (auto &Case : Cases) {
    SCOPED_TRACE (Case.Case);
    BYTES       Image = BuildImage (Region, Case.Records);
    NVRAM_STORE Store;

    // Past the records: the bytes a cut append leaves.
    Image[FirstSlot + 1000] = Case.Erased ? NVRAM_ERASED_BYTE : 0x12;
    Open (Image, &Store);
    EXPECT_EQ (Get (&Store), Case.Found);
    ASSERT_EQ (NvramStoreSetVariable (&Store, u"Lang", &Shell, 0x3, 4, "eng"), EFI_SUCCESS);
    Open (Image, &Store);
    EXPECT_EQ (Get (&Store), Case.Found);
    ASSERT_EQ (Set (&Store, u"-exit"), EFI_SUCCESS);
    EXPECT_EQ (Get (&Store), u"-exit");
    for (UINTN Offset = FirstSlot, Index = 0; Case.Erased && (Index < Case.Records.size ());
         Index++) {
      EXPECT_EQ (StateAt (Image, Offset), 0x3C) << "record " << Index;
      Offset += RecordSpan (Case.Records[Index]);
    }
  }
}

// The header of an append cut short: the driver's first step writes it with State erased, which
// reads as a bare header, after which the driver appends; an older writer's header marked valid
// but torn in its DataSize (0xFFFFFF??) sends the driver's walk past the store, which ends the
// records there: the old value is read, and the next write compacts the store.
TEST (VariableLookupTest, HeaderOfAnInterruptedAppendKeepsTheOldValue)
{
  const UINTN Started = FirstSlot + RecordSpan (Startup (u"-nomap"));
  struct {
    const char *Case;
    UINT8       State;
    UINT8       DataSizeTop; ///< DataSize's top three bytes: 0 as written, or erased.
    UINTN       FreeOffset;
    BOOLEAN     Erased;
    UINTN       Written; ///< Where the next write puts its record.
  } Cases[] = {
    { "State erased", NVRAM_ERASED_BYTE, 0, Started + 60, TRUE, Started + 60 },
    { "DataSize torn", NVRAM_VAR_HEADER_VALID_ONLY, 0xFF, Started, FALSE, FirstSlot },
  };

  for (auto &Case : Cases) {
    SCOPED_TRACE (Case.Case);
    BYTES       Image  = BuildImage (Region, { Startup (u"-nomap") });
    BYTES       Record = BuildImage (Region, { Startup (u"-exit", Case.State) });
    NVRAM_STORE Store;

    memcpy (&Image[Started], &Record[FirstSlot], sizeof (NVRAM_VARIABLE_HEADER));
    memset (&Image[Started + offsetof (NVRAM_VARIABLE_HEADER, DataSize) + 1], Case.DataSizeTop, 3);
    Open (Image, &Store);
    EXPECT_EQ (Store.FreeOffset, Case.FreeOffset);
    EXPECT_EQ (Store.FreeSpaceErased, Case.Erased);
    EXPECT_EQ (Get (&Store), u"-nomap");
    ASSERT_EQ (Set (&Store, u"-nonest"), EFI_SUCCESS);
    EXPECT_EQ (Get (&Store), u"-nonest");
    EXPECT_EQ (StateAt (Image, Case.Written), NVRAM_VAR_ADDED);
    EXPECT_EQ (Store.FreeOffset, Case.Written + RecordSpan (Startup (u"-nonest")));
  }
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

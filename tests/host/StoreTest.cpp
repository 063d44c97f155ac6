/** @file
  The start-up option variable as its callers see it: a write replaces the
  whole value, only its own name and GUID are touched, a query finds a value
  of any size, and the firmware's answers come back unchanged. (The command
  model checks each write's name, GUID, attributes and data, and the
  dispatch table the status of each command.)
**/

#include "HostTest.h"

#include "store/StartupOptionStore.h"

using namespace HostPlatform;

class StoreTest : public HostTest {};

TEST_F (StoreTest, WriteReplacesTheWholeValue)
{
  const BYTES First  = Ucs2Bytes (u"-nomap -exit");
  const BYTES Second = Ucs2Bytes (u"-exit");

  ASSERT_EQ (First.size (), 26u);
  EXPECT_EQ (WriteStartupOptions (u"-nomap -exit", First.size ()), EFI_SUCCESS);
  EXPECT_EQ (WriteStartupOptions (u"-exit", Second.size ()), EFI_SUCCESS);
  ASSERT_NE (StartupVariable (), nullptr);
  EXPECT_EQ (StartupVariable ()->Data, Second);
}

// Only the name and GUID tell the variable apart from its neighbours.
TEST_F (StoreTest, OtherVariablesAreLeftAlone)
{
  EFI_GUID Other = ShellGuid ();

  Other.Data4[7] ^= 1;
  SeedVariable (u"Brisvane", Other, 0x3, Ucs2Bytes (u"-nomap"));
  SeedVariable (u"brisvane", ShellGuid (), 0x3, Ucs2Bytes (u"-nomap"));

  EXPECT_EQ (QueryStartupOptions (), EFI_NOT_FOUND);
  EXPECT_EQ (ClearStartupOptions (), EFI_NOT_FOUND);
  EXPECT_NE (FindVariable (u"Brisvane", Other), nullptr);
  EXPECT_NE (FindVariable (u"brisvane", ShellGuid ()), nullptr);
}

// A value of any size is present; a query that gave room would find a short one read, not present.
TEST_F (StoreTest, QueryFindsAValueOfAnySize)
{
  for (UINTN Size : { 1, 2, 26, 8400 }) {
    SCOPED_TRACE (Size);
    Reset ();
    SeedVariable (u"Brisvane", ShellGuid (), 0x3, BYTES (Size, 0x41));

    EXPECT_EQ (QueryStartupOptions (), EFI_BUFFER_TOO_SMALL);
    EXPECT_EQ (LiveBuffers (), 0u);
  }
}

TEST_F (StoreTest, QueryWithoutScratchBufferAsksNothing)
{
  SeedVariable (u"Brisvane", ShellGuid (), 0x3, Ucs2Bytes (u"-nomap"));
  FailNextCall (Operation::AllocateZeroPool, EFI_OUT_OF_RESOURCES);

  EXPECT_EQ (QueryStartupOptions (), EFI_OUT_OF_RESOURCES);
  EXPECT_TRUE (Records ().GetVariableCalls.empty ());
}

// A variable left by someone else with other attributes is refused by the firmware, not by us.
TEST_F (StoreTest, FirmwareRefusalsPassThroughUnchanged)
{
  const BYTES Foreign = Ucs2Bytes (u"-nomap");

  SeedVariable (u"Brisvane", ShellGuid (), 0x7, Foreign);

  EXPECT_EQ (WriteStartupOptions (u"-exit", 12), EFI_INVALID_PARAMETER);
  EXPECT_EQ (ClearStartupOptions (), EFI_INVALID_PARAMETER);
  EXPECT_EQ (StartupVariable ()->Data, Foreign);
  FailNextCall (Operation::SetVariable, EFI_WRITE_PROTECTED);
  EXPECT_EQ (ClearStartupOptions (), EFI_WRITE_PROTECTED);
  FailNextCall (Operation::GetVariable, EFI_DEVICE_ERROR);
  EXPECT_EQ (QueryStartupOptions (), EFI_DEVICE_ERROR);
  EXPECT_EQ (LiveBuffers (), 0u);
}

// The read behind brisvane-vars --show: each allocation and the read itself may fail.
TEST_F (StoreTest, ReadGivesTheWholeValueAndReleasesWhatItAllocated)
{
  const BYTES Value = Ucs2Bytes (u"-nomap -delay 3");
  struct {
    const char *Case;
    bool        Stored;
    Operation   Failing;
    UINTN       Call;
    EFI_STATUS  Status;
  } Cases[] = {
    { "present", true, Operation::Count, 0, EFI_SUCCESS },
    { "absent", false, Operation::Count, 0, EFI_NOT_FOUND },
    { "no buffer to size it", true, Operation::AllocateZeroPool, 1, EFI_OUT_OF_RESOURCES },
    { "no buffer for the value", true, Operation::AllocateZeroPool, 2, EFI_OUT_OF_RESOURCES },
    { "the read fails", true, Operation::GetVariable, 2, EFI_DEVICE_ERROR },
  };

  for (auto &Case : Cases) {
    SCOPED_TRACE (Case.Case);
    VOID *Data     = &Case;
    UINTN DataSize = 1;

    Reset ();
    if (Case.Stored) {
      SeedVariable (u"Brisvane", ShellGuid (), 0x3, Value);
    }

    if (Case.Call != 0) {
      FailCall (Case.Failing, Case.Call, Case.Status);
    }

    UINT32 Attributes = 0;

    ASSERT_EQ (ReadStartupOptions (&Data, &DataSize, &Attributes), Case.Status);
    if (Case.Status == EFI_SUCCESS) {
      EXPECT_EQ (std::vector<UINT8> ((UINT8 *)Data, (UINT8 *)Data + DataSize), Value);
      EXPECT_EQ (Attributes, 0x3u);
      Platform::FreePool (Data);
    } else {
      EXPECT_EQ (Data, nullptr);
      EXPECT_EQ (DataSize, 0u);
    }

    EXPECT_EQ (LiveBuffers (), 0u);
  }
}

/** @file
  The read of the start-up options behind brisvane-vars --show, on the host
  double, whose faults reach each allocation and each GetVariable.
**/

#include "HostTest.h"

#include "store/StartupOptionStore.h"

using namespace HostPlatform;

class StartupOptionReadTest : public HostTest {};

TEST_F (StartupOptionReadTest, ReadsTheWholeValueAndReleasesWhatItAllocated)
{
  const std::vector<UINT8> Value = StoredBytes (u"-nomap -delay 3");
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
      SeedVariable (u"Brisvane", ShellVendorGuid (), 0x3, Value);
    }

    if (Case.Call != 0) {
      FailCall (Case.Failing, Case.Call, Case.Status);
    }

    ASSERT_EQ (ReadStartupOptions (&Data, &DataSize), Case.Status);
    if (Case.Status == EFI_SUCCESS) {
      EXPECT_EQ (std::vector<UINT8> ((UINT8 *)Data, (UINT8 *)Data + DataSize), Value);
      Platform::FreePool (Data);
    } else {
      EXPECT_EQ (Data, nullptr);
      EXPECT_EQ (DataSize, 0u);
    }

    EXPECT_EQ (LiveBuffers (), 0u);
  }
}

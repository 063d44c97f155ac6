/** @file
  The "Brisvane" variable: write, delete and presence query.
**/

#include "store/StartupOptionStore.h"

#include "platform/Platform.h"

const UCS2_CHAR StartupOptionVariableName[] = u"Brisvane";
const EFI_GUID  StartupOptionVendorGuid     = SHELL_VARIABLE_VENDOR_GUID;

EFI_STATUS
WriteStartupOptions (const UCS2_CHAR *Data, UINTN DataSize)
{
  return Platform::SetVariable (
      StartupOptionVariableName, &StartupOptionVendorGuid, STARTUP_OPTION_ATTRIBUTES, DataSize,
      Data);
}

EFI_STATUS
ClearStartupOptions (VOID)
{
  // A DataSize of 0 deletes the variable.
  return WriteStartupOptions (NULL, 0);
}

EFI_STATUS
QueryStartupOptions (VOID)
{
  EFI_STATUS Status;
  UINTN      DataSize;
  VOID      *Scratch;

  // A DataSize of 0 makes the firmware answer presence without the value.
  Scratch = Platform::AllocateZeroPool (1);
  if (Scratch == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  DataSize = 0;
  Status   = Platform::GetVariable (
        StartupOptionVariableName, &StartupOptionVendorGuid, NULL, &DataSize, Scratch);
  Platform::FreePool (Scratch);
  return Status;
}

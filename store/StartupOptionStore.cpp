/** @file
  The "Brisvane" variable: write, delete, presence query and read.
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

EFI_STATUS
ReadStartupOptions (VOID **Data, UINTN *DataSize, UINT32 *Attributes)
{
  EFI_STATUS Status;
  UINTN      Size;
  VOID      *Value;

  *Data     = NULL;
  *DataSize = 0;

  // The first call has no room, as in QueryStartupOptions, and so gives the size.
  Size  = 0;
  Value = Platform::AllocateZeroPool (1);
  if (Value == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  Status = Platform::GetVariable (
      StartupOptionVariableName, &StartupOptionVendorGuid, Attributes, &Size, Value);
  if (Status == EFI_BUFFER_TOO_SMALL) {
    Platform::FreePool (Value);
    Value = Platform::AllocateZeroPool (Size);
    if (Value == NULL) {
      return EFI_OUT_OF_RESOURCES;
    }

    Status = Platform::GetVariable (
        StartupOptionVariableName, &StartupOptionVendorGuid, Attributes, &Size, Value);
  }

  if (EFI_ERROR (Status)) {
    Platform::FreePool (Value);
    return Status;
  }

  *Data     = Value;
  *DataSize = Size;
  return EFI_SUCCESS;
}

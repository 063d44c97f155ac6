/** @file
  The application's main routine, called by EDK II's application entry
  between the library constructors and destructors.
**/

#include "app/ApplicationMain.h"

#include "app/ShellArguments.h"
#include "command/Command.h"

EFI_STATUS
EFIAPI
ApplicationMain (EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable)
{
  UINTN       Argc;
  UCS2_CHAR **Argv;

  // The library constructors have already taken the service tables from SystemTable.
  (VOID) SystemTable;

  if (EFI_ERROR (GetShellArguments (ImageHandle, &Argc, &Argv))) {
    return EFI_OUT_OF_RESOURCES;
  }

  return DispatchCommand (Argc, Argv);
}

/** @file
  The application's main routine, the module entry point named in the .inf.
**/

#ifndef APPLICATION_MAIN_H_
#define APPLICATION_MAIN_H_

#include "platform/PlatformTypes.h"

extern "C" {
/**
  Runs one command line: reads the argument vector from the shell and
  carries it out.

  @param[in] ImageHandle  The application's image handle.
  @param[in] SystemTable  The system table.

  @retval EFI_OUT_OF_RESOURCES  No shell protocol gave an argument vector;
                                nothing was printed.
  @return                       The status of DispatchCommand.
**/
EFI_STATUS
EFIAPI
ApplicationMain (EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
}

#endif

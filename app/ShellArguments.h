/** @file
  The argument vector, from whichever shell protocol the launching shell put
  on the image's handle.
**/

#ifndef SHELL_ARGUMENTS_H_
#define SHELL_ARGUMENTS_H_

#include "platform/PlatformTypes.h"

/**
  Reads Argc and Argv from EFI_SHELL_PARAMETERS_PROTOCOL on the image's
  handle, or failing that from the older EFI_SHELL_INTERFACE. The vector and
  its strings belong to the shell and stay valid for the whole run.

  @param[in]  ImageHandle  The application's image handle.
  @param[out] Argc         Receives the number of words.
  @param[out] Argv         Receives the words.

  @retval EFI_SUCCESS  Argc and Argv were read.
  @return              The status of opening EFI_SHELL_INTERFACE when
                       neither protocol is on the handle.
**/
EFI_STATUS
GetShellArguments (EFI_HANDLE ImageHandle, UINTN *Argc, UCS2_CHAR ***Argv);

#endif

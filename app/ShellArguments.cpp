/** @file
  Reading the argument vector from the shell protocols.
**/

#include "app/ShellArguments.h"

#include "platform/Platform.h"

static EFI_STATUS
OpenShellProtocol (EFI_HANDLE ImageHandle, const EFI_GUID *Protocol, VOID **Interface)
{
  return Platform::OpenProtocol (
      ImageHandle, Protocol, Interface, ImageHandle, NULL, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
}

EFI_STATUS
GetShellArguments (EFI_HANDLE ImageHandle, UINTN *Argc, UCS2_CHAR ***Argv)
{
  EFI_STATUS      Status;
  const EFI_GUID *Protocol;
  VOID           *Interface;

  Protocol = &gEfiShellParametersProtocolGuid;
  Status   = OpenShellProtocol (ImageHandle, Protocol, &Interface);
  if (!EFI_ERROR (Status)) {
    const SHELL_PARAMETERS_ARGUMENTS *Parameters =
        static_cast<SHELL_PARAMETERS_ARGUMENTS *> (Interface);

    *Argc = Parameters->Argc;
    *Argv = Parameters->Argv;
  } else {
    Protocol = &gEfiShellInterfaceGuid;
    Status   = OpenShellProtocol (ImageHandle, Protocol, &Interface);
    if (EFI_ERROR (Status)) {
      return Status;
    }

    const SHELL_INTERFACE_ARGUMENTS *Shell = static_cast<SHELL_INTERFACE_ARGUMENTS *> (Interface);

    *Argc = Shell->Argc;
    *Argv = Shell->Argv;
  }

  // The vector stays the shell's after the close; only the open is undone.
  Platform::CloseProtocol (ImageHandle, Protocol, ImageHandle, NULL);
  return EFI_SUCCESS;
}

/** @file
  The host machine's protocol database: the image handle with the shell
  protocols a test installs, opened and closed as EDK II's DXE core does,
  and Unicode Collation for LocateProtocol.
**/

#include "HostMachine.h"

#include <algorithm>

using namespace HostPlatform;

EFI_HANDLE
HostPlatform::ImageHandle (VOID)
{
  return &Machine.ImageTag;
}

static void
InstallProtocol (const EFI_GUID &Guid, VOID *Interface)
{
  Machine.Protocols.push_back ({ Guid, Interface, {} });
}

void
HostPlatform::InstallShellParameters (UINTN Argc, UCS2_CHAR **Argv)
{
  Machine.Parameters = { Argv, Argc };
  InstallProtocol (gEfiShellParametersProtocolGuid, &Machine.Parameters);
}

void
HostPlatform::InstallShellInterface (UINTN Argc, UCS2_CHAR **Argv)
{
  Machine.Shell = { ImageHandle (), NULL, Argv, Argc };
  InstallProtocol (gEfiShellInterfaceGuid, &Machine.Shell);
}

UINTN
HostPlatform::OpenProtocolEntries (VOID)
{
  UINTN Entries = 0;

  for (const INSTALLED_PROTOCOL &Installed : Machine.Protocols) {
    Entries += Installed.Opens.size ();
  }

  return Entries;
}

static INSTALLED_PROTOCOL *
FindProtocol (const EFI_GUID *Guid)
{
  for (INSTALLED_PROTOCOL &Installed : Machine.Protocols) {
    if (Installed.Guid == *Guid) {
      return &Installed;
    }
  }

  return NULL;
}

// CoreOpenProtocol for EFI_OPEN_PROTOCOL_GET_PROTOCOL, the one way the logic opens.
static EFI_STATUS
OpenOnImage (
    EFI_HANDLE      Handle,
    const EFI_GUID *Protocol,
    VOID          **Interface,
    EFI_HANDLE      AgentHandle,
    EFI_HANDLE      ControllerHandle)
{
  if ((Interface == NULL) || (Handle != ImageHandle ())) {
    return EFI_INVALID_PARAMETER;
  }

  INSTALLED_PROTOCOL *Installed = FindProtocol (Protocol);

  if (Installed == NULL) {
    // A missing protocol clears Interface; the other errors leave it alone.
    *Interface = NULL;
    return EFI_UNSUPPORTED;
  }

  // An open already on the list for this agent and controller is counted, not added.
  bool Listed = false;

  for (const OPEN_ENTRY &Entry : Installed->Opens) {
    Listed |= (Entry.AgentHandle == AgentHandle) && (Entry.ControllerHandle == ControllerHandle);
  }

  if (!Listed) {
    Installed->Opens.push_back ({ AgentHandle, ControllerHandle });
  }

  *Interface = Installed->Interface;
  return EFI_SUCCESS;
}

EFI_STATUS
Platform::OpenProtocol (
    EFI_HANDLE      Handle,
    const EFI_GUID *Protocol,
    VOID          **Interface,
    EFI_HANDLE      AgentHandle,
    EFI_HANDLE      ControllerHandle,
    UINT32          Attributes)
{
  EFI_STATUS Status;

  if ((Protocol == NULL) || (Attributes != EFI_OPEN_PROTOCOL_GET_PROTOCOL)) {
    Machine.Misuse ("OpenProtocol: no GUID, or a way of opening that is not modelled");
    return EFI_INVALID_PARAMETER;
  }

  if (!Faulted (Operation::OpenProtocol, &Status)) {
    Status = OpenOnImage (Handle, Protocol, Interface, AgentHandle, ControllerHandle);
  }

  Machine.Records.ProtocolCalls.push_back (
      { true, Handle, *Protocol, AgentHandle, ControllerHandle, Status });
  return Status;
}

// CoreCloseProtocol: every open by this agent and controller is undone.
static EFI_STATUS
CloseOnImage (
    EFI_HANDLE      Handle,
    const EFI_GUID *Protocol,
    EFI_HANDLE      AgentHandle,
    EFI_HANDLE      ControllerHandle)
{
  if ((Handle != ImageHandle ()) || (AgentHandle != ImageHandle ()) ||
      ((ControllerHandle != NULL) && (ControllerHandle != ImageHandle ()))) {
    return EFI_INVALID_PARAMETER;
  }

  INSTALLED_PROTOCOL *Installed = FindProtocol (Protocol);

  if (Installed == NULL) {
    return EFI_NOT_FOUND;
  }

  std::vector<OPEN_ENTRY> &Opens  = Installed->Opens;
  UINTN                    Before = Opens.size ();

  Opens.erase (
      std::remove_if (
          Opens.begin (), Opens.end (),
          [&] (const OPEN_ENTRY &Entry) {
            return (Entry.AgentHandle == AgentHandle) &&
                   (Entry.ControllerHandle == ControllerHandle);
          }),
      Opens.end ());
  return (Opens.size () < Before) ? EFI_SUCCESS : EFI_NOT_FOUND;
}

EFI_STATUS
Platform::CloseProtocol (
    EFI_HANDLE      Handle,
    const EFI_GUID *Protocol,
    EFI_HANDLE      AgentHandle,
    EFI_HANDLE      ControllerHandle)
{
  EFI_STATUS Status;

  if (Protocol == NULL) {
    Machine.Misuse ("CloseProtocol: no GUID");
    return EFI_INVALID_PARAMETER;
  }

  if (!Faulted (Operation::CloseProtocol, &Status)) {
    Status = CloseOnImage (Handle, Protocol, AgentHandle, ControllerHandle);
  }

  Machine.Records.ProtocolCalls.push_back (
      { false, Handle, *Protocol, AgentHandle, ControllerHandle, Status });
  return Status;
}

EFI_STATUS
Platform::LocateProtocol (const EFI_GUID *Protocol, VOID *Registration, VOID **Interface)
{
  EFI_STATUS Status;

  if ((Protocol == NULL) || (Interface == NULL) || (Registration != NULL)) {
    Machine.Misuse ("LocateProtocol: no GUID, no Interface, or a registration");
    return EFI_INVALID_PARAMETER;
  }

  *Interface = NULL;
  if (Faulted (Operation::LocateProtocol, &Status)) {
    return Status;
  }

  if (!(*Protocol == gEfiUnicodeCollation2ProtocolGuid)) {
    return EFI_NOT_FOUND;
  }

  *Interface = &Machine.Collation;
  return EFI_SUCCESS;
}

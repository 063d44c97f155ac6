/** @file
  The platform operations on the host, over a machine that keeps its state
  in this file and answers as EDK II's DXE core, variable driver, English
  Unicode Collation driver, BaseLib and UefiLib do.
**/

#include "HostPlatform.h"

#include "platform/host/FirmwareRoutines.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <map>

using namespace HostPlatform;

#define HOST_EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL 0x00000001
#define HOST_EFI_OPEN_PROTOCOL_TEST_PROTOCOL      0x00000004

struct EFI_UNICODE_COLLATION_PROTOCOL {
  INTN (*StriColl) (EFI_UNICODE_COLLATION_PROTOCOL *, UCS2_CHAR *, UCS2_CHAR *);
  BOOLEAN (*MetaiMatch) (EFI_UNICODE_COLLATION_PROTOCOL *, UCS2_CHAR *, UCS2_CHAR *);
  VOID (*StrLwr) (EFI_UNICODE_COLLATION_PROTOCOL *, UCS2_CHAR *);
  VOID (*StrUpr) (EFI_UNICODE_COLLATION_PROTOCOL *, UCS2_CHAR *);
  VOID (*FatToStr) (EFI_UNICODE_COLLATION_PROTOCOL *, UINTN, char *, UCS2_CHAR *);
  BOOLEAN (*StrToFat) (EFI_UNICODE_COLLATION_PROTOCOL *, UCS2_CHAR *, UINTN, char *);
  const char *SupportedLanguages;
};

struct OPEN_ENTRY {
  EFI_HANDLE AgentHandle;
  EFI_HANDLE ControllerHandle;
  UINT32     Attributes;
};

struct INSTALLED_PROTOCOL {
  EFI_GUID                Guid;
  VOID                   *Interface;
  std::vector<OPEN_ENTRY> Opens;
};

struct FAULT {
  Operation  Op;
  UINTN      CallNumber;
  EFI_STATUS Status;
};

static void
AbortOnMisuse (const char *Message)
{
  fprintf (stderr, "host platform misuse: %s\n", Message);
  abort ();
}

static VOID
EnglishStrLwr (EFI_UNICODE_COLLATION_PROTOCOL *This, UCS2_CHAR *String)
{
  (VOID) This;
  for (; *String != 0; String++) {
    *String = FirmwareRoutines::EnglishLower (*String);
  }
}

struct HOST_MACHINE {
  void (*Misuse) (const char *) = AbortOnMisuse;
  UINTN              Calls[static_cast<int> (Operation::Count)];
  std::vector<FAULT> Faults;
  std::map<std::pair<std::u16string, std::vector<UINT8>>, VARIABLE> Variables;
  std::vector<SET_VARIABLE_CALL>                                    SetCalls;
  std::vector<GET_VARIABLE_CALL>                                    GetCalls;
  std::u16string                                                    Console;
  std::vector<std::u16string>                                       Writes;
  std::map<VOID *, UINTN>                                           Pool;
  std::vector<UINTN>                                                Sizes;
  bool                                                              CollationPresent;
  EFI_UNICODE_COLLATION_PROTOCOL                                    Collation;
  std::vector<INSTALLED_PROTOCOL>                                   Protocols;
  std::vector<PROTOCOL_CALL>                                        ProtocolCalls;
  EFI_SHELL_PARAMETERS_PROTOCOL                                     Parameters;
  EFI_SHELL_INTERFACE                                               Shell;
  char                                                              Image;
};

static HOST_MACHINE Machine;

static std::pair<std::u16string, std::vector<UINT8>>
VariableKey (const std::u16string &Name, const EFI_GUID &Guid)
{
  const UINT8 *Bytes = reinterpret_cast<const UINT8 *> (&Guid);

  return { Name, std::vector<UINT8> (Bytes, Bytes + sizeof (Guid)) };
}

// Counts the call and tells whether a fault was armed for it.
static bool
Faulted (Operation Op, EFI_STATUS *Status)
{
  UINTN Number = ++Machine.Calls[static_cast<int> (Op)];

  for (const FAULT &Fault : Machine.Faults) {
    if ((Fault.Op == Op) && (Fault.CallNumber == Number)) {
      *Status = Fault.Status;
      return true;
    }
  }

  return false;
}

void
HostPlatform::Reset (VOID)
{
  for (auto &Buffer : Machine.Pool) {
    free (Buffer.first);
  }

  void (*Misuse) (const char *) = Machine.Misuse;

  Machine                              = HOST_MACHINE ();
  Machine.Misuse                       = Misuse;
  Machine.CollationPresent             = true;
  Machine.Collation.StrLwr             = EnglishStrLwr;
  Machine.Collation.SupportedLanguages = "en";
}

void
HostPlatform::SetMisuseHandler (void (*Handler) (const char *Message))
{
  Machine.Misuse = (Handler != NULL) ? Handler : AbortOnMisuse;
}

void
HostPlatform::FailCall (Operation Op, UINTN CallNumber, EFI_STATUS Status)
{
  if ((Op == Operation::StrLwr) || (Op == Operation::FreePool) || (Op == Operation::StrCmp)) {
    Machine.Misuse ("FailCall: this operation cannot fail");
    return;
  }

  Machine.Faults.push_back ({ Op, CallNumber, Status });
}

void
HostPlatform::FailNextCall (Operation Op, EFI_STATUS Status)
{
  FailCall (Op, CallCount (Op) + 1, Status);
}

UINTN
HostPlatform::CallCount (Operation Op)
{
  return Machine.Calls[static_cast<int> (Op)];
}

const char *
HostPlatform::OperationName (Operation Op)
{
  static const char *const Names[] = {
    "OpenProtocol",     "CloseProtocol", "LocateProtocol", "StrLwr",
    "AllocateZeroPool", "FreePool",      "GetVariable",    "SetVariable",
    "StrCmp",           "StrCat",        "Print"
  };

  return Names[static_cast<int> (Op)];
}

void
HostPlatform::SeedVariable (
    const std::u16string     &Name,
    const EFI_GUID           &Guid,
    UINT32                    Attributes,
    const std::vector<UINT8> &Data)
{
  Machine.Variables[VariableKey (Name, Guid)] = { Name, Guid, Attributes, Data };
}

const VARIABLE *
HostPlatform::FindVariable (const std::u16string &Name, const EFI_GUID &Guid)
{
  auto Found = Machine.Variables.find (VariableKey (Name, Guid));

  return (Found == Machine.Variables.end ()) ? NULL : &Found->second;
}

UINTN
HostPlatform::VariableCount (VOID)
{
  return Machine.Variables.size ();
}

const std::vector<SET_VARIABLE_CALL> &
HostPlatform::SetVariableCalls (VOID)
{
  return Machine.SetCalls;
}

const std::vector<GET_VARIABLE_CALL> &
HostPlatform::GetVariableCalls (VOID)
{
  return Machine.GetCalls;
}

const std::u16string &
HostPlatform::ConsoleText (VOID)
{
  return Machine.Console;
}

const std::vector<std::u16string> &
HostPlatform::ConsoleWrites (VOID)
{
  return Machine.Writes;
}

UINTN
HostPlatform::LiveBuffers (VOID)
{
  return Machine.Pool.size ();
}

const std::vector<UINTN> &
HostPlatform::AllocationSizes (VOID)
{
  return Machine.Sizes;
}

void
HostPlatform::SetCollationPresent (bool Present)
{
  Machine.CollationPresent = Present;
}

EFI_HANDLE
HostPlatform::ImageHandle (VOID)
{
  return &Machine.Image;
}

static void
InstallProtocol (const EFI_GUID &Guid, VOID *Interface)
{
  for (INSTALLED_PROTOCOL &Installed : Machine.Protocols) {
    if (Installed.Guid == Guid) {
      Installed.Interface = Interface;
      return;
    }
  }

  Machine.Protocols.push_back ({ Guid, Interface, {} });
}

void
HostPlatform::InstallShellParameters (UINTN Argc, UCS2_CHAR **Argv)
{
  Machine.Parameters      = {};
  Machine.Parameters.Argv = Argv;
  Machine.Parameters.Argc = Argc;
  InstallProtocol (gEfiShellParametersProtocolGuid, &Machine.Parameters);
}

void
HostPlatform::InstallShellInterface (UINTN Argc, UCS2_CHAR **Argv)
{
  Machine.Shell             = {};
  Machine.Shell.ImageHandle = ImageHandle ();
  Machine.Shell.Argv        = Argv;
  Machine.Shell.Argc        = Argc;
  Machine.Shell.EchoOn      = TRUE;
  InstallProtocol (gEfiShellInterfaceGuid, &Machine.Shell);
}

const std::vector<PROTOCOL_CALL> &
HostPlatform::ProtocolCalls (VOID)
{
  return Machine.ProtocolCalls;
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

static EFI_STATUS
ValidateHandle (EFI_HANDLE Handle)
{
  return (Handle == ImageHandle ()) ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
}

// CoreOpenProtocol for the attributes that take no driver handles.
static EFI_STATUS
OpenOnImage (
    EFI_HANDLE      Handle,
    const EFI_GUID *Protocol,
    VOID          **Interface,
    EFI_HANDLE      AgentHandle,
    EFI_HANDLE      ControllerHandle,
    UINT32          Attributes)
{
  if ((Attributes != HOST_EFI_OPEN_PROTOCOL_TEST_PROTOCOL) && (Interface == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  if (EFI_ERROR (ValidateHandle (Handle))) {
    return EFI_INVALID_PARAMETER;
  }

  if ((Attributes != EFI_OPEN_PROTOCOL_GET_PROTOCOL) &&
      (Attributes != HOST_EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL) &&
      (Attributes != HOST_EFI_OPEN_PROTOCOL_TEST_PROTOCOL)) {
    Machine.Misuse ("OpenProtocol: driver attributes are not modelled");
    return EFI_INVALID_PARAMETER;
  }

  INSTALLED_PROTOCOL *Installed = FindProtocol (Protocol);

  if (Installed == NULL) {
    return EFI_UNSUPPORTED;
  }

  bool Counted = false;

  for (const OPEN_ENTRY &Entry : Installed->Opens) {
    Counted |= (Entry.AgentHandle == AgentHandle) && (Entry.ControllerHandle == ControllerHandle) &&
               (Entry.Attributes == Attributes);
  }

  if (!Counted) {
    Installed->Opens.push_back ({ AgentHandle, ControllerHandle, Attributes });
  }

  if (Attributes != HOST_EFI_OPEN_PROTOCOL_TEST_PROTOCOL) {
    *Interface = Installed->Interface;
  }

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

  if (Protocol == NULL) {
    Machine.Misuse ("OpenProtocol: no GUID");
    return EFI_INVALID_PARAMETER;
  }

  if (!Faulted (Operation::OpenProtocol, &Status)) {
    Status = OpenOnImage (Handle, Protocol, Interface, AgentHandle, ControllerHandle, Attributes);
  }

  // Like the DXE core, a missing protocol clears Interface and other errors leave it alone.
  if ((Status == EFI_UNSUPPORTED) && (Interface != NULL) &&
      (Attributes != HOST_EFI_OPEN_PROTOCOL_TEST_PROTOCOL)) {
    *Interface = NULL;
  }

  Machine.ProtocolCalls.push_back (
      { true, Handle, *Protocol, AgentHandle, ControllerHandle, Attributes, Status });
  return Status;
}

static EFI_STATUS
CloseOnImage (
    EFI_HANDLE      Handle,
    const EFI_GUID *Protocol,
    EFI_HANDLE      AgentHandle,
    EFI_HANDLE      ControllerHandle)
{
  if (EFI_ERROR (ValidateHandle (Handle)) || EFI_ERROR (ValidateHandle (AgentHandle)) ||
      ((ControllerHandle != NULL) && EFI_ERROR (ValidateHandle (ControllerHandle)))) {
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

  Machine.ProtocolCalls.push_back (
      { false, Handle, *Protocol, AgentHandle, ControllerHandle, 0, Status });
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

  if (!Machine.CollationPresent || !(*Protocol == gEfiUnicodeCollation2ProtocolGuid)) {
    return EFI_NOT_FOUND;
  }

  *Interface = &Machine.Collation;
  return EFI_SUCCESS;
}

VOID
Platform::StrLwr (VOID *Collation, UCS2_CHAR *String)
{
  ++Machine.Calls[static_cast<int> (Operation::StrLwr)];
  if (Collation != &Machine.Collation) {
    Machine.Misuse ("StrLwr: not the interface that LocateProtocol gave");
    return;
  }

  Machine.Collation.StrLwr (&Machine.Collation, String);
}

VOID *
Platform::AllocateZeroPool (UINTN AllocationSize)
{
  EFI_STATUS Status;

  Machine.Sizes.push_back (AllocationSize);
  if (Faulted (Operation::AllocateZeroPool, &Status)) {
    return NULL;
  }

  // Exactly the size asked for, so that AddressSanitizer sees the first byte past it.
  VOID *Buffer = malloc (AllocationSize);

  memset (Buffer, 0, AllocationSize);
  Machine.Pool[Buffer] = AllocationSize;
  return Buffer;
}

VOID
Platform::FreePool (VOID *Buffer)
{
  ++Machine.Calls[static_cast<int> (Operation::FreePool)];
  if (Machine.Pool.erase (Buffer) == 0) {
    Machine.Misuse ("FreePool: not a buffer from AllocateZeroPool, or freed twice");
    return;
  }

  free (Buffer);
}

EFI_STATUS
Platform::GetVariable (
    const UCS2_CHAR *VariableName,
    const EFI_GUID  *VendorGuid,
    UINT32          *Attributes,
    UINTN           *DataSize,
    VOID            *Data)
{
  EFI_STATUS Status;

  if ((VariableName == NULL) || (VendorGuid == NULL) || (DataSize == NULL)) {
    Machine.Misuse ("GetVariable: no name, GUID or DataSize");
    return EFI_INVALID_PARAMETER;
  }

  Machine.GetCalls.push_back (
      { VariableName, *VendorGuid, Attributes == NULL, *DataSize, Data == NULL, 0 });
  EFI_STATUS &Recorded = Machine.GetCalls.back ().Status;

  if (Faulted (Operation::GetVariable, &Status)) {
    return Recorded = Status;
  }

  const VARIABLE *Variable = FindVariable (VariableName, *VendorGuid);

  if (Variable == NULL) {
    return Recorded = EFI_NOT_FOUND;
  }

  if (*DataSize < Variable->Data.size ()) {
    Status = EFI_BUFFER_TOO_SMALL;
  } else if (Data == NULL) {
    return Recorded = EFI_INVALID_PARAMETER;
  } else {
    memcpy (Data, Variable->Data.data (), Variable->Data.size ());
    Status = EFI_SUCCESS;
  }

  *DataSize = Variable->Data.size ();
  if (Attributes != NULL) {
    *Attributes = Variable->Attributes;
  }

  return Recorded = Status;
}

// The variable driver's rules, for a store that keeps no authenticated,
// hardware-error or appended variables.
static EFI_STATUS
UpdateVariable (const SET_VARIABLE_CALL &Call)
{
  const UINT32 Access = EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;

  if (Call.Name.empty () || (Call.DataIsNull && (Call.DataSize != 0)) ||
      ((Call.Attributes & ~(EFI_VARIABLE_NON_VOLATILE | Access)) != 0) ||
      ((Call.Attributes & Access) == EFI_VARIABLE_RUNTIME_ACCESS) ||
      (Call.Attributes == EFI_VARIABLE_NON_VOLATILE)) {
    return EFI_INVALID_PARAMETER;
  }

  auto Found  = Machine.Variables.find (VariableKey (Call.Name, Call.Guid));
  bool Exists = Found != Machine.Variables.end ();

  if (Exists && (Call.Attributes != 0) && (Call.Attributes != Found->second.Attributes)) {
    return EFI_INVALID_PARAMETER;
  }

  if ((Call.DataSize == 0) || ((Call.Attributes & Access) == 0)) {
    if (!Exists) {
      return EFI_NOT_FOUND;
    }

    Machine.Variables.erase (Found);
    return EFI_SUCCESS;
  }

  SeedVariable (Call.Name, Call.Guid, Call.Attributes, Call.Data);
  return EFI_SUCCESS;
}

EFI_STATUS
Platform::SetVariable (
    const UCS2_CHAR *VariableName,
    const EFI_GUID  *VendorGuid,
    UINT32           Attributes,
    UINTN            DataSize,
    const VOID      *Data)
{
  EFI_STATUS Status;

  if ((VariableName == NULL) || (VendorGuid == NULL)) {
    Machine.Misuse ("SetVariable: no name or GUID");
    return EFI_INVALID_PARAMETER;
  }

  const UINT8 *Bytes = static_cast<const UINT8 *> (Data);

  Machine.SetCalls.push_back (
      { VariableName, *VendorGuid, Attributes, DataSize, Data == NULL,
        (Bytes == NULL) ? std::vector<UINT8> () : std::vector<UINT8> (Bytes, Bytes + DataSize),
        0 });
  if (!Faulted (Operation::SetVariable, &Status)) {
    Status = UpdateVariable (Machine.SetCalls.back ());
  }

  return Machine.SetCalls.back ().Status = Status;
}

INTN
Platform::StrCmp (const UCS2_CHAR *FirstString, const UCS2_CHAR *SecondString)
{
  ++Machine.Calls[static_cast<int> (Operation::StrCmp)];
  return FirmwareRoutines::StrCmp (FirstString, SecondString);
}

EFI_STATUS
Platform::StrCat (UCS2_CHAR *Destination, UINTN DestMax, const UCS2_CHAR *Source)
{
  EFI_STATUS Status;

  if (Faulted (Operation::StrCat, &Status)) {
    return Status;
  }

  return FirmwareRoutines::StrCatS (Destination, DestMax, Source);
}

static VOID
PrintLikeUefiLib (const UCS2_CHAR *Format, const UCS2_CHAR *Argument, BOOLEAN HasArgument)
{
  std::u16string Text;
  EFI_STATUS     Status;

  if (!FirmwareRoutines::FormatLikePrint (Format, Argument, HasArgument, &Text)) {
    Machine.Misuse ("Print: a directive without its argument, or one not modelled");
  }

  // UefiLib writes nothing for empty text; a failing OutputString shows nothing.
  if (!Faulted (Operation::Print, &Status) && !Text.empty ()) {
    Machine.Console += Text;
    Machine.Writes.push_back (Text);
  }
}

VOID
Platform::Print (const UCS2_CHAR *Format)
{
  PrintLikeUefiLib (Format, NULL, FALSE);
}

VOID
Platform::Print (const UCS2_CHAR *Format, const UCS2_CHAR *String)
{
  PrintLikeUefiLib (Format, String, TRUE);
}

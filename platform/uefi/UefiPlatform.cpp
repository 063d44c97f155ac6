/** @file
  The platform operations on UEFI: boot and runtime services through EDK II's
  service table pointers, and EDK II's memory, string and print libraries.

  This is the one place where the logic's UCS2_CHAR strings meet EDK II's
  CHAR16, and where the logic's views of the shell protocols are checked
  against EDK II's definitions.
**/

#include "platform/Platform.h"

extern "C" {
#include <Library/BaseLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
// EfiShellInterface.h uses EFI_LOADED_IMAGE_PROTOCOL without including it.
#include <Protocol/LoadedImage.h>

#include <Protocol/EfiShellInterface.h>
#include <Protocol/ShellParameters.h>
#include <Protocol/UnicodeCollation.h>
}

#include <stddef.h>

static_assert (
    offsetof (SHELL_PARAMETERS_ARGUMENTS, Argv) == offsetof (EFI_SHELL_PARAMETERS_PROTOCOL, Argv) &&
        offsetof (SHELL_PARAMETERS_ARGUMENTS, Argc) ==
            offsetof (EFI_SHELL_PARAMETERS_PROTOCOL, Argc),
    "SHELL_PARAMETERS_ARGUMENTS must match EFI_SHELL_PARAMETERS_PROTOCOL");
static_assert (
    offsetof (SHELL_INTERFACE_ARGUMENTS, Argv) == offsetof (EFI_SHELL_INTERFACE, Argv) &&
        offsetof (SHELL_INTERFACE_ARGUMENTS, Argc) == offsetof (EFI_SHELL_INTERFACE, Argc),
    "SHELL_INTERFACE_ARGUMENTS must match EFI_SHELL_INTERFACE");
static_assert (sizeof (UCS2_CHAR) == sizeof (CHAR16), "UCS2_CHAR must match CHAR16");
static_assert (
    PLATFORM_MAXIMUM_STRING_LENGTH == FixedPcdGet32 (PcdMaximumUnicodeStringLength),
    "PLATFORM_MAXIMUM_STRING_LENGTH must match the limit BaseLib enforces");

// EDK II's prototypes take non-const pointers for what they only read.
static CHAR16 *
AsChar16 (const UCS2_CHAR *String)
{
  return reinterpret_cast<CHAR16 *> (const_cast<UCS2_CHAR *> (String));
}

static EFI_GUID *
AsGuid (const EFI_GUID *Guid)
{
  return const_cast<EFI_GUID *> (Guid);
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
  return gBS->OpenProtocol (
      Handle, AsGuid (Protocol), Interface, AgentHandle, ControllerHandle, Attributes);
}

EFI_STATUS
Platform::CloseProtocol (
    EFI_HANDLE      Handle,
    const EFI_GUID *Protocol,
    EFI_HANDLE      AgentHandle,
    EFI_HANDLE      ControllerHandle)
{
  return gBS->CloseProtocol (Handle, AsGuid (Protocol), AgentHandle, ControllerHandle);
}

EFI_STATUS
Platform::LocateProtocol (const EFI_GUID *Protocol, VOID *Registration, VOID **Interface)
{
  return gBS->LocateProtocol (AsGuid (Protocol), Registration, Interface);
}

VOID
Platform::StrLwr (VOID *Collation, UCS2_CHAR *String)
{
  EFI_UNICODE_COLLATION_PROTOCOL *Protocol =
      static_cast<EFI_UNICODE_COLLATION_PROTOCOL *> (Collation);

  Protocol->StrLwr (Protocol, AsChar16 (String));
}

VOID *
Platform::AllocateZeroPool (UINTN AllocationSize)
{
  return ::AllocateZeroPool (AllocationSize);
}

VOID
Platform::FreePool (VOID *Buffer)
{
  ::FreePool (Buffer);
}

EFI_STATUS
Platform::GetVariable (
    const UCS2_CHAR *VariableName,
    const EFI_GUID  *VendorGuid,
    UINT32          *Attributes,
    UINTN           *DataSize,
    VOID            *Data)
{
  return gRT->GetVariable (
      AsChar16 (VariableName), AsGuid (VendorGuid), Attributes, DataSize, Data);
}

EFI_STATUS
Platform::SetVariable (
    const UCS2_CHAR *VariableName,
    const EFI_GUID  *VendorGuid,
    UINT32           Attributes,
    UINTN            DataSize,
    const VOID      *Data)
{
  return gRT->SetVariable (
      AsChar16 (VariableName), AsGuid (VendorGuid), Attributes, DataSize,
      const_cast<VOID *> (Data));
}

INTN
Platform::StrCmp (const UCS2_CHAR *FirstString, const UCS2_CHAR *SecondString)
{
  return ::StrCmp (AsChar16 (FirstString), AsChar16 (SecondString));
}

EFI_STATUS
Platform::StrCat (UCS2_CHAR *Destination, UINTN DestMax, const UCS2_CHAR *Source)
{
  return ::StrCatS (AsChar16 (Destination), DestMax, AsChar16 (Source));
}

VOID
Platform::Print (const UCS2_CHAR *Format)
{
  ::Print (AsChar16 (Format));
}

VOID
Platform::Print (const UCS2_CHAR *Format, const UCS2_CHAR *String)
{
  ::Print (AsChar16 (Format), AsChar16 (String));
}

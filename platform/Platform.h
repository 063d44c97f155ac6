/** @file
  The operations through which the command logic reaches the firmware, the
  shell and the console. Three builds implement them: brisvane.efi on UEFI
  boot and runtime services and EDK II's libraries (uefi/UefiPlatform.cpp),
  brisvane-vars on the variable store of an NVRAM file (vars/cli/NvramPlatform.cpp),
  and the host tests on a stand-in that behaves as firmware does
  (tests/host/HostPlatform.cpp).
**/

#ifndef PLATFORM_H_
#define PLATFORM_H_

#include "PlatformTypes.h"

extern "C" {
extern EFI_GUID gEfiShellParametersProtocolGuid;
extern EFI_GUID gEfiShellInterfaceGuid;
extern EFI_GUID gEfiUnicodeCollation2ProtocolGuid;
}

///
/// The leading members of EFI_SHELL_PARAMETERS_PROTOCOL, as the logic reads them.
///
typedef struct {
  UCS2_CHAR **Argv;
  UINTN       Argc;
} SHELL_PARAMETERS_ARGUMENTS;

///
/// The leading members of the older shell's EFI_SHELL_INTERFACE, as the logic
/// reads them.
///
typedef struct {
  EFI_HANDLE  ImageHandle;
  VOID       *Info;
  UCS2_CHAR **Argv;
  UINTN       Argc;
} SHELL_INTERFACE_ARGUMENTS;

///
/// The longest string StrCat works on, in characters with its NUL: EDK II's
/// PcdMaximumUnicodeStringLength, which BaseLib's string routines enforce.
///
#define PLATFORM_MAXIMUM_STRING_LENGTH 1000000

namespace Platform {
/**
  Opens a protocol on a handle (boot service OpenProtocol).

  @param[in]  Handle            The handle that carries the protocol.
  @param[in]  Protocol          The protocol's GUID.
  @param[out] Interface         Receives the protocol's structure.
  @param[in]  AgentHandle       The handle of the agent opening it.
  @param[in]  ControllerHandle  The controller, or NULL.
  @param[in]  Attributes        How it is opened (EFI_OPEN_PROTOCOL_GET_PROTOCOL).

  @retval EFI_SUCCESS  Interface points to the protocol's structure.
  @return              Any other status from the firmware, unchanged.
**/
EFI_STATUS
OpenProtocol (
    EFI_HANDLE      Handle,
    const EFI_GUID *Protocol,
    VOID          **Interface,
    EFI_HANDLE      AgentHandle,
    EFI_HANDLE      ControllerHandle,
    UINT32          Attributes);

/**
  Closes a protocol opened with OpenProtocol (boot service CloseProtocol).

  @param[in] Handle            The handle that carries the protocol.
  @param[in] Protocol          The protocol's GUID.
  @param[in] AgentHandle       The agent that opened it.
  @param[in] ControllerHandle  The controller, or NULL.

  @return The firmware's status, unchanged.
**/
EFI_STATUS
CloseProtocol (
    EFI_HANDLE      Handle,
    const EFI_GUID *Protocol,
    EFI_HANDLE      AgentHandle,
    EFI_HANDLE      ControllerHandle);

/**
  Finds the first instance of a protocol (boot service LocateProtocol).

  @param[in]  Protocol      The protocol's GUID.
  @param[in]  Registration  Always NULL here.
  @param[out] Interface     Receives the protocol's structure.

  @retval EFI_SUCCESS  Interface points to the protocol's structure.
  @return              Any other status from the firmware, unchanged.
**/
EFI_STATUS
LocateProtocol (const EFI_GUID *Protocol, VOID *Registration, VOID **Interface);

/**
  Lower-cases a string in place through the StrLwr member of a Unicode
  Collation protocol; the length does not change.

  @param[in]      Collation  The protocol's structure, from LocateProtocol.
  @param[in, out] String     The string to lower-case.
**/
VOID StrLwr (VOID *Collation, UCS2_CHAR *String);

/**
  Allocates zero-filled pool memory of type EfiBootServicesData.

  @param[in] AllocationSize  The number of bytes.

  @return The buffer, or NULL when none could be had.
**/
VOID *AllocateZeroPool (UINTN AllocationSize);

/**
  Releases pool memory obtained from AllocateZeroPool.

  @param[in] Buffer  The buffer.
**/
VOID FreePool (VOID *Buffer);

/**
  Reads a variable (runtime service GetVariable).

  @param[in]      VariableName  The variable's name.
  @param[in]      VendorGuid    The variable's vendor GUID.
  @param[out]     Attributes    Receives the attributes; may be NULL.
  @param[in, out] DataSize      The size of Data; receives the value's size.
  @param[out]     Data          Receives the value.

  @retval EFI_NOT_FOUND         The variable does not exist.
  @retval EFI_BUFFER_TOO_SMALL  DataSize is too small for the value.
  @return                       Any other status from the firmware, unchanged.
**/
EFI_STATUS
GetVariable (
    const UCS2_CHAR *VariableName,
    const EFI_GUID  *VendorGuid,
    UINT32          *Attributes,
    UINTN           *DataSize,
    VOID            *Data);

/**
  Writes or, with a DataSize of 0, deletes a variable (runtime service
  SetVariable).

  @param[in] VariableName  The variable's name.
  @param[in] VendorGuid    The variable's vendor GUID.
  @param[in] Attributes    The variable's attributes.
  @param[in] DataSize      The size of Data in bytes; 0 deletes.
  @param[in] Data          The value, or NULL for a deletion.

  @return The firmware's status, unchanged.
**/
EFI_STATUS
SetVariable (
    const UCS2_CHAR *VariableName,
    const EFI_GUID  *VendorGuid,
    UINT32           Attributes,
    UINTN            DataSize,
    const VOID      *Data);

/**
  Compares two strings code unit by code unit.

  @param[in] FirstString   A string.
  @param[in] SecondString  Another string.

  @retval 0      The strings are equal.
  @return        Otherwise the difference of the first differing code units.
**/
INTN StrCmp (const UCS2_CHAR *FirstString, const UCS2_CHAR *SecondString);

/**
  Appends Source to the string in Destination.

  @param[in, out] Destination  A string in a buffer of DestMax code units.
  @param[in]      DestMax      The size of Destination's buffer in code units.
  @param[in]      Source       The string to append.

  @retval EFI_SUCCESS             Source was appended.
  @retval EFI_BUFFER_TOO_SMALL    Destination has no room; it is unchanged.
  @retval EFI_INVALID_PARAMETER   DestMax is beyond the maximum string length.
**/
EFI_STATUS
StrCat (UCS2_CHAR *Destination, UINTN DestMax, const UCS2_CHAR *Source);

/**
  Writes a line to the console with the firmware's Print: the text is cut
  at 320 characters, and a line feed that follows no carriage return comes
  out as CR LF.

  @param[in] Format  The text; it must hold no format directive.
**/
VOID Print (const UCS2_CHAR *Format);

/**
  Writes a line with one string argument to the console with the firmware's
  Print, as Print above.

  @param[in] Format  The text, with one "%s" directive.
  @param[in] String  The string that takes the place of "%s".
**/
VOID Print (const UCS2_CHAR *Format, const UCS2_CHAR *String);
} // namespace Platform

#endif

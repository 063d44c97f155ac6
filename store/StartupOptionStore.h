/** @file
  The "Brisvane" variable, which holds the UEFI Shell's start-up options as
  one NUL-ended UCS-2 string under the shell's own vendor GUID.
**/

#ifndef STARTUP_OPTION_STORE_H_
#define STARTUP_OPTION_STORE_H_

#include "platform/PlatformTypes.h"

///
/// The vendor GUID under which the UEFI Shell keeps its own variables.
///
#define SHELL_VARIABLE_VENDOR_GUID                                                                 \
  {                                                                                                \
    0x158DEF5A, 0xF656, 0x419C,                                                                    \
    {                                                                                              \
      0xB0, 0x27, 0x7A, 0x31, 0x92, 0xC0, 0x79, 0xD2                                               \
    }                                                                                              \
  }

///
/// Non-volatile, with boot-service access only: the shell reads it at start.
///
#define STARTUP_OPTION_ATTRIBUTES (EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS)

extern const UCS2_CHAR StartupOptionVariableName[];
extern const EFI_GUID  StartupOptionVendorGuid;

/**
  Stores the start-up options, replacing any earlier value whole.

  @param[in] Data      The joined option string with its NUL.
  @param[in] DataSize  Its size in bytes: 2 x (characters + 1).

  @return The status of SetVariable, unchanged.
**/
EFI_STATUS
WriteStartupOptions (const UCS2_CHAR *Data, UINTN DataSize);

/**
  Deletes the start-up options (SetVariable with a DataSize of 0).

  @return The status of SetVariable, unchanged; EFI_NOT_FOUND on conforming
          firmware when there was nothing to delete.
**/
EFI_STATUS
ClearStartupOptions (VOID);

/**
  Finds out whether the start-up options are stored, without reading them.

  @retval EFI_BUFFER_TOO_SMALL  The variable exists.
  @retval EFI_NOT_FOUND         The variable does not exist.
  @retval EFI_OUT_OF_RESOURCES  No scratch buffer could be had; nothing was asked.
  @return                       Any other status of GetVariable, unchanged.
**/
EFI_STATUS
QueryStartupOptions (VOID);

/**
  Reads the start-up options whole, as UefiLib's GetVariable2 does: a first
  GetVariable with no room gives the value's size, then a buffer of that
  size from AllocateZeroPool receives it.

  @param[out] Data        Receives the buffer, which the caller releases with
                          FreePool; NULL on failure.
  @param[out] DataSize    Receives the value's size in bytes; 0 on failure.
  @param[out] Attributes  Receives the variable's attributes; may be NULL.

  @retval EFI_SUCCESS           The value is in *Data.
  @retval EFI_NOT_FOUND         The variable does not exist.
  @retval EFI_OUT_OF_RESOURCES  No buffer could be had.
  @return                       Any other status of GetVariable, unchanged.
**/
EFI_STATUS
ReadStartupOptions (VOID **Data, UINTN *DataSize, UINT32 *Attributes);

#endif

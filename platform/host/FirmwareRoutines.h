/** @file
  EDK II's library routines and firmware behaviour that the Linux builds
  (brisvane-vars and the host tests) reproduce, shared so that both follow
  the firmware in the same way.
**/

#ifndef FIRMWARE_ROUTINES_H_
#define FIRMWARE_ROUTINES_H_

#include "platform/PlatformTypes.h"

#include <string>

namespace FirmwareRoutines {
///
/// UefiLib's Print buffer, in characters (PcdUefiLibMaxPrintBufferSize).
///
const UINTN PrintBufferCharacters = 320;

/**
  One code unit through the English Unicode Collation's lower-case map, as
  OVMF runs it: A-Z and the Latin-1 capitals other than U+00D7 move down by
  0x20, and since the map holds signed chars, results from 0x80 to 0xFF come
  out widened to 0xFF80 to 0xFFFF. Code units above 0xFF stay.

  @param[in] Unit  The code unit.

  @return The lowered code unit.
**/
UCS2_CHAR
EnglishLower (UCS2_CHAR Unit);

/**
  BaseLib's StrCmp.

  @return 0 for equal strings, else the difference of the first differing units.
**/
INTN StrCmp (const UCS2_CHAR *FirstString, const UCS2_CHAR *SecondString);

/**
  BaseLib's StrCatS, constraint by constraint.

  @retval EFI_SUCCESS            Source was appended.
  @retval EFI_INVALID_PARAMETER  A NULL pointer, DestMax of 0, or DestMax past
                                 PLATFORM_MAXIMUM_STRING_LENGTH.
  @retval EFI_BAD_BUFFER_SIZE    Destination fills its buffer unended.
  @retval EFI_BUFFER_TOO_SMALL   Source does not fit; Destination is unchanged.
  @retval EFI_ACCESS_DENIED      The strings overlap.
**/
EFI_STATUS
StrCatS (UCS2_CHAR *Destination, UINTN DestMax, const UCS2_CHAR *Source);

/**
  Formats as UefiLib's Print does into its buffer, for plain text and one
  "%s": "%%" gives a percent sign, a line feed not led by a carriage return
  (and "\n\r") comes out as CR LF, and the text is cut at
  PrintBufferCharacters.

  @param[in]  Format       The format.
  @param[in]  Argument     The string for "%s".
  @param[in]  HasArgument  Whether Argument was passed.
  @param[out] Text         Receives the text.

  @retval TRUE   The format held nothing beyond what is modelled.
  @retval FALSE  It held another directive, or "%s" without its argument.
**/
BOOLEAN
FormatLikePrint (
    const UCS2_CHAR *Format,
    const UCS2_CHAR *Argument,
    BOOLEAN          HasArgument,
    std::u16string  *Text);
} // namespace FirmwareRoutines

#endif

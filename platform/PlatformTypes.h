/** @file
  The UEFI types, status codes and constants that the command logic uses,
  and its one character type.

  In the firmware build they come from EDK II; builds that run on Linux take
  the same names from host/HostUefiTypes.h.
**/

#ifndef PLATFORM_TYPES_H_
#define PLATFORM_TYPES_H_

#ifdef BRISVANE_HOST_BUILD
#  include "host/HostUefiTypes.h"
#else
extern "C" {
#  include <Uefi.h>
}
#endif

///
/// A UCS-2 code unit, the character type of all the logic's strings. It has
/// the size and meaning of the firmware's CHAR16 and is the type of u""
/// literals on every compiler, so strings meet CHAR16 only in the UEFI
/// implementation of the platform operations.
///
typedef char16_t UCS2_CHAR;

static_assert (sizeof (UCS2_CHAR) == 2, "UCS2_CHAR must be a 16-bit code unit");

#endif

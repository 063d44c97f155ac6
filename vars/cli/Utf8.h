/** @file
  Conversions between the UTF-8 of a Linux command line and terminal and the
  UCS-2 strings of the command logic.
**/

#ifndef UTF8_H_
#define UTF8_H_

#include "platform/PlatformTypes.h"

#include <string>

///
/// How a UTF-8 string converted to UCS-2.
///
typedef enum {
  Utf8Converted,
  Utf8Invalid,   ///< Not well-formed UTF-8 (RFC 3629): stray, overlong or surrogate bytes.
  Utf8BeyondUcs2 ///< Well-formed, but with a character above U+FFFF.
} UTF8_CONVERSION;

/**
  Converts a NUL-ended UTF-8 string to UCS-2.

  @param[in]  Text  The UTF-8 string.
  @param[out] Ucs2  Receives the UCS-2 string; undefined unless converted.

  @return Whether the whole string converted, or why not.
**/
UTF8_CONVERSION
Utf8ToUcs2 (const char *Text, std::u16string *Ucs2);

/**
  Converts UCS-2 text to UTF-8. A surrogate code unit, which stands for no
  character on its own in UCS-2, becomes U+FFFD.

  @param[in] Text  The UCS-2 text; it may hold NULs.

  @return The UTF-8 text.
**/
std::string Ucs2ToUtf8 (const std::u16string &Text);

#endif

/** @file
  UTF-8 to UCS-2 and back.
**/

#include "vars/cli/Utf8.h"

/**
  The range a sequence's second byte must lie in, so that overlong forms,
  surrogates and characters above U+10FFFF are refused (RFC 3629, table 3-7
  of the Unicode standard).
**/
static BOOLEAN
SecondByteFits (UINT8 Lead, UINT8 Second)
{
  UINT8 Low  = 0x80;
  UINT8 High = 0xBF;

  if (Lead == 0xE0) {
    Low = 0xA0;
  } else if (Lead == 0xED) {
    High = 0x9F;
  } else if (Lead == 0xF0) {
    Low = 0x90;
  } else if (Lead == 0xF4) {
    High = 0x8F;
  }

  return (Second >= Low) && (Second <= High);
}

UTF8_CONVERSION
Utf8ToUcs2 (const char *Text, std::u16string *Ucs2)
{
  const UINT8 *Byte = reinterpret_cast<const UINT8 *> (Text);
  UINT32       CodePoint;
  UINTN        Following;

  Ucs2->clear ();
  while (*Byte != 0) {
    UINT8 Lead = *Byte++;

    if (Lead < 0x80) {
      Ucs2->push_back (Lead);
      continue;
    }

    if ((Lead >= 0xC2) && (Lead <= 0xDF)) {
      Following = 1;
      CodePoint = Lead & 0x1F;
    } else if ((Lead >= 0xE0) && (Lead <= 0xEF)) {
      Following = 2;
      CodePoint = Lead & 0x0F;
    } else if ((Lead >= 0xF0) && (Lead <= 0xF4)) {
      Following = 3;
      CodePoint = Lead & 0x07;
    } else {
      return Utf8Invalid;
    }

    if (!SecondByteFits (Lead, *Byte)) {
      return Utf8Invalid;
    }

    for (UINTN Index = 0; Index < Following; Index++, Byte++) {
      if ((*Byte & 0xC0) != 0x80) {
        return Utf8Invalid;
      }

      CodePoint = (CodePoint << 6) | (*Byte & 0x3F);
    }

    if (CodePoint > 0xFFFF) {
      return Utf8BeyondUcs2;
    }

    Ucs2->push_back (static_cast<char16_t> (CodePoint));
  }

  return Utf8Converted;
}

std::string
Ucs2ToUtf8 (const std::u16string &Text)
{
  std::string Utf8;

  for (char16_t Unit : Text) {
    if ((Unit >= 0xD800) && (Unit <= 0xDFFF)) {
      Unit = 0xFFFD;
    }

    if (Unit < 0x80) {
      Utf8 += static_cast<char> (Unit);
    } else if (Unit < 0x800) {
      Utf8 += static_cast<char> (0xC0 | (Unit >> 6));
      Utf8 += static_cast<char> (0x80 | (Unit & 0x3F));
    } else {
      Utf8 += static_cast<char> (0xE0 | (Unit >> 12));
      Utf8 += static_cast<char> (0x80 | ((Unit >> 6) & 0x3F));
      Utf8 += static_cast<char> (0x80 | (Unit & 0x3F));
    }
  }

  return Utf8;
}

/** @file
  EDK II's library routines and firmware behaviour, for the Linux builds.
**/

#include "platform/host/FirmwareRoutines.h"

#include "platform/Platform.h"

#include <string.h>

extern "C" {
EFI_GUID gEfiShellParametersProtocolGuid   = { 0x752F3136,
                                               0x4E16,
                                               0x4FDC,
                                               { 0xA2, 0x2A, 0xE5, 0xF4, 0x68, 0x12, 0xF4, 0xCA } };
EFI_GUID gEfiShellInterfaceGuid            = { 0x47C7B223,
                                               0xC42A,
                                               0x11D2,
                                               { 0x8E, 0x57, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B } };
EFI_GUID gEfiUnicodeCollation2ProtocolGuid = { 0xA4C751FC,
                                               0x23AE,
                                               0x4C3E,
                                               { 0x92, 0xE9, 0x49, 0x64, 0xCF, 0x63, 0xF3, 0x49 } };
}

UCS2_CHAR
FirmwareRoutines::EnglishLower (UCS2_CHAR Unit)
{
  UCS2_CHAR Lower;

  if (Unit > 0xFF) {
    return Unit;
  }

  Lower = Unit;
  if (((Unit >= u'A') && (Unit <= u'Z')) || ((Unit >= 0xC0) && (Unit <= 0xDE) && (Unit != 0xD7))) {
    Lower = static_cast<UCS2_CHAR> (Unit + 0x20);
  }

  return (Lower < 0x80) ? Lower : static_cast<UCS2_CHAR> (0xFF00 | Lower);
}

INTN
FirmwareRoutines::StrCmp (const UCS2_CHAR *FirstString, const UCS2_CHAR *SecondString)
{
  while ((*FirstString != 0) && (*FirstString == *SecondString)) {
    FirstString++;
    SecondString++;
  }

  return static_cast<INTN> (*FirstString) - static_cast<INTN> (*SecondString);
}

static UINTN
StrnLenS (const UCS2_CHAR *String, UINTN MaxSize)
{
  UINTN Length = 0;

  if (String != NULL) {
    while ((Length < MaxSize) && (String[Length] != 0)) {
      Length++;
    }
  }

  return Length;
}

EFI_STATUS
FirmwareRoutines::StrCatS (UCS2_CHAR *Destination, UINTN DestMax, const UCS2_CHAR *Source)
{
  if ((Destination == NULL) || (Source == NULL) || (DestMax > PLATFORM_MAXIMUM_STRING_LENGTH) ||
      (DestMax == 0)) {
    return EFI_INVALID_PARAMETER;
  }

  UINTN DestLen = StrnLenS (Destination, DestMax);
  UINTN CopyLen = DestMax - DestLen;

  if (CopyLen == 0) {
    return EFI_BAD_BUFFER_SIZE;
  }

  UINTN SourceLen = StrnLenS (Source, CopyLen);

  if (CopyLen <= SourceLen) {
    return EFI_BUFFER_TOO_SMALL;
  }

  if ((Source + SourceLen + 1 > Destination) && (Destination + DestMax > Source)) {
    return EFI_ACCESS_DENIED;
  }

  memcpy (Destination + DestLen, Source, (SourceLen + 1) * sizeof (UCS2_CHAR));
  return EFI_SUCCESS;
}

BOOLEAN
FirmwareRoutines::FormatLikePrint (
    const UCS2_CHAR *Format,
    const UCS2_CHAR *Argument,
    BOOLEAN          HasArgument,
    std::u16string  *Text)
{
  BOOLEAN Modelled = TRUE;
  auto    Put      = [Text] (const std::u16string &Piece) {
    Text->append (Piece.substr (0, PrintBufferCharacters - Text->size ()));
  };

  Text->clear ();
  for (; (*Format != 0) && (Text->size () < PrintBufferCharacters); Format++) {
    if (*Format == u'%') {
      Format++;
      if (((*Format == u's') || (*Format == u'S')) && HasArgument) {
        Put ((Argument != NULL) ? Argument : u"<null string>");
        HasArgument = FALSE;
      } else if (*Format == u'%') {
        Put (u"%");
      } else if (*Format == 0) {
        Format--;
      } else {
        Modelled = FALSE;
      }
    } else if (*Format == u'\r') {
      Put ((Format[1] == u'\n') ? u"\r\n" : u"\r");
      Format += (Format[1] == u'\n') ? 1 : 0;
    } else if (*Format == u'\n') {
      Put (u"\r\n");
      Format += (Format[1] == u'\r') ? 1 : 0;
    } else {
      Put (std::u16string (1, *Format));
    }
  }

  return Modelled;
}

/** @file
  The platform operations over an in-memory NVRAM variable store.
**/

#include "platform/nvram/NvramPlatform.h"

#include "platform/Platform.h"
#include "platform/nvram/Utf8.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

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

// Print's buffer in EDK II's UefiLib (PcdUefiLibMaxPrintBufferSize).
#define PRINT_BUFFER_CHARACTERS 320

// EDK II's StrCatS refuses buffers beyond PcdMaximumUnicodeStringLength.
#define MAXIMUM_STRING_LENGTH 1000000

static NVRAM_STORE *mStore;
static FILE        *mConsole;

// The collation has no state; its address is all LocateProtocol hands out.
static const UINT8 mEnglishCollation = 0;

VOID
NvramPlatformAttach (NVRAM_STORE *Store, FILE *Console)
{
  mStore   = Store;
  mConsole = Console;
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
  (VOID) Handle, (VOID)Protocol, (VOID)AgentHandle, (VOID)ControllerHandle, (VOID)Attributes;
  if (Interface != NULL) {
    *Interface = NULL;
  }

  return EFI_UNSUPPORTED;
}

EFI_STATUS
Platform::CloseProtocol (
    EFI_HANDLE      Handle,
    const EFI_GUID *Protocol,
    EFI_HANDLE      AgentHandle,
    EFI_HANDLE      ControllerHandle)
{
  (VOID) Handle, (VOID)Protocol, (VOID)AgentHandle, (VOID)ControllerHandle;
  return EFI_UNSUPPORTED;
}

EFI_STATUS
Platform::LocateProtocol (const EFI_GUID *Protocol, VOID *Registration, VOID **Interface)
{
  (VOID) Registration;
  if ((Protocol == NULL) || (Interface == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  if (memcmp (Protocol, &gEfiUnicodeCollation2ProtocolGuid, sizeof (EFI_GUID)) != 0) {
    *Interface = NULL;
    return EFI_NOT_FOUND;
  }

  *Interface = const_cast<UINT8 *> (&mEnglishCollation);
  return EFI_SUCCESS;
}

/**
  One code unit through the English collation's lower-case map: ASCII and
  Latin-1 capitals move down by 0x20, and everything above 0xFF stays. The
  map is of CHAR8, which is signed in the firmware's GCC build, so every
  result from 0x80 to 0xFF comes out sign-extended (0xC0 gives 0xFFE0), as
  OVMF's StrLwr gives it.
**/
static UCS2_CHAR
EnglishToLower (UCS2_CHAR Unit)
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

VOID
Platform::StrLwr (VOID *Collation, UCS2_CHAR *String)
{
  (VOID) Collation;
  for (; *String != 0; String++) {
    *String = EnglishToLower (*String);
  }
}

VOID *
Platform::AllocateZeroPool (UINTN AllocationSize)
{
  // AllocatePool gives a buffer for a size of 0 too.
  return calloc ((AllocationSize == 0) ? 1 : AllocationSize, 1);
}

VOID
Platform::FreePool (VOID *Buffer)
{
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
  if (mStore == NULL) {
    return EFI_NOT_READY;
  }

  return NvramStoreGetVariable (mStore, VariableName, VendorGuid, Attributes, DataSize, Data);
}

EFI_STATUS
Platform::SetVariable (
    const UCS2_CHAR *VariableName,
    const EFI_GUID  *VendorGuid,
    UINT32           Attributes,
    UINTN            DataSize,
    const VOID      *Data)
{
  if (mStore == NULL) {
    return EFI_NOT_READY;
  }

  return NvramStoreSetVariable (mStore, VariableName, VendorGuid, Attributes, DataSize, Data);
}

INTN
Platform::StrCmp (const UCS2_CHAR *FirstString, const UCS2_CHAR *SecondString)
{
  while ((*FirstString != 0) && (*FirstString == *SecondString)) {
    FirstString++;
    SecondString++;
  }

  return (INTN)*FirstString - (INTN)*SecondString;
}

static UINTN
StrnLen (const UCS2_CHAR *String, UINTN MaxSize)
{
  UINTN Length;

  for (Length = 0; (Length < MaxSize) && (String[Length] != 0); Length++) {
  }

  return Length;
}

EFI_STATUS
Platform::StrCat (UCS2_CHAR *Destination, UINTN DestMax, const UCS2_CHAR *Source)
{
  UINTN DestLength;
  UINTN SourceLength;

  // The checks of EDK II's StrCatS, in its order.
  if ((Destination == NULL) || (Source == NULL) || (DestMax > MAXIMUM_STRING_LENGTH) ||
      (DestMax == 0)) {
    return EFI_INVALID_PARAMETER;
  }

  DestLength = StrnLen (Destination, DestMax);
  if (DestLength == DestMax) {
    return EFI_BAD_BUFFER_SIZE;
  }

  SourceLength = StrnLen (Source, DestMax - DestLength);
  if (SourceLength == DestMax - DestLength) {
    return EFI_BUFFER_TOO_SMALL;
  }

  if (((Source >= Destination) && (Source < Destination + DestMax)) ||
      ((Destination >= Source) && (Destination <= Source + SourceLength))) {
    return EFI_ACCESS_DENIED;
  }

  for (UINTN Index = 0; Index <= SourceLength; Index++) {
    Destination[DestLength + Index] = Source[Index];
  }

  return EFI_SUCCESS;
}

/**
  Formats as EDK II's UnicodeVSPrint does for what the logic prints: "%s"
  takes the string, "%%" is a percent sign, and a line feed in the format
  becomes CR LF; the result is cut at Print's buffer size. The console then
  gets plain line ends: CR LF, or a CR that the cut left alone, becomes LF.
**/
static VOID
PrintFormatted (const UCS2_CHAR *Format, const UCS2_CHAR *String)
{
  std::u16string Text;
  std::u16string Plain;

  for (; *Format != 0; Format++) {
    if ((Format[0] == u'%') && (Format[1] == u's')) {
      Text += (String != NULL) ? std::u16string (String) : std::u16string (u"<null string>");
      Format++;
    } else if ((Format[0] == u'%') && (Format[1] == u'%')) {
      Text += u'%';
      Format++;
    } else if (Format[0] == u'\n') {
      Text += u"\r\n";
      Format += (Format[1] == u'\r') ? 1 : 0;
    } else if ((Format[0] == u'\r') && (Format[1] == u'\n')) {
      Text += u"\r\n";
      Format++;
    } else {
      Text += *Format;
    }
  }

  Text.resize (std::min<size_t> (Text.size (), PRINT_BUFFER_CHARACTERS));
  for (size_t Index = 0; Index < Text.size (); Index++) {
    if (Text[Index] != u'\r') {
      Plain += Text[Index];
    } else if ((Index + 1 == Text.size ()) || (Text[Index + 1] != u'\n')) {
      Plain += u'\n';
    }
  }

  std::string Utf8 = Ucs2ToUtf8 (Plain);

  fwrite (Utf8.data (), 1, Utf8.size (), (mConsole != NULL) ? mConsole : stdout);
}

VOID
Platform::Print (const UCS2_CHAR *Format)
{
  PrintFormatted (Format, NULL);
}

VOID
Platform::Print (const UCS2_CHAR *Format, const UCS2_CHAR *String)
{
  PrintFormatted (Format, String);
}

/** @file
  The platform operations over an in-memory NVRAM variable store.
**/

#include "vars/cli/NvramPlatform.h"

#include "platform/Platform.h"
#include "platform/host/FirmwareRoutines.h"
#include "vars/cli/Utf8.h"

#include <stdlib.h>
#include <string.h>

#include <string>

static NVRAM_STORE *mStore;
static NVRAM_EDIT  *mEdit;
static FILE        *mConsole;
static FILE        *mErrors;

// How the shell's error lines begin; the command logic prints each of its refusals so.
static const UCS2_CHAR mErrorPrefix[] = u"ERROR: ";

// The collation has no state; its address is all LocateProtocol hands out.
static const UINT8 mEnglishCollation = 0;

VOID
NvramPlatformAttach (NVRAM_STORE *Store, NVRAM_EDIT *Edit, FILE *Console, FILE *Errors)
{
  mStore   = Store;
  mEdit    = Edit;
  mConsole = Console;
  mErrors  = Errors;
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

VOID
Platform::StrLwr (VOID *Collation, UCS2_CHAR *String)
{
  (VOID) Collation;
  for (; *String != 0; String++) {
    *String = FirmwareRoutines::EnglishLower (*String);
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

  return NvramStoreSetVariable (
      mStore, VariableName, VendorGuid, Attributes, DataSize, Data, mEdit);
}

INTN
Platform::StrCmp (const UCS2_CHAR *FirstString, const UCS2_CHAR *SecondString)
{
  return FirmwareRoutines::StrCmp (FirstString, SecondString);
}

EFI_STATUS
Platform::StrCat (UCS2_CHAR *Destination, UINTN DestMax, const UCS2_CHAR *Source)
{
  return FirmwareRoutines::StrCatS (Destination, DestMax, Source);
}

/**
  Formats as UefiLib's Print does; the console then gets plain line ends:
  CR LF, or a CR that the cut left alone, becomes LF. An error line is told
  by its format, the command logic's own text, so no word it quotes can
  make or unmake one.
**/
static VOID
PrintFormatted (const UCS2_CHAR *Format, const UCS2_CHAR *String, BOOLEAN HasString)
{
  std::u16string Text;
  std::u16string Plain;

  FirmwareRoutines::FormatLikePrint (Format, String, HasString, &Text);
  for (size_t Index = 0; Index < Text.size (); Index++) {
    if (Text[Index] != u'\r') {
      Plain += Text[Index];
    } else if ((Index + 1 == Text.size ()) || (Text[Index + 1] != u'\n')) {
      Plain += u'\n';
    }
  }

  std::string Utf8 = Ucs2ToUtf8 (Plain);

  bool  Error = (std::u16string (Format).rfind (mErrorPrefix, 0) == 0);
  FILE *Stream =
      Error ? ((mErrors != NULL) ? mErrors : stderr) : ((mConsole != NULL) ? mConsole : stdout);

  fwrite (Utf8.data (), 1, Utf8.size (), Stream);
}

VOID
Platform::Print (const UCS2_CHAR *Format)
{
  PrintFormatted (Format, NULL, FALSE);
}

VOID
Platform::Print (const UCS2_CHAR *Format, const UCS2_CHAR *String)
{
  PrintFormatted (Format, String, TRUE);
}

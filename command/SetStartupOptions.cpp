/** @file
  The set action: validates, lower-cases and joins the start-up options and
  stores the result.

  Positions are counted in UINTN, so an argument vector of any length is
  sized and joined correctly.
**/

#include "command/Command.h"
#include "command/StartupOptionTable.h"

#include "platform/Platform.h"
#include "store/StartupOptionStore.h"

static UINTN
WordLength (const UCS2_CHAR *Word)
{
  UINTN Length;

  for (Length = 0; Word[Length] != 0; Length++) {
  }

  return Length;
}

// Each word takes its length plus one code unit: its separating space, or for the last word the
// NUL, so a completed string fills the buffer exactly.
UINTN
OptionStringSize (UINTN Argc, UCS2_CHAR **Argv)
{
  UINTN Characters;
  UINTN Index;

  Characters = 0;
  for (Index = 2; Index < Argc; Index++) {
    Characters += WordLength (Argv[Index]) + 1;
  }

  return Characters * sizeof (UCS2_CHAR);
}

/**
  Looks a lower-cased word up in the option table.

  @return The first row whose name equals Word, or NULL.
**/
static const STARTUP_OPTION *
FindStartupOption (const UCS2_CHAR *Word)
{
  const STARTUP_OPTION *Option;

  for (Option = StartupOptionTable; Option->Name != NULL; Option++) {
    if (Platform::StrCmp (Option->Name, Word) == 0) {
      return Option;
    }
  }

  return NULL;
}

/**
  True for a word of digits only, the empty word included.
**/
static BOOLEAN
IsDelayOperand (const UCS2_CHAR *Word)
{
  for (; *Word != 0; Word++) {
    if ((*Word < u'0') || (*Word > u'9')) {
      return FALSE;
    }
  }

  return TRUE;
}

static EFI_STATUS
JoinStartupOptions (
    VOID       *Collation,
    UINTN       Argc,
    UCS2_CHAR **Argv,
    UCS2_CHAR  *Options,
    UINTN       OptionsMax)
{
  EFI_STATUS            Status;
  UINTN                 Index;
  BOOLEAN               IsOperand;
  const STARTUP_OPTION *Option;

  IsOperand = FALSE;
  Option    = NULL;
  for (Index = 2; Index < Argc; Index++) {
    // The delay's operand is taken as it stands: neither lowered nor looked up.
    if (!IsOperand) {
      Platform::StrLwr (Collation, Argv[Index]);
      Option = FindStartupOption (Argv[Index]);
      if (Option == NULL) {
        Platform::Print (u"ERROR: Invalid shell startup option: %s\n", Argv[Index]);
        return EFI_INVALID_PARAMETER;
      }
    }

    Status = Platform::StrCat (Options, OptionsMax, Argv[Index]);
    if (!EFI_ERROR (Status) && (Index + 1 < Argc)) {
      Status = Platform::StrCat (Options, OptionsMax, u" ");
    }

    if (EFI_ERROR (Status)) {
      return Status;
    }

    IsOperand = !IsOperand && (Option->Name == DelayOptionName) && (Index + 1 < Argc) &&
                IsDelayOperand (Argv[Index + 1]);
  }

  return EFI_SUCCESS;
}

EFI_STATUS
SetStartupOptions (UINTN Argc, UCS2_CHAR **Argv)
{
  EFI_STATUS Status;
  UINTN      DataSize;
  UCS2_CHAR *Options;
  VOID      *Collation;

  DataSize = OptionStringSize (Argc, Argv);
  // Past this length StrCat would refuse the words, and no variable store holds them.
  if (DataSize / sizeof (UCS2_CHAR) > PLATFORM_MAXIMUM_STRING_LENGTH) {
    return EFI_OUT_OF_RESOURCES;
  }

  Options = static_cast<UCS2_CHAR *> (Platform::AllocateZeroPool (DataSize));
  if (Options == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  Status = Platform::LocateProtocol (&gEfiUnicodeCollation2ProtocolGuid, NULL, &Collation);
  if (!EFI_ERROR (Status)) {
    Status = JoinStartupOptions (Collation, Argc, Argv, Options, DataSize / sizeof (UCS2_CHAR));
  }

  if (!EFI_ERROR (Status)) {
    Status = WriteStartupOptions (Options, DataSize);
  }

  Platform::FreePool (Options);
  return Status;
}

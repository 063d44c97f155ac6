/** @file
  Command dispatch and the mapping of results to exit statuses.
**/

#include "command/Command.h"

#include "platform/Platform.h"
#include "store/StartupOptionStore.h"

/**
  Answers "-g": absence is success and presence is EFI_LOAD_ERROR, so that a
  script reads 0x0 or 0x1 in %lasterror%.
**/
static EFI_STATUS
QueryCommand (VOID)
{
  EFI_STATUS Status;

  Status = QueryStartupOptions ();
  if (Status == EFI_NOT_FOUND) {
    return EFI_SUCCESS;
  }

  if (Status == EFI_BUFFER_TOO_SMALL) {
    return EFI_LOAD_ERROR;
  }

  return Status;
}

static BOOLEAN
IsWord (const UCS2_CHAR *Argument, const UCS2_CHAR *Word)
{
  return Platform::StrCmp (Argument, Word) == 0;
}

// "-c" alone clears.
static BOOLEAN
IsClear (UINTN Argc, UCS2_CHAR **Argv)
{
  return (Argc == 2) && IsWord (Argv[1], u"-c");
}

BOOLEAN
CommandSetsOptions (UINTN Argc, UCS2_CHAR **Argv)
{
  return (Argc > 2) && (IsWord (Argv[1], u"-s") || IsWord (Argv[1], u"--set"));
}

BOOLEAN
CommandChangesVariable (UINTN Argc, UCS2_CHAR **Argv)
{
  return IsClear (Argc, Argv) || CommandSetsOptions (Argc, Argv);
}

EFI_STATUS
DispatchCommand (UINTN Argc, UCS2_CHAR **Argv)
{
  if (IsClear (Argc, Argv)) {
    return ClearStartupOptions ();
  }

  if (CommandSetsOptions (Argc, Argv)) {
    return SetStartupOptions (Argc, Argv);
  }

  if ((Argc == 2) && IsWord (Argv[1], u"-g")) {
    return QueryCommand ();
  }

  // One word or none that is not a command shows the help screen; more are a mistake.
  ShowUsage ();
  return (Argc > 2) ? EFI_INVALID_PARAMETER : EFI_SUCCESS;
}

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

EFI_STATUS
DispatchCommand (UINTN Argc, UCS2_CHAR **Argv)
{
  if (Argc < 2) {
    ShowUsage ();
    return EFI_SUCCESS;
  }

  if (Argc == 2) {
    if (IsWord (Argv[1], u"-c")) {
      return ClearStartupOptions ();
    }

    if (IsWord (Argv[1], u"-g")) {
      return QueryCommand ();
    }

    ShowUsage ();
    return EFI_SUCCESS;
  }

  if (IsWord (Argv[1], u"-s") || IsWord (Argv[1], u"--set")) {
    return SetStartupOptions (Argc, Argv);
  }

  ShowUsage ();
  return EFI_INVALID_PARAMETER;
}

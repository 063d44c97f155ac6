/** @file
  brisvane-vars: argument conversion, the store's life around one command,
  and --show.
**/

#include "vars/VarsCommand.h"

#include "command/Command.h"
#include "platform/Platform.h"
#include "platform/nvram/NvramPlatform.h"
#include "store/StartupOptionStore.h"
#include "vars/NvramFile.h"
#include "vars/SetRefusal.h"
#include "vars/Show.h"
#include "vars/Template.h"
#include "vars/Utf8.h"

#include <string.h>
#include <sysexits.h>
#include <unistd.h>

#include <string>
#include <vector>

static const char mUsage[] =
    "Usage: brisvane-vars [--template TEMPLATE] NVRAM-FILE [-s|--set OPTION... | -c | -g]\n"
    "       brisvane-vars NVRAM-FILE --show [--json]\n"
    "       brisvane-vars --help | --version\n"
    "Carries out brisvane's command line on the variable store of a virtual\n"
    "machine's NVRAM file (OVMF_VARS.fd, AAVMF_VARS.fd), while the machine is\n"
    "off. The words after NVRAM-FILE are brisvane's, and the exit status is the\n"
    "%lasterror% brisvane would leave. --show prints the stored start-up\n"
    "options, --json as one JSON object. --template creates NVRAM-FILE from\n"
    "TEMPLATE first, and removes it again when the command is refused.\n"
    "See brisvane-vars(1).\n";

static int
ExitCode (EFI_STATUS Status)
{
  EFI_STATUS Code = Status & ~HOST_ERROR_BIT;

  return (Code <= 255) ? static_cast<int> (Code) : 255;
}

/**
  The argument vector of brisvane: its name, then the words converted to
  UCS-2, each a writable string, since the set action lower-cases in place.
**/
static bool
ConvertWords (int Argc, char **Argv, std::vector<std::u16string> *Words, FILE *Err)
{
  std::u16string Word;

  Words->assign (1, u"brisvane");
  for (int Index = 2; Index < Argc; Index++) {
    UTF8_CONVERSION Conversion = Utf8ToUcs2 (Argv[Index], &Word);

    if (Conversion != Utf8Converted) {
      fprintf (
          Err, "brisvane-vars: word %d after the file %s; nothing was written\n", Index - 1,
          (Conversion == Utf8Invalid) ? "is not valid UTF-8"
                                      : "has a character beyond U+FFFF, which UCS-2 cannot hold");
      return false;
    }

    Words->push_back (Word);
  }

  return true;
}

/**
  Tells whether the words set a value too large for the store. The set
  action checks the size of the value it has joined, and joining many words
  takes long; the size is known from the words before.
**/
static bool
RefusesSize (const NVRAM_STORE *Store, NVRAM_EDIT *Edit, const std::vector<std::u16string> &Words)
{
  UINTN Characters = 0;

  if ((Words.size () < 3) || ((Words[1] != u"-s") && (Words[1] != u"--set"))) {
    return false;
  }

  for (size_t Index = 2; Index < Words.size (); Index++) {
    Characters += Words[Index].size () + 1;
  }

  return NvramStoreRefusesSize (
      Store, (std::u16string (StartupOptionVariableName).size () + 1) * sizeof (char16_t),
      Characters * sizeof (char16_t), Edit);
}

///
/// What the words after the file ask for: brisvane's command line, or --show.
///
typedef enum { RunCommand, ShowText, ShowJson } VARS_ACTION;

static VARS_ACTION
ActionOf (int Argc, char **Argv)
{
  if ((Argc == 3) && (strcmp (Argv[2], "--json") == 0)) {
    return ShowJson;
  }

  if ((Argc < 3) || (Argc > 4) || (strcmp (Argv[2], "--show") != 0)) {
    return RunCommand;
  }

  if (Argc == 3) {
    return ShowText;
  }

  return (strcmp (Argv[3], "--json") == 0) ? ShowJson : RunCommand;
}

static int
RunOnStore (
    NVRAM_STORE                 *Store,
    NVRAM_EDIT                  *Edit,
    std::vector<std::u16string> &Words,
    VARS_ACTION                  Action,
    FILE                        *Out,
    FILE                        *Err)
{
  std::vector<UCS2_CHAR *> Argv;
  int                      Code;

  NvramPlatformAttach (Store, Edit, Out);
  if (Action != RunCommand) {
    Code = ExitCode (ShowStartupOptions (Out, Err, Action == ShowJson));
  } else {
    for (std::u16string &Word : Words) {
      Argv.push_back (&Word[0]);
    }

    Code = ExitCode (DispatchCommand (Argv.size (), Argv.data ()));
  }

  NvramPlatformAttach (NULL, NULL, NULL);
  fflush (Out);
  return Code;
}

/**
  Opens the file's store, after completing a fault-tolerant write that an
  interruption left pending, as the firmware would at boot: on the file, or
  in memory alone when the file is read-only.
**/
static int
OpenStore (
    NVRAM_FILE  *File,
    NVRAM_STORE *Store,
    NVRAM_EDIT  *Edit,
    const char  *Name,
    std::string *Error,
    FILE        *Err)
{
  NVRAM_WRITE_PLAN *Plan = Edit->Plan;
  NVRAM_STORE_CHECK Check;
  char              Reason[256];
  int               Code;

  Check = RecoverNvramStore (File->Bytes.data (), File->Bytes.size (), Store, Edit);
  if (Check != NvramStoreValid) {
    DescribeNvramStoreCheck (Check, Store->CheckOffset, Reason, sizeof (Reason));
    *Error = std::string ("refused: ") + Reason;
    return EX_DATAERR;
  }

  if (Plan->Count == 0) {
    return 0;
  }

  Code = File->Writable ? WriteNvramFile (File, Plan, Error) : 0;
  if (Code == 0) {
    fprintf (
        Err, "brisvane-vars: %s: %s\n", Name,
        File->Writable ? "completed a fault-tolerant write that was cut short"
                       : "a fault-tolerant write was cut short; read-only, it is read as the "
                         "firmware would complete it");
  }

  NvramFreeWritePlan (Plan);
  return Code;
}

/**
  Runs the command line from NVRAM-FILE (Argv[1]) on.
**/
static int
RunOnFile (int Argc, char **Argv, FILE *Out, FILE *Err)
{
  std::vector<std::u16string> Words;
  NVRAM_FILE                  File;
  NVRAM_STORE                 Store;
  NVRAM_WRITE_PLAN            Plan = {};
  NVRAM_EDIT                  Edit = { &Plan, {} };
  std::string                 Error;
  int                         Code;
  int                         Refused;

  if (!ConvertWords (Argc, Argv, &Words, Err)) {
    return ExitCode (EFI_INVALID_PARAMETER);
  }

  Code = OpenNvramFile (Argv[1], &File, &Error);
  if (Code == 0) {
    Code = OpenStore (&File, &Store, &Edit, Argv[1], &Error, Err);
  }

  if ((Code == 0) && RefusesSize (&Store, &Edit, Words)) {
    Code = DescribeSetRefusal (&Store, &Edit.Refusal, &Error);
  } else if (Code == 0) {
    Code    = RunOnStore (&Store, &Edit, Words, ActionOf (Argc, Argv), Out, Err);
    Refused = DescribeSetRefusal (&Store, &Edit.Refusal, &Error);
    Code    = (Refused != 0) ? Refused : Code;
    if (WriteNvramFile (&File, &Plan, &Error) != 0) {
      Code = EX_CANTCREAT;
    }
  }

  NvramFreeWritePlan (&Plan);
  CloseNvramFile (&File);
  if (!Error.empty ()) {
    fprintf (Err, "brisvane-vars: %s: %s\n", Argv[1], Error.c_str ());
  }

  return Code;
}

/**
  --template: the file is made first, and kept only when the command did
  what it was asked (a query's answer of 1 included).
**/
static int
RunOnNewFile (int Argc, char **Argv, FILE *Out, FILE *Err)
{
  std::string Error;
  int         Code;

  Code = CreateFromTemplate (Argv[2], Argv[3], &Error);
  if (Code != 0) {
    fprintf (Err, "brisvane-vars: %s: %s\n", Argv[3], Error.c_str ());
    return Code;
  }

  Code = RunOnFile (Argc - 2, Argv + 2, Out, Err);
  if ((Code != 0) && (Code != ExitCode (EFI_LOAD_ERROR))) {
    unlink (Argv[3]);
    fprintf (Err, "brisvane-vars: %s: removed again, as the command was refused\n", Argv[3]);
  }

  return Code;
}

int
RunBrisvaneVars (int Argc, char **Argv, FILE *Out, FILE *Err)
{
  if ((Argc == 2) && ((strcmp (Argv[1], "-h") == 0) || (strcmp (Argv[1], "--help") == 0))) {
    fputs (mUsage, Out);
    return 0;
  }

  if ((Argc == 2) && (strcmp (Argv[1], "--version") == 0)) {
    fputs ("brisvane-vars " BRISVANE_VERSION "\n", Out);
    return 0;
  }

  if ((Argc >= 2) && (strcmp (Argv[1], "--template") == 0)) {
    if (Argc < 4) {
      fputs (mUsage, Err);
      return EX_USAGE;
    }

    return RunOnNewFile (Argc, Argv, Out, Err);
  }

  if (Argc < 2) {
    fputs (mUsage, Err);
    return EX_USAGE;
  }

  return RunOnFile (Argc, Argv, Out, Err);
}

/** @file
  brisvane-vars' command line, from two tables: the options that come
  before NVRAM-FILE, and the show forms that may follow it.
**/

#include "vars/CommandLine.h"

#include <string.h>

static const char mUsage[] =
    "Usage: brisvane-vars [--template TEMPLATE] NVRAM-FILE [-s|--set OPTION... | -c | -g]\n"
    "       brisvane-vars NVRAM-FILE --show [--json]\n"
    "       brisvane-vars --help | --version\n"
    "Carries out brisvane's command line on the variable store of a virtual\n"
    "machine's NVRAM file (OVMF_VARS.fd, AAVMF_VARS.fd) or block device, while\n"
    "the machine is off. The words after NVRAM-FILE are brisvane's, and the\n"
    "exit status is the %lasterror% brisvane would leave. --show prints the\n"
    "stored start-up options, --json as one JSON object. --template creates\n"
    "NVRAM-FILE from TEMPLATE first, and removes it again when the command is\n"
    "refused.\n"
    "See brisvane-vars(1).\n";

///
/// An option before NVRAM-FILE.
///
typedef struct {
  const char  *Name;
  const char  *Alias; ///< Another name, or NULL.
  bool         Alone; ///< The whole command line; otherwise followed by TEMPLATE and the rest.
  VARS_REQUEST Request;
} VARS_OPTION;

static const VARS_OPTION mOptions[] = {
  { "--help", "-h", true, VarsHelp },
  { "--version", NULL, true, VarsVersion },
  { "--template", NULL, false, VarsRunCommand },
};

///
/// A form that takes the place of brisvane's words after NVRAM-FILE.
///
typedef struct {
  int          Count; ///< How many words it is, all of those after NVRAM-FILE.
  const char  *Words[2];
  VARS_REQUEST Request;
} VARS_SHOW_FORM;

static const VARS_SHOW_FORM mShowForms[] = {
  { 1, { "--show" }, VarsShowText },
  { 2, { "--show", "--json" }, VarsShowJson },
};

static bool
Is (const char *Word, const char *Name)
{
  return (Name != NULL) && (strcmp (Word, Name) == 0);
}

static const VARS_OPTION *
OptionOf (int Argc, char *const *Argv)
{
  for (const VARS_OPTION &Option : mOptions) {
    if ((Argc >= 2) && (Is (Argv[1], Option.Name) || Is (Argv[1], Option.Alias)) &&
        (!Option.Alone || (Argc == 2))) {
      return &Option;
    }
  }

  return NULL;
}

// The show form that the words are, or brisvane's command line.
static VARS_REQUEST
RequestOf (int WordCount, char *const *Words)
{
  for (const VARS_SHOW_FORM &Form : mShowForms) {
    int Index = 0;

    while ((Index < Form.Count) && (Index < WordCount) && Is (Words[Index], Form.Words[Index])) {
      Index++;
    }

    if ((Index == Form.Count) && (Index == WordCount)) {
      return Form.Request;
    }
  }

  return VarsRunCommand;
}

VOID
ParseVarsLine (int Argc, char *const *Argv, VARS_LINE *Line)
{
  const VARS_OPTION *Option = OptionOf (Argc, Argv);
  // NVRAM-FILE's place: after the option and its operand, if any.
  int File = (Option != NULL) ? 3 : 1;

  memset (Line, 0, sizeof (*Line));
  if ((Option != NULL) && Option->Alone) {
    Line->Request = Option->Request;
    return;
  }

  if (Argc <= File) {
    Line->Request = VarsUsageError;
    return;
  }

  Line->Template  = (Option != NULL) ? Argv[2] : NULL;
  Line->File      = Argv[File];
  Line->WordCount = Argc - File - 1;
  Line->Words     = Argv + File + 1;
  Line->Request   = RequestOf (Line->WordCount, Line->Words);
}

VOID
PrintVarsUsage (FILE *Stream)
{
  fputs (mUsage, Stream);
}

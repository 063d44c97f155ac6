/** @file
  brisvane-vars' command line, from two tables: the options that come
  before NVRAM-FILE, and the show forms that may follow it.
**/

#include "vars/cli/CommandLine.h"

#include <string.h>

static const char mUsage[] =
    "Usage: brisvane-vars [--template TEMPLATE] NVRAM-FILE [-s|--set OPTION... | -c | -g]\n"
    "       brisvane-vars --domain NAME [--connect URI]\n"
    "                     [-s|--set OPTION... | -c | -g | --show [--json]]\n"
    "       brisvane-vars NVRAM-FILE --show [--json]\n"
    "       brisvane-vars --help | --version\n"
    "Carries out brisvane's command line on the variable store of a virtual\n"
    "machine's NVRAM file (OVMF_VARS.fd, AAVMF_VARS.fd) or block device, while\n"
    "the machine is off. The words after NVRAM-FILE are brisvane's, and the\n"
    "exit status is the %lasterror% brisvane would leave. --show prints the\n"
    "stored start-up options, --json as one JSON object. --template creates\n"
    "NVRAM-FILE from TEMPLATE first, and removes it again when the command is\n"
    "refused, unless another run has edited it meanwhile.\n"
    "--domain finds the NVRAM of a shut-off libvirt domain through libvirt at\n"
    "URI (qemu:///system by default), and creates it from the domain's\n"
    "template as libvirt would if the domain has never started.\n"
    "See brisvane-vars(1).\n";

///
/// An option before NVRAM-FILE, alone or with one operand.
///
typedef struct {
  const char  *Name;
  const char  *Alias; ///< Another name, or NULL.
  bool         Alone; ///< The whole command line; otherwise followed by its operand.
  VARS_REQUEST Request;
  const char *VARS_LINE::*Operand; ///< Where its operand goes.
} VARS_OPTION;

static const VARS_OPTION mOptions[] = {
  { "--help", "-h", true, VarsHelp, NULL },
  { "--version", NULL, true, VarsVersion, NULL },
  { "--template", NULL, false, VarsRunCommand, &VARS_LINE::Template },
  { "--domain", NULL, false, VarsRunCommand, &VARS_LINE::Domain },
  { "--connect", NULL, false, VarsRunCommand, &VARS_LINE::Connect },
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
OptionOf (const char *Word)
{
  for (const VARS_OPTION &Option : mOptions) {
    if (Is (Word, Option.Name) || Is (Word, Option.Alias)) {
      return &Option;
    }
  }

  return NULL;
}

/**
  Takes the options with operands, each once at most and with its operand,
  and returns the place of the first word after them, or 0 for a line that
  is not one of the forms:
  --domain stands for NVRAM-FILE and takes no --template; --connect goes with
  --domain alone.
**/
static int
TakeOptions (int Argc, char *const *Argv, VARS_LINE *Line)
{
  const VARS_OPTION *Option;
  int                Index = 1;

  while ((Index < Argc) && ((Option = OptionOf (Argv[Index])) != NULL) && !Option->Alone) {
    if ((Index + 1 == Argc) || (Line->*Option->Operand != NULL)) {
      return 0;
    }

    Line->*Option->Operand = Argv[Index + 1];
    Index += 2;
  }

  if ((Line->Domain != NULL) ? (Line->Template != NULL) : (Line->Connect != NULL)) {
    return 0;
  }

  return Index;
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
  const VARS_OPTION *Option = (Argc == 2) ? OptionOf (Argv[1]) : NULL;
  int                Words;

  memset (Line, 0, sizeof (*Line));
  if ((Option != NULL) && Option->Alone) {
    Line->Request = Option->Request;
    return;
  }

  Words = TakeOptions (Argc, Argv, Line);
  if ((Words == 0) || ((Line->Domain == NULL) && (Words >= Argc))) {
    Line->Request = VarsUsageError;
    return;
  }

  if (Line->Domain == NULL) {
    Line->File = Argv[Words++];
  }

  Line->WordCount = Argc - Words;
  Line->Words     = Argv + Words;
  Line->Request   = RequestOf (Line->WordCount, Line->Words);
}

VOID
PrintVarsUsage (FILE *Stream)
{
  fputs (mUsage, Stream);
}

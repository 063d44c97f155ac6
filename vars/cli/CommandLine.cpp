/** @file
  brisvane-vars' command line, from two tables: the tool's own options,
  taken by the usual rules before NVRAM-FILE, and the show forms that may
  follow it.
**/

#include "vars/cli/CommandLine.h"

#include "vars/media/Medium.h"

#include <stdlib.h>
#include <string.h>

// How long a network NVRAM's server may take by default, and at most, in seconds.
#define VARS_TIMEOUT_DEFAULT 30
#define VARS_TIMEOUT_MAX     3600

///
/// Where an option's value goes while the line is read.
///
typedef enum {
  SlotTemplate,
  SlotDomain,
  SlotConnect,
  SlotShow,
  SlotJson,
  SlotQuery,
  SlotOffline,
  SlotTimeout,
  SlotCount, ///< None: the option is the line's answer.
} VARS_SLOT;

///
/// One of the tool's own options.
///
typedef struct {
  const char  *Name;       ///< "--name", or a short name alone.
  const char  *Short;      ///< Its short name, or NULL.
  bool         TakesValue; ///< Followed by a value; a flag otherwise.
  VARS_SLOT    Slot;
  VARS_REQUEST Answer; ///< With SlotCount, what the line asks for.
} VARS_OPTION;

static const VARS_OPTION mOptions[] = {
  { "--help", "-h", false, SlotCount, VarsHelp },
  { "--version", NULL, false, SlotCount, VarsVersion },
  { "--template", NULL, true, SlotTemplate, VarsRunCommand },
  { "--domain", NULL, true, SlotDomain, VarsRunCommand },
  { "--connect", "-c", true, SlotConnect, VarsRunCommand },
  { "--show", NULL, false, SlotShow, VarsRunCommand },
  { "--json", NULL, false, SlotJson, VarsRunCommand },
  { "-g", NULL, false, SlotQuery, VarsRunCommand },
  { "--offline", NULL, false, SlotOffline, VarsRunCommand },
  { "--timeout", NULL, true, SlotTimeout, VarsRunCommand },
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

// What -g among the options stands for: brisvane's words "-g".
static char        mQueryWord[]   = "-g";
static char *const mQueryWords[1] = { mQueryWord };

static bool
Is (const char *Word, const char *Name)
{
  return (Name != NULL) && (strcmp (Word, Name) == 0);
}

static bool
Starts (const char *Word, const char *Start)
{
  return strncmp (Word, Start, strlen (Start)) == 0;
}

// Marks the line a usage error, for Why; returns -1, the place of no word.
static int
Refuse (VARS_LINE *Line, const std::string &Why)
{
  Line->Request = VarsUsageError;
  Line->Problem = Why;
  return -1;
}

/**
  Finds the option that a word is, with the value attached to it:
  "--name=value", or "-cvalue" for a short name that takes a value.
**/
static const VARS_OPTION *
OptionOf (const char *Word, const char **Attached)
{
  for (const VARS_OPTION &Option : mOptions) {
    size_t Length = strlen (Option.Name);

    *Attached = NULL;
    if (Is (Word, Option.Name) || Is (Word, Option.Short)) {
      return &Option;
    }

    if (Starts (Option.Name, "--") && Starts (Word, Option.Name) && (Word[Length] == '=')) {
      *Attached = Word + Length + 1;
      return &Option;
    }

    if (Option.TakesValue && (Option.Short != NULL) && Starts (Word, Option.Short)) {
      *Attached = Word + strlen (Option.Short);
      return &Option;
    }
  }

  return NULL;
}

/**
  Takes the option at Argv[Index] into Values and returns the place of the
  word after it: 0 when the word is none of the options, -1 when the line
  has its answer or is a usage error. A short name as the last word is no
  option, since its value would be missing: that is how brisvane's -c ends
  a --domain line.
**/
static int
TakeOption (int Argc, char *const *Argv, int Index, const char **Values, VARS_LINE *Line)
{
  const char        *Value;
  const VARS_OPTION *Option = OptionOf (Argv[Index], &Value);
  const std::string  Name   = (Option != NULL) ? Option->Name : "";

  if ((Option == NULL) ||
      (Is (Argv[Index], Option->Short) && Option->TakesValue && (Index + 1 == Argc))) {
    return 0;
  }

  if (!Option->TakesValue && (Value != NULL)) {
    return Refuse (Line, Name + " takes no value");
  }

  if (Option->Slot == SlotCount) {
    Line->Request = Option->Answer;
    return -1;
  }

  if (Values[Option->Slot] != NULL) {
    return Refuse (Line, Name + " is given twice");
  }

  if (Option->TakesValue && (Value == NULL)) {
    if (Index + 1 == Argc) {
      return Refuse (Line, Name + " needs a value");
    }

    Value = Argv[++Index];
  }

  // A flag's slot holds its name, which a refusal quotes.
  Values[Option->Slot] = (Value != NULL) ? Value : Option->Name;
  return Index + 1;
}

/**
  Takes the options, up to "--" or the first word that is none of them,
  and returns the place of the word after them, or -1 when the line has its
  answer. A --word there is an option or a mistake, except that with
  --domain brisvane's --set starts its words.
**/
static int
TakeOptions (int Argc, char *const *Argv, const char **Values, VARS_LINE *Line)
{
  for (int Index = 1, Next; Index < Argc; Index = Next) {
    const char *Word = Argv[Index];

    if (Is (Word, "--")) {
      return Index + 1;
    }

    Next = TakeOption (Argc, Argv, Index, Values, Line);
    if (Next < 0) {
      return -1;
    }

    if (Next > 0) {
      continue;
    }

    if (Starts (Word, "--") && !((Values[SlotDomain] != NULL) && Is (Word, "--set"))) {
      return Refuse (Line, std::string ("unknown option ") + Word);
    }

    return Index;
  }

  return Argc;
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

/**
  Settles what the line asks for: -g or --show [--json] among the options,
  which then stand for brisvane's words, or the words themselves.
**/
static VOID
SettleRequest (const char *const *Values, VARS_LINE *Line)
{
  const char *Asked = (Values[SlotQuery] != NULL)  ? Values[SlotQuery]
                      : (Values[SlotShow] != NULL) ? Values[SlotShow]
                                                   : Values[SlotJson];

  if (Asked == NULL) {
    Line->Request = RequestOf (Line->WordCount, Line->Words);
  } else if (Line->WordCount > 0) {
    Refuse (Line, std::string (Asked) + " does not go with brisvane's words");
  } else if (
      (Values[SlotQuery] != NULL) && (Values[SlotShow] != NULL || Values[SlotJson] != NULL)) {
    Refuse (Line, "-g does not go with --show or --json");
  } else if (Values[SlotQuery] != NULL) {
    Line->WordCount = 1;
    Line->Words     = mQueryWords;
  } else if (Values[SlotShow] == NULL) {
    Refuse (Line, "--json goes with --show");
  } else {
    Line->Request = (Values[SlotJson] != NULL) ? VarsShowJson : VarsShowText;
  }
}

// --timeout's seconds, the default without it, and 0 for a value out of range.
static int
TimeoutOf (const char *Value)
{
  char *End;
  long  Seconds;

  if (Value == NULL) {
    return VARS_TIMEOUT_DEFAULT;
  }

  Seconds = strtol (Value, &End, 10);
  return ((*Value >= '0') && (*Value <= '9') && (*End == '\0') && (Seconds >= 1) &&
          (Seconds <= VARS_TIMEOUT_MAX))
             ? static_cast<int> (Seconds)
             : 0;
}

VOID
ParseVarsLine (int Argc, char *const *Argv, VARS_LINE *Line)
{
  const char *Values[SlotCount] = {};
  int         Index;

  *Line         = VARS_LINE ();
  Line->Request = VarsRunCommand;
  Index         = TakeOptions (Argc, Argv, Values, Line);
  if (Index < 0) {
    return;
  }

  Line->Template = Values[SlotTemplate];
  Line->Domain   = Values[SlotDomain];
  Line->Connect  = Values[SlotConnect];
  Line->Offline  = (Values[SlotOffline] != NULL);
  Line->Timeout  = TimeoutOf (Values[SlotTimeout]);
  if (Line->Timeout == 0) {
    Refuse (Line, "--timeout takes a whole number of seconds from 1 to 3600");
  } else if ((Line->Domain != NULL) && (Line->Template != NULL)) {
    Refuse (Line, "--template does not go with --domain");
  } else if ((Line->Domain == NULL) && (Line->Connect != NULL)) {
    Refuse (Line, "--connect goes with --domain");
  } else if ((Line->Domain == NULL) && (Index == Argc)) {
    Refuse (Line, "no NVRAM-FILE or --domain");
  } else {
    Line->File      = (Line->Domain == NULL) ? Argv[Index++] : NULL;
    Line->WordCount = Argc - Index;
    Line->Words     = Argv + Index;
    SettleRequest (Values, Line);
  }

  if ((Line->Request != VarsUsageError) && (Line->Template != NULL) &&
      IsNetworkNvram (Line->File)) {
    Refuse (Line, "--template makes a file, and NVRAM-FILE names a store on the network");
  }
}

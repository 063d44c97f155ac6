/** @file
  brisvane-vars: argument conversion, the store's life around one command,
  and --show.
**/

#include "vars/cli/VarsCommand.h"

#include "command/Command.h"
#include "platform/Platform.h"
#include "store/StartupOptionStore.h"
#include "vars/base/ExitStatus.h"
#include "vars/base/Pause.h"
#include "vars/cli/CommandLine.h"
#include "vars/cli/NvramPlatform.h"
#include "vars/cli/Outcome.h"
#include "vars/cli/SetRefusal.h"
#include "vars/cli/Show.h"
#include "vars/cli/StoreCheckText.h"
#include "vars/cli/Utf8.h"
#include "vars/libvirt/Domain.h"
#include "vars/media/Medium.h"
#include "vars/media/Template.h"

#include <unistd.h>

#include <string>
#include <vector>

/// Where a run writes: the console text, and the error lines, the shell's among them.
typedef struct {
  FILE *Out;
  FILE *Err;
} VARS_STREAMS;

///
/// brisvane's argument vector: its name, then the words converted to
/// UCS-2, each a writable string, since the set action lower-cases in
/// place.
///
typedef struct {
  std::vector<std::u16string> Words;
  std::vector<UCS2_CHAR *>    Argv;
} BRISVANE_LINE;

static bool
ConvertWords (const VARS_LINE *Line, BRISVANE_LINE *Brisvane, VARS_OUTCOME *Outcome)
{
  char Text[160];

  std::u16string Word;

  Brisvane->Words.assign (1, u"brisvane");
  for (int Index = 0; Index < Line->WordCount; Index++) {
    UTF8_CONVERSION Conversion = Utf8ToUcs2 (Line->Words[Index], &Word);

    if (Conversion != Utf8Converted) {
      snprintf (
          Text, sizeof (Text), "word %d after the file %s; nothing was written", Index + 1,
          (Conversion == Utf8Invalid) ? "is not valid UTF-8"
                                      : "has a character beyond U+FFFF, which UCS-2 cannot hold");
      SettleOutcome (Outcome, VarsExitRefusedWord, "", Text);
      return false;
    }

    Brisvane->Words.push_back (Word);
  }

  for (std::u16string &Converted : Brisvane->Words) {
    Brisvane->Argv.push_back (&Converted[0]);
  }

  return true;
}

/**
  Tells whether the words set a value too large for the store. The set
  action checks the size of the value it has joined, and joining many words
  takes long; its size rule gives the size from the words before.
**/
static bool
RefusesSize (const NVRAM_STORE *Store, NVRAM_EDIT *Edit, BRISVANE_LINE *Brisvane)
{
  std::vector<UCS2_CHAR *> &Argv = Brisvane->Argv;

  if (!CommandSetsOptions (Argv.size (), Argv.data ())) {
    return false;
  }

  return NvramStoreRefusesSize (
      Store, (std::u16string (StartupOptionVariableName).size () + 1) * sizeof (char16_t),
      OptionStringSize (Argv.size (), Argv.data ()), Edit);
}

static int
RunOnStore (
    NVRAM_STORE        *Store,
    NVRAM_EDIT         *Edit,
    BRISVANE_LINE      *Brisvane,
    VARS_REQUEST        Request,
    const VARS_STREAMS *Streams,
    VARS_OUTCOME       *Outcome)
{
  std::string Error;
  int         Code;

  NvramPlatformAttach (Store, Edit, Streams->Out, Streams->Err);
  if (Request != VarsRunCommand) {
    Code = VarsExitOf (ShowStartupOptions (Streams->Out, Request == VarsShowJson, &Error));
  } else {
    Code = VarsExitOf (DispatchCommand (Brisvane->Argv.size (), Brisvane->Argv.data ()));
  }

  NvramPlatformAttach (NULL, NULL, NULL, NULL);
  fflush (Streams->Out);
  return SettleOutcome (Outcome, Code, "", Error);
}

/**
  Opens the image's store, after completing a fault-tolerant write that an
  interruption left pending, as the firmware would at boot: on the medium,
  or in memory alone when it is read-only.
**/
static int
OpenStore (
    NVRAM_IMAGE  *Image,
    NVRAM_STORE  *Store,
    NVRAM_EDIT   *Edit,
    const char   *Name,
    VARS_OUTCOME *Outcome)
{
  NVRAM_STORE_CHECK Check;
  char              Reason[256];
  std::string       Error;
  int               Code;
  bool              Writable = Image->Medium->Writable ();

  Check = RecoverNvramStore (Image->Bytes.data (), Image->Bytes.size (), Store, Edit);
  if (Check != NvramStoreValid) {
    DescribeNvramStoreCheck (Check, Store->CheckOffset, Reason, sizeof (Reason));
    return SettleOutcome (Outcome, VarsExitNotAStore, Name, std::string ("refused: ") + Reason);
  }

  if (Edit->Plan->Count == 0) {
    return 0;
  }

  Code = Writable ? ReplayWritePlan (Image, Edit->Plan, &Error) : 0;
  NvramFreeWritePlan (Edit->Plan);
  if (Code != 0) {
    return SettleOutcome (Outcome, Code, Name, Error);
  }

  return SettleOutcome (
      Outcome, 0, Name,
      Writable ? "completed a fault-tolerant write that was cut short"
               : "a fault-tolerant write was cut short; read-only, it is read as the "
                 "firmware would complete it");
}

/**
  Runs the command on NVRAM-FILE, or on the NVRAM of the domain libvirt
  described.
**/
static int
RunOnFile (
    const VARS_LINE    *Line,
    const DOMAIN_NVRAM *Domain,
    const VARS_STREAMS *Streams,
    VARS_OUTCOME       *Outcome)
{
  BRISVANE_LINE    Brisvane;
  NVRAM_IMAGE      Image;
  NVRAM_STORE      Store;
  NVRAM_WRITE_PLAN Plan = {};
  NVRAM_EDIT       Edit = { &Plan, {} };
  std::string      Error;
  int              Code;

  if (!ConvertWords (Line, &Brisvane, Outcome)) {
    return Outcome->Code;
  }

  // Only a clear or a set may change the medium: every other request opens it for reading alone.
  Code = OpenNvramImage (
      Line->File,
      (Line->Request != VarsRunCommand) ||
          !CommandChangesVariable (Brisvane.Argv.size (), Brisvane.Argv.data ()),
      &Image, &Error);
  if (SettleOutcome (Outcome, Code, Line->File, Error) != 0) {
    return Code;
  }

  if ((Domain != NULL) && Domain->ManagedSave) {
    Image.ManagedSave = true;
    Image.Domain      = Line->Domain;
  }

  if (OpenStore (&Image, &Store, &Edit, Line->File, Outcome) != 0) {
    return Outcome->Code;
  }

  PauseAt ("read");
  Error.clear ();
  if (RefusesSize (&Store, &Edit, &Brisvane)) {
    Code = DescribeSetRefusal (&Store, &Edit.Refusal, &Error);
  } else {
    RunOnStore (&Store, &Edit, &Brisvane, Line->Request, Streams, Outcome);
    Code = DescribeSetRefusal (&Store, &Edit.Refusal, &Error);
    Code = (Code != 0) ? Code : ReplayWritePlan (&Image, &Plan, &Error);
  }

  NvramFreeWritePlan (&Plan);
  SettleOutcome (Outcome, Code, Line->File, Error);
  return Outcome->Code;
}

/**
  --template, or --domain's NVRAM that the domain has never started on: the
  file is made first, as libvirt makes it for a domain, and kept only when
  the command did what it was asked (a query's answer of 1 included) or
  another run has used it since. A domain's NVRAM that another run made
  meanwhile is used as it is.
**/
static int
RunOnNewFile (
    const VARS_LINE    *Line,
    const DOMAIN_NVRAM *Domain,
    const VARS_STREAMS *Streams,
    VARS_OUTCOME       *Outcome)
{
  MADE_FILE   Made;
  std::string Error;
  const char *Kept;
  int         Code;

  Code = (Domain != NULL) ? CreateDomainNvram (Domain, &Made, &Error)
                          : CreateFromTemplate (Line->Template, Line->File, &Made, &Error);
  if ((Code != 0) && (Domain != NULL) && Made.Existed) {
    return RunOnFile (Line, Domain, Streams, Outcome);
  }

  if (SettleOutcome (Outcome, Code, Line->File, Error) != 0) {
    return Code;
  }

  PauseAt ("created");
  Code = RunOnFile (Line, Domain, Streams, Outcome);
  if ((Code == VarsExitDone) || (Code == VarsExitStored)) {
    return Code;
  }

  Kept = RemoveMadeFile (Line->File, &Made);
  SettleOutcome (
      Outcome, 0, Line->File,
      (Kept == NULL) ? std::string ("removed again, as the command was refused")
                     : std::string ("kept, though the command was refused: ") + Kept);
  return Outcome->Code;
}

/**
  --domain: the command on the NVRAM that libvirt names for the domain.
**/
static int
RunOnDomain (const VARS_LINE *Line, const VARS_STREAMS *Streams, VARS_OUTCOME *Outcome)
{
  DOMAIN_NVRAM Nvram;
  VARS_LINE    OnFile = *Line;
  std::string  Error;
  int          Code = FindDomainNvram (Line->Domain, Line->Connect, &Nvram, &Error);

  if (SettleOutcome (Outcome, Code, std::string ("domain ") + Line->Domain, Error) != 0) {
    return Code;
  }

  PauseAt ("found");
  OnFile.File = Nvram.Path.c_str ();
  return Nvram.Absent ? RunOnNewFile (&OnFile, &Nvram, Streams, Outcome)
                      : RunOnFile (&OnFile, &Nvram, Streams, Outcome);
}

int
RunBrisvaneVars (int Argc, char **Argv, FILE *Out, FILE *Err)
{
  VARS_LINE          Line;
  VARS_OUTCOME       Outcome;
  const VARS_STREAMS Streams = { Out, Err };

  ParseVarsLine (Argc, Argv, &Line);
  switch (Line.Request) {
  case VarsUsageError:
    SettleOutcome (&Outcome, VarsExitUsage, "", Line.Problem);
    ReportOutcome (&Outcome, Err);
    PrintVarsUsage (Err);
    return VarsExitUsage;
  case VarsHelp:
    PrintVarsUsage (Out);
    return VarsExitDone;
  case VarsVersion:
    fputs ("brisvane-vars " BRISVANE_VERSION_TEXT "\n", Out);
    return VarsExitDone;
  default:
    if (Line.Domain != NULL) {
      RunOnDomain (&Line, &Streams, &Outcome);
    } else if (Line.Template != NULL) {
      RunOnNewFile (&Line, NULL, &Streams, &Outcome);
    } else {
      RunOnFile (&Line, NULL, &Streams, &Outcome);
    }

    return ReportOutcome (&Outcome, Err);
  }
}

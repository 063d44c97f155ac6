/** @file
  brisvane-vars: the store's life around one command, on a file, a file
  made from a template, or a libvirt domain's NVRAM.
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
#include "vars/cli/Words.h"
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
  NVRAM_ACCESS     Access;
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
  Access = { !MayWrite (Line->Request, &Brisvane), (Domain != NULL) || Line->Offline,
             Line->Timeout };
  Code   = OpenNvramImage (Line->File, &Access, &Image, &Error);
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
  DOMAIN_NVRAM  Nvram;
  VARS_LINE     OnFile = *Line;
  BRISVANE_LINE Brisvane;
  VARS_OUTCOME  Unused;
  std::string   Error;
  bool Writing = ConvertWords (Line, &Brisvane, &Unused) && MayWrite (Line->Request, &Brisvane);
  int  Code    = FindDomainNvram (Line->Domain, Line->Connect, Writing, &Nvram, &Error);

  if (SettleOutcome (Outcome, Code, std::string ("domain ") + Line->Domain, Error) != 0) {
    return Code;
  }

  PauseAt ("found");
  OnFile.File = Nvram.Path.c_str ();
  if (!Nvram.Absent) {
    return RunOnFile (&OnFile, &Nvram, Streams, Outcome);
  }

  if (Writing) {
    return RunOnNewFile (&OnFile, &Nvram, Streams, Outcome);
  }

  // A read of an NVRAM yet to be made is answered from what it would be made from, making nothing.
  OnFile.File = Nvram.Template.c_str ();
  return RunOnFile (&OnFile, &Nvram, Streams, Outcome);
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

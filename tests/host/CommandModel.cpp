/** @file
  What a run of a command line owes, worked out from the words, the machine
  and (for a set) the store's answer to the write, and the checks of a run
  against it.
**/

#include "CommandModel.h"

#include "app/ApplicationMain.h"
#include "command/Command.h"
#include "platform/host/FirmwareRoutines.h"

#include <algorithm>
#include <sstream>

using namespace HostPlatform;

const std::vector<FIRMWARE_FAILURES> FirmwareFailures = {
  { Operation::OpenProtocol, { EFI_UNSUPPORTED, EFI_INVALID_PARAMETER, EFI_ACCESS_DENIED } },
  { Operation::CloseProtocol, { EFI_NOT_FOUND, EFI_INVALID_PARAMETER } },
  { Operation::LocateProtocol, { EFI_NOT_FOUND, EFI_INVALID_PARAMETER } },
  { Operation::AllocateZeroPool, { EFI_OUT_OF_RESOURCES } },
  { Operation::GetVariable,
    { EFI_NOT_FOUND, EFI_BUFFER_TOO_SMALL, EFI_DEVICE_ERROR, EFI_SECURITY_VIOLATION } },
  { Operation::SetVariable,
    { EFI_OUT_OF_RESOURCES, EFI_DEVICE_ERROR, EFI_WRITE_PROTECTED, EFI_SECURITY_VIOLATION,
      EFI_INVALID_PARAMETER, EFI_NOT_FOUND } },
  { Operation::Print, { EFI_DEVICE_ERROR, EFI_UNSUPPORTED } },
};

// The start-up options, typed apart from the logic's table.
static const std::u16string Options[] = {
  u"-nomap",        u"-nostartup",   u"-startup", u"-noversion", u"-noconsolein",
  u"-noconsoleout", u"-nointerrupt", u"-nonest",  u"-exit",      u"-delay",
};

static const std::u16string Earlier = u"-nonest";

enum ACTION { Help, Query, Clear, Set, Reject };

enum VARIABLE_AFTER { Untouched, NewValue, Deleted };

struct OWED {
  bool                        Vector;   ///< The run had a vector to carry out.
  bool                        LeftOpen; ///< A failing close left the vector's protocol open.
  ACTION                      Action;
  EFI_STATUS                  Status;
  std::vector<std::u16string> Writes;
  std::vector<std::u16string> Words; ///< The vector after the run.
  std::u16string              Value; ///< Set: the words joined as stored.
  VARIABLE_AFTER              Variable;
};

static bool
IsOption (const std::u16string &Word)
{
  return std::find (std::begin (Options), std::end (Options), Word) != std::end (Options);
}

static bool
IsNumber (const std::u16string &Word)
{
  return Word.find_first_not_of (u"0123456789") == std::u16string::npos;
}

// The action the words ask for, the status of the help screen, and for a set the
// value and the words as the join leaves them: lowered in place but the delay's operand.
static void
ReadWords (
    const std::vector<std::u16string> &Words,
    OWED                              *Owed,
    std::vector<std::u16string>       *Joined)
{
  Owed->Action = Help;
  Owed->Status = (Words.size () > 2) ? EFI_INVALID_PARAMETER : EFI_SUCCESS;
  if (Words.size () == 2) {
    Owed->Action = (Words[1] == u"-c") ? Clear : (Words[1] == u"-g") ? Query : Help;
  } else if ((Words.size () > 2) && ((Words[1] == u"-s") || (Words[1] == u"--set"))) {
    Owed->Action = Set;
  }

  *Joined = Words;
  for (UINTN Index = 2; (Owed->Action == Set) && (Index < Words.size ()); Index++) {
    std::u16string &Word = (*Joined)[Index];

    std::transform (Word.begin (), Word.end (), Word.begin (), FirmwareRoutines::EnglishLower);
    Owed->Value += ((Index == 2) ? u"" : u" ") + Word;
    if (!IsOption (Word)) {
      Owed->Action = Reject;
      Owed->Writes = { (u"ERROR: Invalid shell startup option: " + Word + u"\r\n")
                           .substr (0, FirmwareRoutines::PrintBufferCharacters) };
    } else if ((Word == u"-delay") && (Index + 1 < Words.size ()) && IsNumber (Words[Index + 1])) {
      Owed->Value += u" " + Words[++Index];
    }
  }
}

static OWED
Expect (
    const std::vector<std::u16string> &Words,
    const MACHINE                     &Machine,
    const std::vector<std::u16string> &HelpScreen)
{
  auto Fails = [&] (Operation Op, UINTN Call) {
    return (Machine.FaultOp == Op) && (Machine.FaultCall == Call);
  };
  OWED                        Owed = { true, false, Help, EFI_SUCCESS, {}, Words, u"", Untouched };
  std::vector<std::u16string> Joined;

  // The parameters protocol is opened first, the shell interface only when that fails.
  bool FromNew = ((Machine.Shells & NewShell) != 0) && !Fails (Operation::OpenProtocol, 1);
  bool FromOld =
      !FromNew && ((Machine.Shells & OldShell) != 0) && !Fails (Operation::OpenProtocol, 2);

  if (Machine.Shells != DirectDispatch) {
    Owed.Vector   = FromNew || FromOld;
    Owed.LeftOpen = Owed.Vector && Fails (Operation::CloseProtocol, 1);
  }

  if (!Owed.Vector) {
    Owed.Status = EFI_OUT_OF_RESOURCES;
    return Owed;
  }

  ReadWords (Words, &Owed, &Joined);
  switch (Owed.Action) {
  case Help:
    Owed.Writes = HelpScreen;
    break;
  case Query: {
    EFI_STATUS Answer = Fails (Operation::GetVariable, 1) ? Machine.FaultStatus
                        : Machine.Present                 ? EFI_BUFFER_TOO_SMALL
                                                          : EFI_NOT_FOUND;
    Owed.Status       = Fails (Operation::AllocateZeroPool, 1) ? EFI_OUT_OF_RESOURCES
                        : (Answer == EFI_NOT_FOUND)            ? EFI_SUCCESS
                        : (Answer == EFI_BUFFER_TOO_SMALL)     ? EFI_LOAD_ERROR
                                                               : Answer;
    break;
  }
  case Clear:
    Owed.Status   = Fails (Operation::SetVariable, 1) ? Machine.FaultStatus
                    : Machine.Present                 ? EFI_SUCCESS
                                                      : EFI_NOT_FOUND;
    Owed.Variable = (Owed.Status == EFI_SUCCESS) ? Deleted : Untouched;
    break;
  case Set:
  case Reject:
    if (Fails (Operation::AllocateZeroPool, 1) || Fails (Operation::LocateProtocol, 1)) {
      Owed.Status =
          Fails (Operation::LocateProtocol, 1) ? Machine.FaultStatus : EFI_OUT_OF_RESOURCES;
      Owed.Writes.clear ();
      break;
    }

    Owed.Words = std::move (Joined);
    if (Owed.Action == Reject) {
      Owed.Status = EFI_INVALID_PARAMETER;
      break;
    }

    // The store's answer to the write is its own: it refuses a value longer than it holds.
    Owed.Status   = Fails (Operation::SetVariable, 1)      ? Machine.FaultStatus
                    : Records ().SetVariableCalls.empty () ? EFI_SUCCESS
                                                           : Records ().SetVariableCalls[0].Status;
    Owed.Variable = (Owed.Status == EFI_SUCCESS) ? NewValue : Untouched;
  }

  // A console that fails one write loses that line and nothing else.
  if ((Machine.FaultOp == Operation::Print) && (Machine.FaultCall <= Owed.Writes.size ())) {
    Owed.Writes.erase (Owed.Writes.begin () + (Machine.FaultCall - 1));
  }

  return Owed;
}

static std::vector<std::u16string>
CaptureHelpScreen (VOID)
{
  Reset ();
  ShowUsage ();
  return Records ().ConsoleWrites;
}

static EFI_STATUS
Run (ArgumentVector &Args, const MACHINE &Machine)
{
  Reset ();
  if (Machine.Present) {
    SeedVariable (u"Brisvane", ShellGuid (), 0x3, Ucs2Bytes (Earlier));
  }

  if (Machine.FaultOp != Operation::Count) {
    FailCall (Machine.FaultOp, Machine.FaultCall, Machine.FaultStatus);
  }

  if (Machine.Shells == DirectDispatch) {
    return DispatchCommand (Args.Argc (), Args.Argv ());
  }

  if ((Machine.Shells & NewShell) != 0) {
    InstallShellParameters (Args.Argc (), Args.Argv ());
  }

  if ((Machine.Shells & OldShell) != 0) {
    InstallShellInterface (Args.Argc (), Args.Argv ());
  }

  return ApplicationMain (ImageHandle (), NULL);
}

static std::string
Hex (EFI_STATUS Status)
{
  std::ostringstream Text;

  Text << "0x" << std::hex << Status;
  return Text.str ();
}

// Every rule of the run that it broke, one line each.
static std::string
BrokenRules (const OWED &Owed, bool Present, ArgumentVector &Args, EFI_STATUS Returned)
{
  std::string Broken;
  auto        Require = [&Broken] (bool Kept, const char *What) {
    Broken += Kept ? "" : std::string (What) + "\n";
  };
  UINTN Kept = 0;

  while ((Kept < Args.Argc ()) && (Owed.Words[Kept] == Args.Argv ()[Kept])) {
    Kept++;
  }

  if (Returned != Owed.Status) {
    Broken += "status " + Hex (Returned) + ", owed " + Hex (Owed.Status) + "\n";
  }

  Require (Records ().ConsoleWrites == Owed.Writes, "the console's lines");
  Require (LiveBuffers () == 0, "a pool buffer left behind");
  // The one open that a failing CloseProtocol leaves is the firmware's doing.
  Require (OpenProtocolEntries () == (Owed.LeftOpen ? 1u : 0u), "protocols left open");
  Require (Kept == Args.Argc (), "a word changed that should not, or not lowered in place");
  Require (
      (Owed.Action == Set) || (Owed.Action == Clear) || Records ().SetVariableCalls.empty (),
      "a write by a command that does not write");
  Require (Records ().SetVariableCalls.size () <= 1, "more than one write");
  for (const SET_VARIABLE_CALL &Call : Records ().SetVariableCalls) {
    Require ((Call.Name == u"Brisvane") && (Call.Guid == ShellGuid ()), "a write elsewhere");
    Require (Call.Attributes == 0x3, "a write with other attributes");
    Require (
        (Call.Data == ((Owed.Action == Clear) ? BYTES () : Ucs2Bytes (Owed.Value))) &&
            (Call.DataSize == Call.Data.size ()),
        "a write of other than the whole value");
  }

  Require (
      (Owed.Action == Query) || Records ().GetVariableCalls.empty (),
      "a read by a command that does not read");
  Require (Records ().GetVariableCalls.size () <= 1, "more than one read");
  // Lowering a word again for each option would make a long set quadratic.
  Require (
      CallCount (Operation::StrLwr) <= ((Args.Argc () > 2) ? Args.Argc () - 2 : 0),
      "a word after the mode lowered more than once");
  Require (Owed.Vector || Records ().AllocationSizes.empty (), "an allocation without a vector");

  const VARIABLE *After = StartupVariable ();
  if (Owed.Variable == NewValue) {
    Require (
        (After != NULL) && (After->Attributes == 0x3) && (After->Data == Ucs2Bytes (Owed.Value)),
        "the variable does not hold the new value");
  } else if ((Owed.Variable == Deleted) || !Present) {
    Require (After == NULL, "the variable is there");
  } else {
    Require (
        (After != NULL) && (After->Attributes == 0x3) && (After->Data == Ucs2Bytes (Earlier)),
        "the earlier value was lost");
  }

  return Broken;
}

std::string
RunCommandLine (
    const std::vector<std::u16string> &Words,
    const MACHINE                     &Machine,
    EFI_STATUS                        *Status)
{
  static const std::vector<std::u16string> HelpScreen = CaptureHelpScreen ();
  ArgumentVector                           Args (Words);
  EFI_STATUS                               Returned = Run (Args, Machine);

  if (Status != NULL) {
    *Status = Returned;
  }

  return BrokenRules (Expect (Words, Machine, HelpScreen), Machine.Present, Args, Returned);
}

/** @file
  Every kind of command line, run from the image's entry with each firmware
  call it makes failing in turn, with each status firmware gives for that
  call: the run must give the status it owes, leave no buffer or open
  protocol behind, leave the variable as it was or holding exactly the new
  value, and print nothing it should not.
**/

#include "HostTest.h"

#include "app/ApplicationMain.h"
#include "command/Command.h"

#include <iostream>
#include <map>
#include <sstream>

using namespace HostPlatform;

enum ACTION { Help, Query, Clear, Set, Reject };

// Which shell protocols are on the image handle.
enum SHELL { NewShell = 1, OldShell = 2, BothShells = 3 };

struct SHAPE {
  const char                 *Name;
  std::vector<std::u16string> Words;
  ACTION                      Action;
  std::u16string              Text; // Set: the stored value; Reject: the word shown.
};

static const SHAPE Shapes[] = {
  { "no words", {}, Help, u"" },
  { "-g", { u"-g" }, Query, u"" },
  { "-c", { u"-c" }, Clear, u"" },
  { "-s", { u"-s", u"-NoMap", u"-Exit" }, Set, u"-nomap -exit" },
  { "-s rejected", { u"-s", u"-NoMap", u"-Bogus", u"-exit" }, Reject, u"-bogus" },
  { "--set -delay", { u"--set", u"-Delay", u"3", u"-nonest" }, Set, u"-delay 3 -nonest" },
};

// The statuses that firmware really gives for each call.
static const std::vector<std::pair<Operation, std::vector<EFI_STATUS>>> FirmwareFailures = {
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

struct FAULT {
  Operation  Op; // Operation::Count: none.
  UINTN      Call;
  EFI_STATUS Status;
};

enum VARIABLE_AFTER { Untouched, NewValue, Deleted };

struct EXPECTED {
  EFI_STATUS                  Status;
  std::vector<std::u16string> Writes;
  VARIABLE_AFTER              Variable;
};

static std::string
Hex (EFI_STATUS Status)
{
  std::ostringstream Text;

  Text << "0x" << std::hex << Status;
  return Text.str ();
}

// What the run owes, worked out from the command line, the machine and the fault alone.
static EXPECTED
Expect (
    const SHAPE                       &Shape,
    int                                Shell,
    bool                               Present,
    const FAULT                       &Fault,
    const std::vector<std::u16string> &HelpScreen)
{
  auto Fails = [&] (Operation Op, UINTN Call) { return (Fault.Op == Op) && (Fault.Call == Call); };
  EXPECTED Result = { EFI_SUCCESS, {}, Untouched };

  // The parameters protocol is opened first, the shell interface only when that fails.
  bool FromNew = ((Shell & NewShell) != 0) && !Fails (Operation::OpenProtocol, 1);
  bool FromOld = !FromNew && ((Shell & OldShell) != 0) && !Fails (Operation::OpenProtocol, 2);

  if (!FromNew && !FromOld) {
    Result.Status = EFI_OUT_OF_RESOURCES;
    return Result;
  }

  switch (Shape.Action) {
  case Help:
    Result.Writes = HelpScreen;
    break;
  case Query: {
    EFI_STATUS Answer = Fails (Operation::AllocateZeroPool, 1) ? EFI_OUT_OF_RESOURCES
                        : Fails (Operation::GetVariable, 1)    ? Fault.Status
                        : Present                              ? EFI_BUFFER_TOO_SMALL
                                                               : EFI_NOT_FOUND;
    Result.Status     = (Answer == EFI_NOT_FOUND)          ? EFI_SUCCESS
                        : (Answer == EFI_BUFFER_TOO_SMALL) ? EFI_LOAD_ERROR
                                                           : Answer;
    break;
  }
  case Clear:
    Result.Status   = Fails (Operation::SetVariable, 1) ? Fault.Status
                      : Present                         ? EFI_SUCCESS
                                                        : EFI_NOT_FOUND;
    Result.Variable = (Result.Status == EFI_SUCCESS) ? Deleted : Untouched;
    break;
  case Set:
  case Reject:
    if (Fails (Operation::AllocateZeroPool, 1)) {
      Result.Status = EFI_OUT_OF_RESOURCES;
    } else if (Fails (Operation::LocateProtocol, 1)) {
      Result.Status = Fault.Status;
    } else if (Shape.Action == Reject) {
      Result.Status = EFI_INVALID_PARAMETER;
      Result.Writes = { u"ERROR: Invalid shell startup option: " + Shape.Text + u"\r\n" };
    } else if (Fails (Operation::SetVariable, 1)) {
      Result.Status = Fault.Status;
    } else {
      Result.Variable = NewValue;
    }
  }

  // A console that fails one write loses that line and nothing else.
  if ((Fault.Op == Operation::Print) && (Fault.Call <= Result.Writes.size ())) {
    Result.Writes.erase (Result.Writes.begin () + (Fault.Call - 1));
  }

  return Result;
}

class FaultSweepTest : public HostTest {
protected:
  const BYTES Earlier = Ucs2Bytes (u"-nonest");

  EFI_STATUS
  Run (const SHAPE &Shape, int Shell, bool Present, const FAULT &Fault)
  {
    std::vector<std::u16string> Words = { u"brisvane" };

    Words.insert (Words.end (), Shape.Words.begin (), Shape.Words.end ());
    Args.reset (new ArgumentVector (Words));
    Reset ();
    if (Present) {
      SeedVariable (u"Brisvane", ShellGuid (), 0x3, Earlier);
    }

    if ((Shell & NewShell) != 0) {
      InstallShellParameters (Args->Argc (), Args->Argv ());
    }

    if ((Shell & OldShell) != 0) {
      InstallShellInterface (Args->Argc (), Args->Argv ());
    }

    if (Fault.Op != Operation::Count) {
      FailCall (Fault.Op, Fault.Call, Fault.Status);
    }

    return ApplicationMain (ImageHandle (), NULL);
  }

  void
  Check (const SHAPE &Shape, bool Present, const FAULT &Fault, EFI_STATUS Status, EXPECTED Owed)
  {
    EXPECT_EQ (Status, Owed.Status);
    EXPECT_EQ (ConsoleWrites (), Owed.Writes);
    EXPECT_EQ (LiveBuffers (), 0u) << "pool buffer left behind";
    // The one open that a failing CloseProtocol leaves is the firmware's doing.
    EXPECT_LE (OpenProtocolEntries (), (Fault.Op == Operation::CloseProtocol) ? 1u : 0u);

    // Any write that was tried carried the whole new value, or was a deletion.
    for (const SET_VARIABLE_CALL &Call : SetVariableCalls ()) {
      EXPECT_EQ (Call.Name, u"Brisvane");
      EXPECT_EQ (Call.Guid, ShellGuid ());
      EXPECT_EQ (Call.Attributes, 0x3u);
      EXPECT_EQ (Call.Data, (Shape.Action == Clear) ? BYTES () : Ucs2Bytes (Shape.Text));
      EXPECT_EQ (Call.DataSize, Call.Data.size ());
    }

    bool Kept = (Owed.Variable == NewValue) || (Present && (Owed.Variable == Untouched));

    ASSERT_EQ (StartupVariable () != nullptr, Kept);
    if (Kept) {
      EXPECT_EQ (StartupVariable ()->Attributes, 0x3u);
      EXPECT_EQ (
          StartupVariable ()->Data, (Owed.Variable == NewValue) ? Ucs2Bytes (Shape.Text) : Earlier);
    }
  }

  std::unique_ptr<ArgumentVector> Args;
};

TEST_F (FaultSweepTest, EveryFirmwareFailureEndsCleanlyWithItsStatus)
{
  const FAULT                       NoFault    = { Operation::Count, 0, 0 };
  const std::vector<std::u16string> HelpScreen = (ShowUsage (), ConsoleWrites ());
  std::map<std::string, UINTN>      PerOperation;
  UINTN                             Combinations = 0;

  for (const SHAPE &Shape : Shapes) {
    for (int Shell : { NewShell, OldShell, BothShells }) {
      for (bool Present : { false, true }) {
        std::string Where = std::string (Shape.Name) + ", shell " + std::to_string (Shell) +
                            (Present ? ", variable present" : ", variable absent");
        SCOPED_TRACE (Where);
        EFI_STATUS Status = Run (Shape, Shell, Present, NoFault);

        Check (
            Shape, Present, NoFault, Status, Expect (Shape, Shell, Present, NoFault, HelpScreen));
        Combinations++;

        // Each call that the fault-free run reaches, failed in turn.
        UINTN Reached[static_cast<int> (Operation::Count)];
        for (const auto &Failures : FirmwareFailures) {
          Reached[static_cast<int> (Failures.first)] = CallCount (Failures.first);
        }

        for (const auto &Failures : FirmwareFailures) {
          for (UINTN Call = 1; Call <= Reached[static_cast<int> (Failures.first)]; Call++) {
            for (EFI_STATUS Failure : Failures.second) {
              const FAULT Fault = { Failures.first, Call, Failure };
              SCOPED_TRACE (
                  std::string (OperationName (Fault.Op)) + " call " + std::to_string (Call) +
                  " fails with " + Hex (Failure));

              Status = Run (Shape, Shell, Present, Fault);
              Check (
                  Shape, Present, Fault, Status, Expect (Shape, Shell, Present, Fault, HelpScreen));
              Combinations++;
              PerOperation[OperationName (Fault.Op)]++;
            }
          }
        }
      }
    }
  }

  Args.reset ();
  Reset ();
  std::cout << "fault sweep: " << Combinations << " combinations (";
  for (const auto &Failures : FirmwareFailures) {
    const char *Name = OperationName (Failures.first);

    EXPECT_GT (PerOperation[Name], 0u) << Name << " was never made to fail";
    std::cout << ((Failures.first == FirmwareFailures[0].first) ? "" : ", ") << Name << " "
              << PerOperation[Name];
  }

  std::cout << ")" << std::endl;
  RecordProperty ("Combinations", static_cast<int> (Combinations));
}

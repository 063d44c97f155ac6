/** @file
  Command dispatch: the outcome of every kind of command line, the help
  screen as the console shows it, and the answers of "-g" as the variable
  comes and goes.
**/

#include "HostTest.h"

#include "command/Command.h"

using namespace HostPlatform;

enum CONSOLE { Silent, Help, Rejection };

struct OUTCOME {
  const char                 *Name;
  std::vector<std::u16string> Words;
  bool                        Present;
  Operation                   FailingOp;
  EFI_STATUS                  Failure;
  EFI_STATUS                  Expected;
  CONSOLE                     Console;
  UINTN                       Gets;
  UINTN                       Sets;
  bool                        PresentAfter;
};

static void
PrintTo (const OUTCOME &Case, std::ostream *Stream)
{
  *Stream << Case.Name;
}

static const Operation None = Operation::Count;

static const OUTCOME Outcomes[] = {
  { "NoWord", {}, true, None, 0, EFI_SUCCESS, Help, 0, 0, true },
  { "UnknownWord", { u"-x" }, true, None, 0, EFI_SUCCESS, Help, 0, 0, true },
  { "SetAlone", { u"-s" }, false, None, 0, EFI_SUCCESS, Help, 0, 0, false },
  { "LongSetAlone", { u"--set" }, false, None, 0, EFI_SUCCESS, Help, 0, 0, false },
  { "UpperClear", { u"-C" }, true, None, 0, EFI_SUCCESS, Help, 0, 0, true },
  { "UpperQuery", { u"-G" }, true, None, 0, EFI_SUCCESS, Help, 0, 0, true },
  { "Clear", { u"-c" }, true, None, 0, EFI_SUCCESS, Silent, 0, 1, false },
  { "ClearMissing", { u"-c" }, false, None, 0, EFI_NOT_FOUND, Silent, 0, 1, false },
  { "ClearRefused",
    { u"-c" },
    true,
    Operation::SetVariable,
    EFI_WRITE_PROTECTED,
    EFI_WRITE_PROTECTED,
    Silent,
    0,
    1,
    true },
  { "QueryAbsent", { u"-g" }, false, None, 0, EFI_SUCCESS, Silent, 1, 0, false },
  { "QueryPresent", { u"-g" }, true, None, 0, EFI_LOAD_ERROR, Silent, 1, 0, true },
  { "QueryFails",
    { u"-g" },
    true,
    Operation::GetVariable,
    EFI_DEVICE_ERROR,
    EFI_DEVICE_ERROR,
    Silent,
    1,
    0,
    true },
  { "ClearWithWord", { u"-c", u"-nomap" }, true, None, 0, EFI_INVALID_PARAMETER, Help, 0, 0, true },
  { "QueryWithWord", { u"-g", u"x" }, true, None, 0, EFI_INVALID_PARAMETER, Help, 0, 0, true },
  { "UpperSet", { u"-S", u"-nomap" }, false, None, 0, EFI_INVALID_PARAMETER, Help, 0, 0, false },
  { "UnknownWithWord",
    { u"-x", u"-nomap" },
    false,
    None,
    0,
    EFI_INVALID_PARAMETER,
    Help,
    0,
    0,
    false },
  { "Set", { u"-s", u"-nomap" }, false, None, 0, EFI_SUCCESS, Silent, 0, 1, true },
  { "LongSet", { u"--set", u"-exit" }, true, None, 0, EFI_SUCCESS, Silent, 0, 1, true },
  { "SetRejected",
    { u"-s", u"-bogus" },
    false,
    None,
    0,
    EFI_INVALID_PARAMETER,
    Rejection,
    0,
    0,
    false },
  { "SetStoreFull",
    { u"-s", u"-nomap" },
    false,
    Operation::SetVariable,
    EFI_OUT_OF_RESOURCES,
    EFI_OUT_OF_RESOURCES,
    Silent,
    0,
    1,
    false },
};

class DispatchOutcomeTest : public HostTest, public ::testing::WithParamInterface<OUTCOME> {};

TEST_P (DispatchOutcomeTest, StatusConsoleAndVariable)
{
  const OUTCOME              &Case    = GetParam ();
  const BYTES                 Earlier = Ucs2Bytes (u"-nonest");
  std::vector<std::u16string> Words   = { u"brisvane" };

  Words.insert (Words.end (), Case.Words.begin (), Case.Words.end ());
  ArgumentVector Args (Words);

  if (Case.Present) {
    SeedVariable (u"Brisvane", ShellGuid (), 0x3, Earlier);
  }

  if (Case.FailingOp != None) {
    FailNextCall (Case.FailingOp, Case.Failure);
  }

  EXPECT_EQ (DispatchCommand (Args.Argc (), Args.Argv ()), Case.Expected);
  EXPECT_EQ (CallCount (Operation::GetVariable), Case.Gets);
  EXPECT_EQ (CallCount (Operation::SetVariable), Case.Sets);
  EXPECT_EQ (StartupVariable () != NULL, Case.PresentAfter);
  if (Case.Console == Silent) {
    EXPECT_EQ (ConsoleText (), u"");
  } else if (Case.Console == Rejection) {
    EXPECT_EQ (ConsoleText (), u"ERROR: Invalid shell startup option: -bogus\r\n");
  } else {
    EXPECT_EQ (ConsoleWrites ().size (), 9u) << "the help screen";
  }

  if (Case.Present && Case.PresentAfter && (Case.Sets == 0)) {
    EXPECT_EQ (StartupVariable ()->Data, Earlier);
  }
}

INSTANTIATE_TEST_SUITE_P (
    Outcomes,
    DispatchOutcomeTest,
    ::testing::ValuesIn (Outcomes),
    [] (const ::testing::TestParamInfo<OUTCOME> &Info) { return std::string (Info.param.Name); });

class DispatchTest : public HostTest {};

TEST_F (DispatchTest, HelpScreenReachesTheConsoleAsNineCrLfLines)
{
  const std::u16string Expected =
      u"\r\n"
      u"Version: 0.0.1\r\n" +
      std::u16string (64, u'-') + u"\r\n" +
      u"Usage: brisvane -s [-nomap] [-nostartup | -startup] [-noversion]\r\n" +
      std::u16string (19, u' ') + u"[-noconsolein] [-noconsoleout] [-nointerrupt]\r\n" +
      std::u16string (19, u' ') + u"[-nonest] [-exit] [-delay[:n]]\r\n" + std::u16string (7, u' ') +
      u"brisvane -c : clear Brisvane\r\n" + std::u16string (7, u' ') +
      u"brisvane -g : lasterror = 0x0 : Brisvane is not install.\r\n" + std::u16string (21, u' ') +
      u"lasterror = 0x1 : Brisvane is install.\r\n";

  ShowUsage ();
  EXPECT_EQ (ConsoleText (), Expected);
  ASSERT_EQ (ConsoleWrites ().size (), 9u);
  for (const std::u16string &Line : ConsoleWrites ()) {
    EXPECT_EQ (Line.find (u"\r\n"), Line.size () - 2) << "one line per Print";
  }
}

TEST_F (DispatchTest, QueryFollowsTheVariableThroughSetRejectionAndClear)
{
  ArgumentVector Query ({ u"brisvane", u"-g" });
  ArgumentVector Clear ({ u"brisvane", u"-c" });
  ArgumentVector Set ({ u"brisvane", u"-s", u"-nomap" });
  ArgumentVector Rejected ({ u"brisvane", u"-s", u"-nomap", u"-bogus" });

  EXPECT_EQ (DispatchCommand (Rejected.Argc (), Rejected.Argv ()), EFI_INVALID_PARAMETER);
  EXPECT_EQ (DispatchCommand (Query.Argc (), Query.Argv ()), EFI_SUCCESS);
  EXPECT_EQ (DispatchCommand (Set.Argc (), Set.Argv ()), EFI_SUCCESS);
  EXPECT_EQ (DispatchCommand (Query.Argc (), Query.Argv ()), EFI_LOAD_ERROR);
  EXPECT_EQ (DispatchCommand (Rejected.Argc (), Rejected.Argv ()), EFI_INVALID_PARAMETER);
  EXPECT_EQ (DispatchCommand (Query.Argc (), Query.Argv ()), EFI_LOAD_ERROR);
  EXPECT_EQ (DispatchCommand (Clear.Argc (), Clear.Argv ()), EFI_SUCCESS);
  EXPECT_EQ (DispatchCommand (Query.Argc (), Query.Argv ()), EFI_SUCCESS);
  EXPECT_EQ (DispatchCommand (Clear.Argc (), Clear.Argv ()), EFI_NOT_FOUND);
}

TEST_F (DispatchTest, ModeWordIsNeverLowered)
{
  ArgumentVector Args ({ u"brisvane", u"-S", u"-NoMap" });

  EXPECT_EQ (DispatchCommand (Args.Argc (), Args.Argv ()), EFI_INVALID_PARAMETER);
  EXPECT_EQ (Args[1], u"-S");
  EXPECT_EQ (Args[2], u"-NoMap");
}

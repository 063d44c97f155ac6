/** @file
  Command dispatch: the outcome of every kind of command line, the help
  screen as the console shows it (the one copy of it among the tests), and
  the answers of "-g" as the variable comes and goes.
**/

#include "HostTest.h"

#include "command/Command.h"

using namespace HostPlatform;

struct OUTCOME {
  const char                 *Name;
  std::vector<std::u16string> Words;
  bool                        Present;
  Operation                   FailingOp;
  EFI_STATUS                  Failure;
  EFI_STATUS                  Expected;
};

static void
PrintTo (const OUTCOME &Case, std::ostream *Stream)
{
  *Stream << Case.Name;
}

static const Operation None = Operation::Count;

// The status of each is stated here; the console, the variable and the words are the model's.
static const OUTCOME Outcomes[] = {
  { "NoWord", {}, true, None, 0, EFI_SUCCESS },
  { "UnknownWord", { u"-x" }, true, None, 0, EFI_SUCCESS },
  { "SetAlone", { u"-s" }, false, None, 0, EFI_SUCCESS },
  { "LongSetAlone", { u"--set" }, false, None, 0, EFI_SUCCESS },
  { "UpperClear", { u"-C" }, true, None, 0, EFI_SUCCESS },
  { "UpperQuery", { u"-G" }, true, None, 0, EFI_SUCCESS },
  { "Clear", { u"-c" }, true, None, 0, EFI_SUCCESS },
  { "ClearMissing", { u"-c" }, false, None, 0, EFI_NOT_FOUND },
  { "ClearRefused",
    { u"-c" },
    true,
    Operation::SetVariable,
    EFI_WRITE_PROTECTED,
    EFI_WRITE_PROTECTED },
  { "QueryAbsent", { u"-g" }, false, None, 0, EFI_SUCCESS },
  { "QueryPresent", { u"-g" }, true, None, 0, EFI_LOAD_ERROR },
  { "QueryFails", { u"-g" }, true, Operation::GetVariable, EFI_DEVICE_ERROR, EFI_DEVICE_ERROR },
  { "ClearWithWord", { u"-c", u"-nomap" }, true, None, 0, EFI_INVALID_PARAMETER },
  { "QueryWithWord", { u"-g", u"x" }, true, None, 0, EFI_INVALID_PARAMETER },
  // The mode word is never lowered, nor the words after it.
  { "UpperSet", { u"-S", u"-NoMap" }, false, None, 0, EFI_INVALID_PARAMETER },
  { "UnknownWithWord", { u"-x", u"-nomap" }, false, None, 0, EFI_INVALID_PARAMETER },
  { "Set", { u"-s", u"-nomap" }, false, None, 0, EFI_SUCCESS },
  { "LongSet", { u"--set", u"-exit" }, true, None, 0, EFI_SUCCESS },
  { "SetRejected", { u"-s", u"-bogus" }, false, None, 0, EFI_INVALID_PARAMETER },
  { "SetStoreFull",
    { u"-s", u"-nomap" },
    false,
    Operation::SetVariable,
    EFI_OUT_OF_RESOURCES,
    EFI_OUT_OF_RESOURCES },
};

class DispatchOutcomeTest : public HostTest, public ::testing::WithParamInterface<OUTCOME> {};

TEST_P (DispatchOutcomeTest, StatusConsoleAndVariable)
{
  const OUTCOME              &Case   = GetParam ();
  std::vector<std::u16string> Words  = { u"brisvane" };
  EFI_STATUS                  Status = 0;

  Words.insert (Words.end (), Case.Words.begin (), Case.Words.end ());
  EXPECT_EQ (
      RunCommandLine (
          Words, { DirectDispatch, Case.Present, Case.FailingOp, 1, Case.Failure }, &Status),
      "");
  EXPECT_EQ (Status, Case.Expected);

  // What is neither a clear nor a set writes nothing: tools open the store for reading alone then.
  ArgumentVector Line (Words);
  if (!CommandChangesVariable (Line.Argc (), Line.Argv ())) {
    EXPECT_EQ (CallCount (Operation::SetVariable), 0u);
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
      u"Version: " BRISVANE_VERSION_TEXT "\r\n" +
      std::u16string (64, u'-') + u"\r\n" +
      u"Usage: brisvane -s [-nomap] [-nostartup | -startup] [-noversion]\r\n" +
      std::u16string (19, u' ') + u"[-noconsolein] [-noconsoleout] [-nointerrupt]\r\n" +
      std::u16string (19, u' ') + u"[-nonest] [-exit] [-delay[:n]]\r\n" + std::u16string (7, u' ') +
      u"brisvane -c : clear Brisvane\r\n" + std::u16string (7, u' ') +
      u"brisvane -g : lasterror = 0x0 : Brisvane is not install.\r\n" + std::u16string (21, u' ') +
      u"lasterror = 0x1 : Brisvane is install.\r\n";

  ShowUsage ();
  EXPECT_EQ (ConsoleText (), Expected);
  ASSERT_EQ (Records ().ConsoleWrites.size (), 9u);
  for (const std::u16string &Line : Records ().ConsoleWrites) {
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

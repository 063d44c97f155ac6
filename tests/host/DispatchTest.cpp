/** @file
  Command dispatch: the outcome of every kind of command line from the
  image's entry, within the command model's bounds on firmware calls, and
  the help screen as the console shows it (the one copy of it among the
  tests).
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

// "-s" and 150 times "-NoMap -delay 12": each of the 450 words lowered at most once.
static std::vector<std::u16string>
ManyWords (VOID)
{
  std::vector<std::u16string> Words = { u"-s" };

  for (int Index = 0; Index < 150; Index++) {
    Words.insert (Words.end (), { u"-NoMap", u"-delay", u"12" });
  }

  return Words;
}

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
  { "RejectedOverValue", { u"-s", u"-nomap", u"-bogus" }, true, None, 0, EFI_INVALID_PARAMETER },
  { "SetOf450Words", ManyWords (), true, None, 0, EFI_SUCCESS },
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
      RunCommandLine (Words, { NewShell, Case.Present, Case.FailingOp, 1, Case.Failure }, &Status),
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

// One Print a line: firmware's Print cuts its text at 320 characters.
TEST_F (DispatchTest, HelpScreenReachesTheConsoleAsNineCrLfLines)
{
  const std::u16string              Usage (19, u' ');
  const std::u16string              Other (7, u' ');
  const std::vector<std::u16string> Expected = {
    u"\r\n",
    u"Version: " BRISVANE_VERSION_TEXT "\r\n",
    std::u16string (64, u'-') + u"\r\n",
    u"Usage: brisvane -s [-nomap] [-nostartup | -startup] [-noversion]\r\n",
    Usage + u"[-noconsolein] [-noconsoleout] [-nointerrupt]\r\n",
    Usage + u"[-nonest] [-exit] [-delay[:n]]\r\n",
    Other + u"brisvane -c : clear Brisvane\r\n",
    Other + u"brisvane -g : lasterror = 0x0 : Brisvane is not install.\r\n",
    std::u16string (21, u' ') + u"lasterror = 0x1 : Brisvane is install.\r\n",
  };

  ShowUsage ();
  EXPECT_EQ (Records ().ConsoleWrites, Expected);
}

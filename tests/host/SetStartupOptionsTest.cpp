/** @file
  The set action: which words are accepted and how they are stored, which
  are rejected and what a rejection leaves behind, and vectors at the edges
  of length. (The fault sweep shows what a failing allocation, collation or
  write does.)
**/

#include "HostTest.h"

#include "command/Command.h"

using namespace HostPlatform;

class SetStartupOptionsTest : public HostTest {
protected:
  const MACHINE Direct = { DirectDispatch, true, Operation::Count, 0, 0 };

  static std::vector<std::u16string>
  CommandLine (const std::vector<std::u16string> &Options)
  {
    std::vector<std::u16string> Words = { u"brisvane", u"-s" };

    Words.insert (Words.end (), Options.begin (), Options.end ());
    return Words;
  }
};

struct ACCEPTED {
  std::vector<std::u16string> Options;
  std::u16string              Stored;
};

// Lower-casing every word but a delay operand gives the stored words, in place.
TEST_F (SetStartupOptionsTest, AcceptedWordsAreLoweredInPlaceAndJoined)
{
  const ACCEPTED Cases[] = {
    { { u"-NoMap", u"-DELAY", u"3", u"-Exit" }, u"-nomap -delay 3 -exit" },
    { { u"-nomap", u"-nomap" }, u"-nomap -nomap" },
    { { u"-nostartup", u"-startup" }, u"-nostartup -startup" },
    { { u"-delay", u"5" }, u"-delay 5" },
    { { u"-delay", u"5", u"-exit" }, u"-delay 5 -exit" },
    { { u"-exit", u"-delay" }, u"-exit -delay" },
    { { u"-delay", u"-exit" }, u"-delay -exit" },
    { { u"-delay", u"007" }, u"-delay 007" },
    { { u"-delay", u"", u"-exit" }, u"-delay  -exit" },
    { { u"-delay", u"" }, u"-delay " },
    { { u"-delay", u"-delay", u"1209" }, u"-delay -delay 1209" },
    { { u"-NOVERSION", u"-NoConsoleIn", u"-noConsoleOut", u"-NoInterrupt", u"-NoNest" },
      u"-noversion -noconsolein -noconsoleout -nointerrupt -nonest" },
  };

  // The command model checks the status, the silent console and the words lowered in place.
  for (const ACCEPTED &Case : Cases) {
    SCOPED_TRACE (std::string (Case.Stored.begin (), Case.Stored.end ()));
    EXPECT_EQ (RunCommandLine (CommandLine (Case.Options), Direct), "");
    ASSERT_NE (StartupVariable (), nullptr);
    EXPECT_EQ (StartupVariable ()->Data, Ucs2Bytes (Case.Stored));
  }
}

struct REJECTED {
  std::vector<std::u16string> Options;
  std::u16string              Shown;
};

TEST_F (SetStartupOptionsTest, RejectionPrintsTheLoweredWordAndWritesNothing)
{
  const REJECTED Cases[] = {
    { { u"-BOGUS" }, u"-bogus" },        { { u"-NoMap", u"-Bad", u"-EXIT" }, u"-bad" },
    { { u"-delay:5" }, u"-delay:5" },    { { u"-nomap", u"3" }, u"3" },
    { { u"-delay", u"5", u"6" }, u"6" }, { { u"-delay", u"X" }, u"x" },
    { { u"-delay", u"5A" }, u"5a" },     { { u"-delay", u"9:" }, u"9:" },
    { { u"-delay", u"/0" }, u"/0" },     { { u"" }, u"" },
    { { u"nomap" }, u"nomap" },          { { u"-nomap " }, u"-nomap " },
  };

  // The command model checks the status, that nothing is written and that no later word is touched.
  for (const REJECTED &Case : Cases) {
    SCOPED_TRACE (std::string (Case.Shown.begin (), Case.Shown.end ()));
    EXPECT_EQ (RunCommandLine (CommandLine (Case.Options), Direct), "");
    EXPECT_EQ (ConsoleText (), u"ERROR: Invalid shell startup option: " + Case.Shown + u"\r\n");
  }
}

TEST_F (SetStartupOptionsTest, ErrorLineIsCutAt320Characters)
{
  ArgumentVector Args (CommandLine ({ u"-" + std::u16string (399, u'x') }));

  EXPECT_EQ (DispatchCommand (Args.Argc (), Args.Argv ()), EFI_INVALID_PARAMETER);
  EXPECT_EQ (
      ConsoleText (),
      (u"ERROR: Invalid shell startup option: -" + std::u16string (399, u'x')).substr (0, 320));
}

// One example from end to end, down to the bytes it writes and the buffer it sizes for them.
TEST_F (SetStartupOptionsTest, StoresExactBytes)
{
  ArgumentVector Args (CommandLine ({ u"-NoMap", u"-delay", u"3", u"-exit" }));

  ASSERT_EQ (DispatchCommand (Args.Argc (), Args.Argv ()), EFI_SUCCESS);
  ASSERT_FALSE (Records ().SetVariableCalls.empty ());
  const SET_VARIABLE_CALL &Call = Records ().SetVariableCalls[0];

  EXPECT_EQ (Call.DataSize, 44u);
  EXPECT_EQ (Call.Data, Ucs2Bytes (u"-nomap -delay 3 -exit"));
  EXPECT_EQ (
      BYTES (Call.Data.begin (), Call.Data.begin () + 4), (BYTES { 0x2D, 0x00, 0x6E, 0x00 }));
  EXPECT_EQ (Records ().AllocationSizes[0], 44u);
}

// Counters narrower than UINTN would wrap at 256 or 512 words and hang or overrun.
TEST_F (SetStartupOptionsTest, VectorsBeyond255WordsAreStoredWhole)
{
  for (UINTN Options : { 253, 254, 300, 520 }) {
    SCOPED_TRACE (Options);
    std::u16string Stored = u"-nomap";
    for (UINTN Index = 1; Index < Options; Index++) {
      Stored += u" -nomap";
    }

    EXPECT_EQ (
        RunCommandLine (CommandLine (std::vector<std::u16string> (Options, u"-NOMAP")), Direct),
        "");
    ASSERT_NE (StartupVariable (), nullptr);
    EXPECT_EQ (StartupVariable ()->Data, Ucs2Bytes (Stored));
  }
}

TEST_F (SetStartupOptionsTest, RejectionBeyondWord255IsStillSeen)
{
  std::vector<std::u16string> Options (300, u"-nomap");

  Options.back () = u"-bogus";
  EXPECT_EQ (RunCommandLine (CommandLine (Options), Direct), "");
  EXPECT_EQ (ConsoleText (), u"ERROR: Invalid shell startup option: -bogus\r\n");
}

// StrCat takes strings of at most 1,000,000 characters with the NUL; one more is refused whole.
// The variable store then refuses the longest string that fits, as firmware would.
TEST_F (SetStartupOptionsTest, OptionsPastTheLongestStringAreRefusedBeforeAnyCall)
{
  const UINTN Operand = 1000000 - sizeof ("-delay ");

  for (UINTN Digits : { Operand, Operand + 1 }) {
    SCOPED_TRACE (Digits);
    Reset ();
    ArgumentVector Args (CommandLine ({ u"-Delay", std::u16string (Digits, u'7') }));
    const bool     Fits = (Digits == Operand);

    EXPECT_EQ (
        DispatchCommand (Args.Argc (), Args.Argv ()),
        Fits ? EFI_INVALID_PARAMETER : EFI_OUT_OF_RESOURCES);
    EXPECT_EQ (Records ().AllocationSizes.empty (), !Fits);
    EXPECT_EQ (ConsoleText (), u"");
    ASSERT_EQ (Records ().SetVariableCalls.empty (), !Fits);
    if (Fits) {
      EXPECT_EQ (Records ().SetVariableCalls[0].Data.size (), 2u * 1000000);
      EXPECT_EQ (Records ().SetVariableCalls[0].Status, EFI_INVALID_PARAMETER);
    }
  }
}

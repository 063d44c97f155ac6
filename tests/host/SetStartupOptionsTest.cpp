/** @file
  The set action: which words are accepted and how they are stored, which
  are rejected and what a rejection leaves behind, and what a failing
  allocation, collation or write does.
**/

#include "HostTest.h"

#include "command/Command.h"

using namespace HostPlatform;

class SetStartupOptionsTest : public HostTest {
protected:
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

  for (const ACCEPTED &Case : Cases) {
    SCOPED_TRACE (std::string (Case.Stored.begin (), Case.Stored.end ()));
    Reset ();
    ArgumentVector Args (CommandLine (Case.Options));

    ASSERT_EQ (DispatchCommand (Args.Argc (), Args.Argv ()), EFI_SUCCESS);
    ASSERT_NE (StartupVariable (), nullptr);
    EXPECT_EQ (StartupVariable ()->Data, Ucs2Bytes (Case.Stored));
    EXPECT_EQ (StartupVariable ()->Attributes, 0x3u);
    EXPECT_EQ (ConsoleText (), u"");
    std::u16string Joined;
    for (UINTN Index = 2; Index < Args.Argc (); Index++) {
      Joined += Args[Index] + ((Index + 1 < Args.Argc ()) ? u" " : u"");
    }

    EXPECT_EQ (Joined, Case.Stored) << "the caller's words, lowered in place";
    EXPECT_EQ (LiveBuffers (), 0u);
  }
}

struct REJECTED {
  std::vector<std::u16string> Options;
  UINTN                       Rejected;
  std::u16string              Shown;
};

TEST_F (SetStartupOptionsTest, RejectionPrintsTheLoweredWordAndWritesNothing)
{
  const REJECTED Cases[] = {
    { { u"-BOGUS" }, 0, u"-bogus" },        { { u"-NoMap", u"-Bad", u"-EXIT" }, 1, u"-bad" },
    { { u"-delay:5" }, 0, u"-delay:5" },    { { u"-nomap", u"3" }, 1, u"3" },
    { { u"-delay", u"5", u"6" }, 2, u"6" }, { { u"-delay", u"X" }, 1, u"x" },
    { { u"-delay", u"5A" }, 1, u"5a" },     { { u"-delay", u"9:" }, 1, u"9:" },
    { { u"-delay", u"/0" }, 1, u"/0" },     { { u"" }, 0, u"" },
    { { u"nomap" }, 0, u"nomap" },          { { u"-nomap " }, 0, u"-nomap " },
  };
  const BYTES Earlier = Ucs2Bytes (u"-nonest");

  for (const REJECTED &Case : Cases) {
    SCOPED_TRACE (std::string (Case.Shown.begin (), Case.Shown.end ()));
    Reset ();
    SeedVariable (u"Brisvane", ShellGuid (), 0x3, Earlier);
    ArgumentVector Args (CommandLine (Case.Options));

    EXPECT_EQ (DispatchCommand (Args.Argc (), Args.Argv ()), EFI_INVALID_PARAMETER);
    EXPECT_EQ (ConsoleText (), u"ERROR: Invalid shell startup option: " + Case.Shown + u"\r\n");
    EXPECT_TRUE (SetVariableCalls ().empty ());
    EXPECT_EQ (StartupVariable ()->Data, Earlier);
    EXPECT_EQ (LiveBuffers (), 0u);
    for (UINTN Index = Case.Rejected + 1; Index < Case.Options.size (); Index++) {
      EXPECT_EQ (Args[Index + 2], Case.Options[Index])
          << "a word after the rejected one was touched";
    }
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
  ASSERT_FALSE (SetVariableCalls ().empty ());
  const SET_VARIABLE_CALL &Call = SetVariableCalls ()[0];

  EXPECT_EQ (Call.DataSize, 44u);
  EXPECT_EQ (Call.Data, Ucs2Bytes (u"-nomap -delay 3 -exit"));
  EXPECT_EQ (
      BYTES (Call.Data.begin (), Call.Data.begin () + 4), (BYTES { 0x2D, 0x00, 0x6E, 0x00 }));
  EXPECT_EQ (AllocationSizes ()[0], 44u);
}

// Counters narrower than UINTN would wrap at 256 or 512 words and hang or overrun.
TEST_F (SetStartupOptionsTest, VectorsBeyond255WordsAreStoredWhole)
{
  for (UINTN Options : { 253, 254, 300, 520 }) {
    SCOPED_TRACE (Options);
    Reset ();
    std::u16string Stored = u"-nomap";
    for (UINTN Index = 1; Index < Options; Index++) {
      Stored += u" -nomap";
    }

    ArgumentVector Args (CommandLine (std::vector<std::u16string> (Options, u"-NOMAP")));

    EXPECT_EQ (DispatchCommand (Args.Argc (), Args.Argv ()), EFI_SUCCESS);
    ASSERT_NE (StartupVariable (), nullptr);
    EXPECT_EQ (StartupVariable ()->Data, Ucs2Bytes (Stored));
    EXPECT_EQ (Args[Args.Argc () - 1], u"-nomap");
  }
}

TEST_F (SetStartupOptionsTest, RejectionBeyondWord255IsStillSeen)
{
  std::vector<std::u16string> Options (300, u"-nomap");

  Options.back () = u"-bogus";
  ArgumentVector Args (CommandLine (Options));

  EXPECT_EQ (DispatchCommand (Args.Argc (), Args.Argv ()), EFI_INVALID_PARAMETER);
  EXPECT_EQ (ConsoleText (), u"ERROR: Invalid shell startup option: -bogus\r\n");
  EXPECT_EQ (StartupVariable (), nullptr);
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
    EXPECT_EQ (AllocationSizes ().empty (), !Fits);
    EXPECT_EQ (ConsoleText (), u"");
    ASSERT_EQ (SetVariableCalls ().empty (), !Fits);
    if (Fits) {
      EXPECT_EQ (SetVariableCalls ()[0].Data.size (), 2u * 1000000);
      EXPECT_EQ (SetVariableCalls ()[0].Status, EFI_INVALID_PARAMETER);
    }
  }
}

// Neither the buffer nor the collation: nothing lowered, nothing written, nothing kept.
TEST_F (SetStartupOptionsTest, MissingBufferOrCollationStopsBeforeAnyWord)
{
  struct {
    void (*Break) ();
    EFI_STATUS Expected;
  } const Cases[] = {
    { [] { FailNextCall (Operation::AllocateZeroPool, EFI_OUT_OF_RESOURCES); },
      EFI_OUT_OF_RESOURCES },
    { [] { FailNextCall (Operation::LocateProtocol, EFI_NOT_FOUND); }, EFI_NOT_FOUND },
    { [] { FailNextCall (Operation::LocateProtocol, EFI_DEVICE_ERROR); }, EFI_DEVICE_ERROR },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Expected);
    Reset ();
    Case.Break ();
    ArgumentVector Args (CommandLine ({ u"-NoMap" }));

    EXPECT_EQ (DispatchCommand (Args.Argc (), Args.Argv ()), Case.Expected);
    EXPECT_TRUE (SetVariableCalls ().empty ());
    EXPECT_EQ (ConsoleText (), u"");
    EXPECT_EQ (Args[2], u"-NoMap");
    EXPECT_EQ (LiveBuffers (), 0u);
  }
}

TEST_F (SetStartupOptionsTest, RefusedWriteKeepsTheEarlierValueAndItsStatus)
{
  const BYTES Earlier = Ucs2Bytes (u"-nonest");

  for (EFI_STATUS Refusal : { EFI_OUT_OF_RESOURCES, EFI_WRITE_PROTECTED, EFI_DEVICE_ERROR }) {
    SCOPED_TRACE (Refusal);
    Reset ();
    SeedVariable (u"Brisvane", ShellGuid (), 0x3, Earlier);
    FailNextCall (Operation::SetVariable, Refusal);
    ArgumentVector Args (CommandLine ({ u"-nomap" }));

    EXPECT_EQ (DispatchCommand (Args.Argc (), Args.Argv ()), Refusal);
    EXPECT_EQ (StartupVariable ()->Data, Earlier);
    EXPECT_EQ (LiveBuffers (), 0u);
  }
}

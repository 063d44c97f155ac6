/** @file
  The argument vector from the shell protocols: which one wins, how each is
  opened and closed, and what the run does without either. (The fault sweep
  runs every kind of command line through each protocol.)
**/

#include "HostTest.h"

#include "app/ApplicationMain.h"
#include "app/ShellArguments.h"

using namespace HostPlatform;

struct PROTOCOL_CASE {
  const char *Name;
  SHELLS      Installed;
  EFI_STATUS  Expected;
  bool        PresentAfter;
};

static void
PrintTo (const PROTOCOL_CASE &Case, std::ostream *Stream)
{
  *Stream << Case.Name;
}

// The new protocol carries "-g" and the old one "-c", so the outcome tells which was read.
static const PROTOCOL_CASE ProtocolCases[] = {
  { "Neither", NoShell, EFI_OUT_OF_RESOURCES, true },
  { "OldOnly", OldShell, EFI_SUCCESS, false },
  { "NewOnly", NewShell, EFI_LOAD_ERROR, true },
  { "NewWins", BothShells, EFI_LOAD_ERROR, true },
};

class ShellArgumentsTest : public HostTest, public ::testing::WithParamInterface<PROTOCOL_CASE> {
protected:
  ArgumentVector NewArgs { u"brisvane", u"-g" };
  ArgumentVector OldArgs { u"brisvane", u"-c" };

  void
  SetUp (VOID) override
  {
    HostTest::SetUp ();
    SeedVariable (u"Brisvane", ShellGuid (), 0x3, Ucs2Bytes (u"-nomap"));
    if ((GetParam ().Installed & NewShell) != 0) {
      InstallShellParameters (NewArgs.Argc (), NewArgs.Argv ());
    }

    if ((GetParam ().Installed & OldShell) != 0) {
      InstallShellInterface (OldArgs.Argc (), OldArgs.Argv ());
    }
  }

  // Every open is by the image itself, and undone the same way; the double takes reading opens
  // alone.
  static void
  ExpectOpensUndone (VOID)
  {
    const std::vector<PROTOCOL_CALL> &Calls = Records ().ProtocolCalls;

    for (UINTN Index = 0; Index < Calls.size (); Index++) {
      EXPECT_EQ (Calls[Index].Handle, ImageHandle ());
      EXPECT_EQ (Calls[Index].AgentHandle, ImageHandle ());
      EXPECT_EQ (Calls[Index].ControllerHandle, nullptr);

      if (Calls[Index].IsOpen && !EFI_ERROR (Calls[Index].Status)) {
        ASSERT_LT (Index + 1, Calls.size ());
        EXPECT_FALSE (Calls[Index + 1].IsOpen);
        EXPECT_EQ (Calls[Index + 1].Guid, Calls[Index].Guid);
        EXPECT_EQ (Calls[Index + 1].Status, EFI_SUCCESS);
      }
    }
  }
};

TEST_P (ShellArgumentsTest, ParametersProtocolFirstThenShellInterface)
{
  UINTN       Argc   = 0;
  UCS2_CHAR **Argv   = NULL;
  EFI_STATUS  Status = GetShellArguments (ImageHandle (), &Argc, &Argv);

  ExpectOpensUndone ();
  switch (GetParam ().Installed) {
  case NoShell:
    EXPECT_TRUE (EFI_ERROR (Status));
    break;
  case OldShell:
    EXPECT_EQ (Status, EFI_SUCCESS);
    EXPECT_EQ (Argv, OldArgs.Argv ());
    EXPECT_EQ (Argc, OldArgs.Argc ());
    break;
  default:
    EXPECT_EQ (Status, EFI_SUCCESS);
    EXPECT_EQ (Argv, NewArgs.Argv ());
    EXPECT_EQ (Argc, NewArgs.Argc ());
  }
}

TEST_P (ShellArgumentsTest, ApplicationMainRunsTheVectorItFinds)
{
  EXPECT_EQ (ApplicationMain (ImageHandle (), NULL), GetParam ().Expected);
  EXPECT_EQ (StartupVariable () != NULL, GetParam ().PresentAfter);
  EXPECT_EQ (ConsoleText (), u"");
  ExpectOpensUndone ();
}

INSTANTIATE_TEST_SUITE_P (
    Shells,
    ShellArgumentsTest,
    ::testing::ValuesIn (ProtocolCases),
    [] (const ::testing::TestParamInfo<PROTOCOL_CASE> &Info) {
      return std::string (Info.param.Name);
    });

/** @file
  A libFuzzer target: any argument vector, carried out by DispatchCommand
  and by ApplicationMain on the host platform, perhaps with one firmware call
  failing, and checked against what a command line may do whatever it holds.

  The input is a header of six bytes and then UCS-2 code units, little-endian,
  which every NUL code unit splits into words (so empty words come from two
  NULs in a row):

    byte 0     bits 0-1: the shell protocols on the image for ApplicationMain
               (0 the parameters protocol, 1 the shell interface, 2 both,
               3 neither); bit 2: an earlier value is stored; bit 3: one call
               fails, as bytes 3 to 5 say.
    bytes 1-2  Argc, little-endian, at most 1023. Words past those given
               repeat the given ones from Argv[2] on (or the last one), so a
               short input makes a long vector.
    byte 3     the operation that fails; byte 4 its call number, 1 to 4;
               byte 5 the status it gives.
**/

#include "HostTest.h"

#include "app/ApplicationMain.h"
#include "command/Command.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

using namespace HostPlatform;

#define CHECK(Condition)                                                                           \
  do {                                                                                             \
    if (!(Condition)) {                                                                            \
      fprintf (stderr, "invariant broken (line %d, %s): %s\n", __LINE__, Phase, #Condition);       \
      abort ();                                                                                    \
    }                                                                                              \
  } while (0)

static const char *Phase = "";

static const UINTN MaximumArgc = 1023;

// Keeps one execution short: the joining appends cost the square of the length.
static const UINTN MaximumCodeUnits = 1 << 15;

static const Operation FailingOperations[] = {
  Operation::OpenProtocol,   Operation::CloseProtocol,
  Operation::LocateProtocol, Operation::AllocateZeroPool,
  Operation::GetVariable,    Operation::SetVariable,
  Operation::Print,
};

static const EFI_STATUS FailureStatuses[] = {
  EFI_OUT_OF_RESOURCES, EFI_NOT_FOUND,          EFI_DEVICE_ERROR,
  EFI_WRITE_PROTECTED,  EFI_SECURITY_VIOLATION, EFI_INVALID_PARAMETER,
  EFI_BUFFER_TOO_SMALL, EFI_UNSUPPORTED,        EFI_ACCESS_DENIED,
};

static const std::u16string Options[] = {
  u"-nomap",        u"-nostartup",   u"-startup", u"-noversion", u"-noconsolein",
  u"-noconsoleout", u"-nointerrupt", u"-nonest",  u"-exit",      u"-delay",
};

static const std::u16string ErrorPrefix = u"ERROR: Invalid shell startup option: ";

static const std::vector<std::u16string> HelpScreen = {
  u"\r\n",
  u"Version: 0.0.1\r\n",
  std::u16string (64, u'-') + u"\r\n",
  u"Usage: brisvane -s [-nomap] [-nostartup | -startup] [-noversion]\r\n",
  std::u16string (19, u' ') + u"[-noconsolein] [-noconsoleout] [-nointerrupt]\r\n",
  std::u16string (19, u' ') + u"[-nonest] [-exit] [-delay[:n]]\r\n",
  std::u16string (7, u' ') + u"brisvane -c : clear Brisvane\r\n",
  std::u16string (7, u' ') + u"brisvane -g : lasterror = 0x0 : Brisvane is not install.\r\n",
  std::u16string (21, u' ') + u"lasterror = 0x1 : Brisvane is install.\r\n",
};

struct INPUT {
  std::vector<std::u16string> Words;
  int                         Shell; // Bit 0: the parameters protocol, bit 1: the shell interface.
  bool                        Present;
  bool                        Faulty;
  Operation                   FaultOp;
  UINTN                       FaultCall;
  EFI_STATUS                  FaultStatus;
};

static INPUT
Decode (const uint8_t *Data, size_t Size)
{
  static const int Shells[]  = { 1, 2, 3, 0 };
  uint8_t          Header[6] = {};
  INPUT            Input;

  memcpy (Header, Data, (Size < sizeof (Header)) ? Size : sizeof (Header));
  Data += (Size < sizeof (Header)) ? Size : sizeof (Header);
  Size -= (Size < sizeof (Header)) ? Size : sizeof (Header);

  Input.Shell   = Shells[Header[0] & 3];
  Input.Present = (Header[0] & 4) != 0;
  Input.Faulty  = (Header[0] & 8) != 0;
  Input.FaultOp = FailingOperations[Header[3] % (sizeof (FailingOperations) / sizeof (Operation))];
  Input.FaultCall   = 1 + Header[4] % 4;
  Input.FaultStatus = FailureStatuses[Header[5] % (sizeof (FailureStatuses) / sizeof (EFI_STATUS))];

  std::vector<std::u16string> Given (1);
  for (size_t Index = 0; Index + 1 < Size; Index += 2) {
    UCS2_CHAR Unit = static_cast<UCS2_CHAR> (Data[Index] | (Data[Index + 1] << 8));

    if (Unit == 0) {
      Given.emplace_back ();
    } else {
      Given.back () += Unit;
    }
  }

  UINTN Argc     = (Header[1] | (Header[2] << 8)) % (MaximumArgc + 1);
  UINTN Repeated = (Given.size () > 2) ? 2 : Given.size () - 1;
  UINTN Units    = 0;

  for (UINTN Index = 0; Index < Argc; Index++) {
    const std::u16string &Word =
        (Index < Given.size ())
            ? Given[Index]
            : Given[Repeated + (Index - Given.size ()) % (Given.size () - Repeated)];

    Units += Word.size () + 1;
    if (Units > MaximumCodeUnits) {
      break;
    }

    Input.Words.push_back (Word);
  }

  return Input;
}

// The English Unicode Collation's lower case as firmware gives it: A to Z and the Latin-1
// capitals but U+00D7, with 0x80 to 0xFF widened to 0xFF80 to 0xFFFF by its signed-char table.
static std::u16string
Lowered (std::u16string Word)
{
  for (UCS2_CHAR &Unit : Word) {
    if (Unit > 0xFF) {
      continue;
    }

    if (((Unit >= u'A') && (Unit <= u'Z')) ||
        ((Unit >= 0xC0) && (Unit <= 0xDE) && (Unit != 0xD7))) {
      Unit = static_cast<UCS2_CHAR> (Unit + 0x20);
    }

    if (Unit >= 0x80) {
      Unit = static_cast<UCS2_CHAR> (0xFF00 | Unit);
    }
  }

  return Word;
}

static bool
IsOption (const std::u16string &Word)
{
  for (const std::u16string &Option : Options) {
    if (Word == Option) {
      return true;
    }
  }

  return false;
}

static bool
IsNumber (const std::u16string &Word)
{
  for (UCS2_CHAR Unit : Word) {
    if ((Unit < u'0') || (Unit > u'9')) {
      return false;
    }
  }

  return true;
}

enum ACTION { Help, Query, Clear, Set, Reject };

// What the command line asks for, and what a fault-free machine answers.
struct MODEL {
  ACTION                      Action;
  EFI_STATUS                  HelpStatus;
  std::vector<std::u16string> Stored; // Set: the words as stored, in order.
  UINTN                       Rejected;
  std::u16string              Shown;
};

static MODEL
Model (const std::vector<std::u16string> &Words)
{
  MODEL Model = { Help, EFI_SUCCESS, {}, 0, u"" };

  if (Words.size () == 2) {
    Model.Action = (Words[1] == u"-c") ? Clear : (Words[1] == u"-g") ? Query : Help;
  } else if (Words.size () > 2) {
    Model.Action     = ((Words[1] == u"-s") || (Words[1] == u"--set")) ? Set : Help;
    Model.HelpStatus = EFI_INVALID_PARAMETER;
  }

  for (UINTN Index = 2; (Model.Action == Set) && (Index < Words.size ()); Index++) {
    std::u16string Word = Lowered (Words[Index]);

    if (!IsOption (Word)) {
      Model.Action   = Reject;
      Model.Rejected = Index;
      Model.Shown    = Word;
      break;
    }

    Model.Stored.push_back (Word);
    if ((Word == u"-delay") && (Index + 1 < Words.size ()) && IsNumber (Words[Index + 1])) {
      Model.Stored.push_back (Words[++Index]);
    }
  }

  return Model;
}

static std::u16string
Joined (const std::vector<std::u16string> &Words)
{
  std::u16string Text;

  for (UINTN Index = 0; Index < Words.size (); Index++) {
    Text += ((Index == 0) ? u"" : u" ") + Words[Index];
  }

  return Text;
}

static void
Prepare (const INPUT &Input, ArgumentVector &Args, bool Installed)
{
  Reset ();
  if (Input.Present) {
    SeedVariable (u"Brisvane", ShellGuid (), 0x3, Ucs2Bytes (u"-nonest"));
  }

  if (Installed && ((Input.Shell & 1) != 0)) {
    InstallShellParameters (Args.Argc (), Args.Argv ());
  }

  if (Installed && ((Input.Shell & 2) != 0)) {
    InstallShellInterface (Args.Argc (), Args.Argv ());
  }

  if (Input.Faulty) {
    FailCall (Input.FaultOp, Input.FaultCall, Input.FaultStatus);
  }
}

static bool
Allowed (EFI_STATUS Status, std::initializer_list<EFI_STATUS> Statuses)
{
  for (EFI_STATUS Candidate : Statuses) {
    if (Status == Candidate) {
      return true;
    }
  }

  return false;
}

static void
CheckRun (
    const INPUT    &Input,
    const MODEL    &Model,
    ArgumentVector &Args,
    EFI_STATUS      Status,
    bool            Main)
{
  const BYTES                 Earlier = Ucs2Bytes (u"-nonest");
  std::vector<std::u16string> Owed;
  bool                        NoVector = Main && (Input.Shell == 0);

  CHECK (LiveBuffers () == 0);
  CHECK (OpenProtocolEntries () <= (Input.Faulty && (Input.FaultOp == Operation::CloseProtocol)));

  if (NoVector) {
    CHECK (Status == EFI_OUT_OF_RESOURCES);
    CHECK (ConsoleText ().empty ());
    CHECK (SetVariableCalls ().empty () && GetVariableCalls ().empty ());
    CHECK (AllocationSizes ().empty ());
    return;
  }

  if (Model.Action == Help) {
    Owed = HelpScreen;
  } else if (Model.Action == Reject) {
    Owed = { (ErrorPrefix + Model.Shown + u"\r\n").substr (0, 320) };
  }

  // Help and rejection do not write; a write that happened carried the whole value.
  bool Writes = (Model.Action == Set) || (Model.Action == Clear);
  CHECK (Writes || SetVariableCalls ().empty ());
  CHECK (SetVariableCalls ().size () <= 1);
  for (const SET_VARIABLE_CALL &Call : SetVariableCalls ()) {
    CHECK ((Call.Name == u"Brisvane") && (Call.Guid == ShellGuid ()));
    CHECK (Call.Attributes == 0x3);
    CHECK (Call.DataSize == Call.Data.size ());
    CHECK (Call.Data == ((Model.Action == Clear) ? BYTES () : Ucs2Bytes (Joined (Model.Stored))));
  }

  const VARIABLE *After = StartupVariable ();
  if ((Model.Action == Set) && (Status == EFI_SUCCESS)) {
    std::u16string Text = Joined (Model.Stored);

    CHECK ((After != NULL) && (After->Attributes == 0x3));
    CHECK (After->Data == Ucs2Bytes (Text));
    CHECK (After->Data.size () == 2 * (Text.size () + 1));
    CHECK (Text.find (u'\0') == std::u16string::npos);
    for (UINTN Index = 2; Index < Args.Argc (); Index++) {
      CHECK (Args[Index] == Model.Stored[Index - 2]);
    }
  } else if ((Model.Action == Clear) && (Status == EFI_SUCCESS)) {
    CHECK (After == NULL);
  } else {
    CHECK ((After != NULL) == Input.Present);
    CHECK ((After == NULL) || (After->Data == Earlier));
  }

  if (Model.Action == Reject) {
    for (UINTN Index = Model.Rejected + 1; Index < Args.Argc (); Index++) {
      CHECK (Args[Index] == Input.Words[Index]);
    }
  }

  if (!Input.Faulty) {
    EFI_STATUS Expected = Model.HelpStatus;

    if (Model.Action == Query) {
      Expected = Input.Present ? EFI_LOAD_ERROR : EFI_SUCCESS;
    } else if (Model.Action == Clear) {
      Expected = Input.Present ? EFI_SUCCESS : EFI_NOT_FOUND;
    } else if (Model.Action == Set) {
      // The store refuses a value longer than it holds.
      Expected = SetVariableCalls ().empty () ? EFI_SUCCESS : SetVariableCalls ()[0].Status;
    } else if (Model.Action == Reject) {
      Expected = EFI_INVALID_PARAMETER;
    }

    CHECK (Status == Expected);
    CHECK (ConsoleWrites () == Owed);
    return;
  }

  EFI_STATUS Failure = Input.FaultStatus;
  switch (Model.Action) {
  case Help:
    CHECK (Allowed (Status, { Model.HelpStatus, EFI_OUT_OF_RESOURCES }));
    break;
  case Query:
    CHECK (Allowed (Status, { EFI_SUCCESS, EFI_LOAD_ERROR, EFI_OUT_OF_RESOURCES, Failure }));
    break;
  case Clear:
    CHECK (Allowed (Status, { EFI_SUCCESS, EFI_NOT_FOUND, EFI_OUT_OF_RESOURCES, Failure }));
    break;
  case Set:
    CHECK (Allowed (Status, { EFI_SUCCESS, EFI_OUT_OF_RESOURCES, EFI_INVALID_PARAMETER, Failure }));
    break;
  case Reject:
    CHECK (Allowed (Status, { EFI_INVALID_PARAMETER, EFI_OUT_OF_RESOURCES, Failure }));
  }

  // The console shows what it owes, or nothing, or loses the one line whose write failed.
  const std::vector<std::u16string> &Shown = ConsoleWrites ();
  bool                               Lost  = false;
  if ((Input.FaultOp == Operation::Print) && (Input.FaultCall <= Owed.size ()) &&
      (Shown.size () + 1 == Owed.size ())) {
    std::vector<std::u16string> Less = Owed;

    Less.erase (Less.begin () + (Input.FaultCall - 1));
    Lost = Shown == Less;
  }

  CHECK (Shown.empty () || (Shown == Owed) || Lost);
}

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *Data, size_t Size)
{
  const INPUT Input = Decode (Data, Size);
  const MODEL Owed  = Model (Input.Words);

  {
    Phase = "DispatchCommand";
    ArgumentVector Args (Input.Words);
    Prepare (Input, Args, false);
    CheckRun (Input, Owed, Args, DispatchCommand (Args.Argc (), Args.Argv ()), false);
  }

  {
    Phase = "ApplicationMain";
    ArgumentVector Args (Input.Words);
    Prepare (Input, Args, true);
    CheckRun (Input, Owed, Args, ApplicationMain (ImageHandle (), NULL), true);
  }

  Reset ();
  return 0;
}

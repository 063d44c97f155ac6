/** @file
  A libFuzzer target: any argument vector, carried out by DispatchCommand
  and by ApplicationMain on the host platform, perhaps with one firmware call
  failing, and checked against the command model, which the host tests share.

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
    byte 3     the operation that fails, from the command model's list of
               them; byte 4 its call number, 1 to 4;
               byte 5 the status it gives.
**/

#include "CommandModel.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

using namespace HostPlatform;

static const UINTN MaximumArgc = 1023;

// Keeps one execution short: the joining appends cost the square of the length.
static const UINTN MaximumCodeUnits = 1 << 15;

// Beyond the statuses firmware really gives, so that no status is handled by accident.
static const EFI_STATUS FailureStatuses[] = {
  EFI_OUT_OF_RESOURCES, EFI_NOT_FOUND,          EFI_DEVICE_ERROR,
  EFI_WRITE_PROTECTED,  EFI_SECURITY_VIOLATION, EFI_INVALID_PARAMETER,
  EFI_BUFFER_TOO_SMALL, EFI_UNSUPPORTED,        EFI_ACCESS_DENIED,
};

struct INPUT {
  std::vector<std::u16string> Words;
  MACHINE                     Machine;
};

static INPUT
Decode (const uint8_t *Data, size_t Size)
{
  static const int Shells[]  = { NewShell, OldShell, BothShells, NoShell };
  uint8_t          Header[6] = {};
  INPUT            Input;

  memcpy (Header, Data, (Size < sizeof (Header)) ? Size : sizeof (Header));
  Data += (Size < sizeof (Header)) ? Size : sizeof (Header);
  Size -= (Size < sizeof (Header)) ? Size : sizeof (Header);

  Input.Machine = {
    Shells[Header[0] & 3],
    (Header[0] & 4) != 0,
    ((Header[0] & 8) != 0) ? FirmwareFailures[Header[3] % FirmwareFailures.size ()].Op
                           : Operation::Count,
    1 + Header[4] % 4u,
    FailureStatuses[Header[5] % (sizeof (FailureStatuses) / sizeof (EFI_STATUS))],
  };

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

static void
Check (const INPUT &Input, int Shells, const char *Phase)
{
  MACHINE Machine = Input.Machine;

  Machine.Shells     = Shells;
  std::string Broken = RunCommandLine (Input.Words, Machine);

  if (!Broken.empty ()) {
    fprintf (stderr, "%s broke the model:\n%s", Phase, Broken.c_str ());
    abort ();
  }
}

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *Data, size_t Size)
{
  const INPUT Input = Decode (Data, Size);

  Check (Input, DirectDispatch, "DispatchCommand");
  Check (Input, Input.Machine.Shells, "ApplicationMain");
  Reset ();
  return 0;
}

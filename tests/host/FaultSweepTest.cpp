/** @file
  Every kind of command line, run from the image's entry with each firmware
  call it makes failing in turn, with each status firmware gives for that
  call, and checked against the command model: the run must give the status
  it owes, leave no buffer or open protocol behind, leave the variable as it
  was or holding exactly the new value, and print nothing it should not.
**/

#include "HostTest.h"

#include <iostream>
#include <map>

using namespace HostPlatform;

static const std::vector<std::u16string> Shapes[] = {
  { u"brisvane" },
  { u"brisvane", u"-g" },
  { u"brisvane", u"-c" },
  { u"brisvane", u"-s", u"-NoMap", u"-Exit" },
  { u"brisvane", u"-s", u"-NoMap", u"-Bogus", u"-exit" },
  { u"brisvane", u"--set", u"-Delay", u"3", u"-nonest" },
};

class FaultSweepTest : public HostTest {};

TEST_F (FaultSweepTest, EveryFirmwareFailureEndsCleanlyWithItsStatus)
{
  std::map<std::string, UINTN> PerOperation;
  UINTN                        Combinations = 0;

  for (const std::vector<std::u16string> &Words : Shapes) {
    for (int Shells : { NewShell, OldShell, BothShells }) {
      for (bool Present : { false, true }) {
        MACHINE     Machine = { Shells, Present, Operation::Count, 0, 0 };
        std::string Line;
        for (const std::u16string &Word : Words) {
          Line += std::string (Word.begin (), Word.end ()) + " ";
        }

        SCOPED_TRACE (
            Line + "(shells " + std::to_string (Shells) + (Present ? ", variable present)" : ")"));

        EXPECT_EQ (RunCommandLine (Words, Machine), "");
        Combinations++;

        // Each call that the fault-free run reaches, failed in turn.
        UINTN Reached[static_cast<int> (Operation::Count)];
        for (const FIRMWARE_FAILURES &Failures : FirmwareFailures) {
          Reached[static_cast<int> (Failures.Op)] = CallCount (Failures.Op);
        }

        for (const FIRMWARE_FAILURES &Failures : FirmwareFailures) {
          for (UINTN Call = 1; Call <= Reached[static_cast<int> (Failures.Op)]; Call++) {
            for (EFI_STATUS Failure : Failures.Statuses) {
              Machine = { Shells, Present, Failures.Op, Call, Failure };
              EXPECT_EQ (RunCommandLine (Words, Machine), "")
                  << OperationName (Failures.Op) << " call " << Call << " fails with 0x" << std::hex
                  << Failure;
              Combinations++;
              PerOperation[OperationName (Failures.Op)]++;
            }
          }
        }
      }
    }
  }

  Reset ();
  std::cout << "fault sweep: " << Combinations << " combinations (";
  for (const FIRMWARE_FAILURES &Failures : FirmwareFailures) {
    const char *Name = OperationName (Failures.Op);

    EXPECT_GT (PerOperation[Name], 0u) << Name << " was never made to fail";
    std::cout << ((Failures.Op == FirmwareFailures[0].Op) ? "" : ", ") << Name << " "
              << PerOperation[Name];
  }

  std::cout << ")" << std::endl;
  RecordProperty ("Combinations", static_cast<int> (Combinations));
}

/** @file
  Command lines as the host tests and the fuzzer drive them: argument
  vectors as a shell hands them over, and the one model of what a run owes
  (its status, console, variable and words), by which the fault sweep, the
  dispatch test and the fuzzer judge their runs.
**/

#ifndef COMMAND_MODEL_H_
#define COMMAND_MODEL_H_

#include "HostPlatform.h"

#include <initializer_list>
#include <memory>

///
/// A shell's argument vector: Argc pointers to writable strings, each in a
/// heap block of its own exact size, so that AddressSanitizer sees a read
/// past a word's NUL or past the last pointer.
///
class ArgumentVector {
public:
  ArgumentVector (std::initializer_list<std::u16string> Words)
      : ArgumentVector (std::vector<std::u16string> (Words))
  {
  }

  explicit ArgumentVector (const std::vector<std::u16string> &Words)
      : Pointers (new UCS2_CHAR *[Words.size ()]), Count (Words.size ())
  {
    for (UINTN Index = 0; Index < Count; Index++) {
      Storage.emplace_back (new UCS2_CHAR[Words[Index].size () + 1]);
      std::copy (
          Words[Index].c_str (), Words[Index].c_str () + Words[Index].size () + 1,
          Storage.back ().get ());
      Pointers[Index] = Storage.back ().get ();
    }
  }

  ArgumentVector (const ArgumentVector &)            = delete;
  ArgumentVector &operator= (const ArgumentVector &) = delete;

  UINTN
  Argc (VOID) const
  {
    return Count;
  }

  UCS2_CHAR **
  Argv (VOID)
  {
    return Pointers.get ();
  }

  std::u16string
  operator[] (UINTN Index) const
  {
    return Storage[Index].get ();
  }

private:
  std::vector<std::unique_ptr<UCS2_CHAR[]>> Storage;
  std::unique_ptr<UCS2_CHAR *[]>            Pointers;
  UINTN                                     Count;
};

inline const HostPlatform::VARIABLE *
StartupVariable (VOID)
{
  return HostPlatform::FindVariable (u"Brisvane", ShellGuid ());
}

///
/// How a run starts: through ApplicationMain with these shell protocols on
/// the image handle, or with DispatchCommand on the vector.
///
enum SHELLS { NoShell = 0, NewShell = 1, OldShell = 2, BothShells = 3, DirectDispatch = 4 };

///
/// The machine a command line runs on.
///
struct MACHINE {
  int                     Shells;
  bool                    Present; ///< An earlier boot stored "-nonest".
  HostPlatform::Operation FaultOp; ///< Operation::Count when no call fails.
  UINTN                   FaultCall;
  EFI_STATUS              FaultStatus;
};

///
/// The calls that firmware can fail, each with the statuses it really gives.
///
struct FIRMWARE_FAILURES {
  HostPlatform::Operation Op;
  std::vector<EFI_STATUS> Statuses;
};

extern const std::vector<FIRMWARE_FAILURES> FirmwareFailures;

/**
  Runs a command line on a fresh machine and checks the run against what it
  owes: its status; the console's lines (one lost if its write fails); no
  pool buffer left and no protocol left open but by a failing close; a
  write only from a set or a clear, at most one, carrying the whole value; a
  read only from a query, at most one; the variable as it was, or holding
  exactly the new value, or deleted; and the words lowered in place up to a
  rejected one, but for the mode and the delay's operand, each at most once.
  The machine stays as the run left it until the next Reset.

  Vectors whose options join to more than the longest string are not modelled.

  @param[in]  Words    The vector, Argv[0] first.
  @param[in]  Machine  The machine to run on.
  @param[out] Status   Receives the run's status; may be NULL.

  @return One line for each expectation broken; empty when the run kept them all.
**/
std::string RunCommandLine (
    const std::vector<std::u16string> &Words,
    const MACHINE                     &Machine,
    EFI_STATUS                        *Status = NULL);

#endif

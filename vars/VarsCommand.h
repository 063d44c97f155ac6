/** @file
  brisvane-vars: brisvane's command line, carried out by the same command
  logic on the variable store of a virtual machine's NVRAM file.
**/

#ifndef VARS_COMMAND_H_
#define VARS_COMMAND_H_

#include <stdio.h>

/**
  Runs "brisvane-vars NVRAM-FILE [WORD...]". The words are brisvane's: they
  become its argument vector after the name "brisvane" and go to
  DispatchCommand unchanged; "--show" alone prints the stored value instead.
  The file is edited in place, with the writes the firmware would make, and
  only when the command changed its variable store or a fault-tolerant write
  was left pending.

  @param[in] Argc  The number of entries in Argv.
  @param[in] Argv  The command line, in UTF-8.
  @param[in] Out   Where the console text goes.
  @param[in] Err   Where this tool's own messages go.

  @return DispatchCommand's status without its error bit, as the shell's
          %lasterror% shows it (9 for a store full even when compacted); 2
          when a word is not UTF-8 or not UCS-2; VARS_EXIT_ATTRIBUTES_DIFFER
          or VARS_EXIT_TOO_LARGE for a write the firmware would refuse too; or
          a status for a file it cannot use: EX_USAGE without a file,
          EX_NOINPUT when it cannot be read or is not a regular file,
          EX_DATAERR when it is not a variable store this tool edits,
          EX_TEMPFAIL when a virtual machine has it,
          VARS_EXIT_IN_USE_BY_EDITOR when another program has it locked,
          EX_OSERR when it cannot be locked, and EX_CANTCREAT when it cannot
          be written.
**/
int RunBrisvaneVars (int Argc, char **Argv, FILE *Out, FILE *Err);

#endif

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
  The file is replaced only when the command changed its variable store.

  @param[in] Argc  The number of entries in Argv.
  @param[in] Argv  The command line, in UTF-8.
  @param[in] Out   Where the console text goes.
  @param[in] Err   Where this tool's own messages go.

  @return DispatchCommand's status without its error bit, as the shell's
          %lasterror% shows it; 2 when a word is not UTF-8 or not UCS-2; or a
          sysexits.h code when the file cannot be used: EX_USAGE without a
          file, EX_NOINPUT when it cannot be read, EX_DATAERR when it is not a
          variable store this tool edits, EX_TEMPFAIL when it is in use, and
          EX_CANTCREAT when its replacement cannot be written.
**/
int RunBrisvaneVars (int Argc, char **Argv, FILE *Out, FILE *Err);

#endif

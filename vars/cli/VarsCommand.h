/** @file
  brisvane-vars: brisvane's command line, carried out by the same command
  logic on the variable store of a virtual machine's NVRAM file.
**/

#ifndef VARS_COMMAND_H_
#define VARS_COMMAND_H_

#include <stdio.h>

/**
  Runs "brisvane-vars [OPTION...] NVRAM-FILE [WORD...]", its --domain form,
  and its --help and --version (ParseVarsLine has the rules). The words are
  brisvane's: they become its argument vector after the name "brisvane" and
  go to DispatchCommand unchanged; --show, with --json or without, prints
  the stored value instead. The NVRAM is edited in place, with the writes
  the firmware would make, and only when the command changed its variable
  store or a fault-tolerant write was left pending.

  @param[in] Argc  The number of entries in Argv.
  @param[in] Argv  The command line, in UTF-8.
  @param[in] Out   Where the console text goes.
  @param[in] Err   Where this tool's own messages go, and the shell's error
                   lines.

  @return A VARS_EXIT status (vars/base/ExitStatus.h), or a firmware status that
          the command met, as the shell's %lasterror% shows it.
**/
int RunBrisvaneVars (int Argc, char **Argv, FILE *Out, FILE *Err);

#endif

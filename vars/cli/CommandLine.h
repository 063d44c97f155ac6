/** @file
  brisvane-vars' command line: its one parser and its one usage text.
**/

#ifndef COMMAND_LINE_H_
#define COMMAND_LINE_H_

#include "platform/PlatformTypes.h"

#include <stdio.h>

///
/// What a command line asks for.
///
typedef enum {
  VarsUsageError, ///< A form it does not have: the usage text, on standard error.
  VarsHelp,       ///< --help or -h alone: the usage text.
  VarsVersion,    ///< --version alone.
  VarsRunCommand, ///< brisvane's words on the NVRAM.
  VarsShowText,   ///< --show alone after the NVRAM.
  VarsShowJson,   ///< --show --json after the NVRAM.
} VARS_REQUEST;

///
/// A command line, taken apart.
///
typedef struct {
  VARS_REQUEST Request;
  const char  *Template;  ///< --template's file, or NULL.
  const char  *Domain;    ///< --domain's name, in place of NVRAM-FILE, or NULL.
  const char  *Connect;   ///< --connect's URI, with --domain alone, or NULL.
  const char  *File;      ///< NVRAM-FILE, for VarsRunCommand and the show forms.
  int          WordCount; ///< The words after NVRAM-FILE: brisvane's.
  char *const *Words;
} VARS_LINE;

/**
  Takes a command line apart. The words after NVRAM-FILE, or after the
  options when --domain stands for it, are brisvane's, except for the show
  forms, which are the whole of them.

  @param[in]  Argc  The number of entries in Argv.
  @param[in]  Argv  The command line; Argv[0] is the tool's name.
  @param[out] Line  Receives what it asks for.
**/
VOID ParseVarsLine (int Argc, char *const *Argv, VARS_LINE *Line);

/**
  Prints the usage text.

  @param[in] Stream  Standard output for --help, standard error otherwise.
**/
VOID PrintVarsUsage (FILE *Stream);

#endif

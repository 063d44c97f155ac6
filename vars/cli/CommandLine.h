/** @file
  brisvane-vars' command line: its one parser and its one usage text.
**/

#ifndef COMMAND_LINE_H_
#define COMMAND_LINE_H_

#include "platform/PlatformTypes.h"

#include <stdio.h>

#include <string>

///
/// What a command line asks for.
///
typedef enum {
  VarsUsageError, ///< A form it does not have: why, then the usage text, on standard error.
  VarsHelp,       ///< --help or -h among the options: the usage text.
  VarsVersion,    ///< --version among the options.
  VarsRunCommand, ///< brisvane's words on the NVRAM.
  VarsShowText,   ///< --show, among the options or alone after the NVRAM.
  VarsShowJson,   ///< --show and --json, among the options or in that order after the NVRAM.
} VARS_REQUEST;

///
/// A command line, taken apart.
///
typedef struct {
  VARS_REQUEST Request;
  std::string  Problem;   ///< For VarsUsageError, why the line is none of the forms.
  const char  *Template;  ///< --template's file, or NULL.
  const char  *Domain;    ///< --domain's name, in place of NVRAM-FILE, or NULL.
  const char  *Connect;   ///< --connect's URI, with --domain alone, or NULL.
  bool         Offline;   ///< --offline: the user says no virtual machine uses the NVRAM.
  int          Timeout;   ///< --timeout's seconds for a network NVRAM's server.
  const char  *File;      ///< NVRAM-FILE, for VarsRunCommand and the show forms.
  int          WordCount; ///< The words after NVRAM-FILE, or -g's: brisvane's.
  char *const *Words;
} VARS_LINE;

/**
  Takes a command line apart. The tool's options come first, in any order,
  as "--name value" or "--name=value", up to "--" or the first word that is
  none of them. That word is NVRAM-FILE, or, when --domain stands for it,
  the first of brisvane's words. The words after NVRAM-FILE are brisvane's,
  except for the show forms, which are the whole of them.

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

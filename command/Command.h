/** @file
  Command dispatch: chooses the help screen, the query, the clear or the set
  action from the argument vector, and gives the run's exit status.
**/

#ifndef COMMAND_H_
#define COMMAND_H_

#include "platform/PlatformTypes.h"

#define BRISVANE_STRINGIFY(Token)  #Token
#define BRISVANE_EXPAND_TEXT(Name) BRISVANE_STRINGIFY (Name)

///
/// The version as text. Every build takes BRISVANE_VERSION from Brisvane.inf,
/// the one place it is written.
///
#define BRISVANE_VERSION_TEXT BRISVANE_EXPAND_TEXT (BRISVANE_VERSION)

/**
  Carries out one command line.

  @param[in] Argc  The number of entries in Argv.
  @param[in] Argv  The words; Argv[0] is the command's name and Argv[1] the mode.

  @retval EFI_SUCCESS            The help screen was shown for no word or one
                                 unknown word, the variable is absent ("-g"),
                                 or the clear or the set succeeded.
  @retval EFI_LOAD_ERROR         "-g": the variable is present.
  @retval EFI_INVALID_PARAMETER  Two or more words not led by "-s" or "--set"
                                 (help screen shown), or a start-up option
                                 was rejected (error line shown).
  @return                        The firmware's status of a failed clear,
                                 query or write, unchanged.
**/
EFI_STATUS
DispatchCommand (UINTN Argc, UCS2_CHAR **Argv);

/**
  Tells whether DispatchCommand would clear or set the variable for these
  words; every other line (a query, the help screen) only reads, so that a
  tool around it may open the store for reading alone.

  @param[in] Argc  The number of entries in Argv.
  @param[in] Argv  The words, as DispatchCommand takes them.

  @return TRUE for a clear or a set, whether or not its options are valid.
**/
BOOLEAN
CommandChangesVariable (UINTN Argc, UCS2_CHAR **Argv);

/**
  Tells whether DispatchCommand would run the set action for these words:
  "-s" or "--set" and at least one option, valid or not.

  @param[in] Argc  The number of entries in Argv.
  @param[in] Argv  The words, as DispatchCommand takes them.

  @return TRUE for a set.
**/
BOOLEAN
CommandSetsOptions (UINTN Argc, UCS2_CHAR **Argv);

/**
  Prints the nine-line help screen.
**/
VOID ShowUsage (VOID);

/**
  Validates, lower-cases and joins the start-up options Argv[2] to
  Argv[Argc - 1] and stores them as the variable. The argument strings are
  lower-cased in place, except the number that follows "-delay".

  @param[in] Argc  The number of entries in Argv; at least 3.
  @param[in] Argv  The words; Argv[1] is "-s" or "--set".

  @retval EFI_INVALID_PARAMETER  A word is not a start-up option; its error
                                 line was printed and nothing was written.
  @retval EFI_OUT_OF_RESOURCES   No buffer for the option string, or the
                                 joined options would pass the platform's
                                 maximum string length; nothing was written.
  @return                        The status of locating Unicode Collation when
                                 it failed (nothing written), or else that of
                                 the write, unchanged.
**/
EFI_STATUS
SetStartupOptions (UINTN Argc, UCS2_CHAR **Argv);

/**
  The size of the value that SetStartupOptions stores for the same words:
  the options joined with single spaces and ended by a NUL, before any is
  checked. Tools that must refuse a value too large for their store ahead of
  the set action use it, so that the rule stays in one place.

  @param[in] Argc  The number of entries in Argv; at least 3.
  @param[in] Argv  The words; Argv[2] on are the options.

  @return The size in bytes, NUL included.
**/
UINTN
OptionStringSize (UINTN Argc, UCS2_CHAR **Argv);

#endif

/** @file
  brisvane's words as brisvane-vars hands them to the command logic:
  converted to UCS-2, and judged before the store is opened.
**/

#ifndef WORDS_H_
#define WORDS_H_

#include "nvram/VariableStore.h"
#include "vars/cli/CommandLine.h"
#include "vars/cli/Outcome.h"

#include <string>
#include <vector>

///
/// brisvane's argument vector: its name, then the words converted to
/// UCS-2, each a writable string, since the set action lower-cases in
/// place.
///
typedef struct {
  std::vector<std::u16string> Words;
  std::vector<UCS2_CHAR *>    Argv;
} BRISVANE_LINE;

/**
  Converts the words after the NVRAM to brisvane's argument vector, its
  name first.

  @param[in]  Line      The command line.
  @param[out] Brisvane  Receives the vector.
  @param[out] Outcome   Receives the refusal of a word that is not UTF-8 or
                        lies beyond UCS-2.

  @return Whether every word was converted.
**/
bool ConvertWords (const VARS_LINE *Line, BRISVANE_LINE *Brisvane, VARS_OUTCOME *Outcome);

/**
  Tells whether the request may write: brisvane's clear or set; --show,
  --json, a query and the help screen only read.

  @param[in] Request   What the command line asks.
  @param[in] Brisvane  brisvane's words.

  @return Whether it may write.
**/
bool MayWrite (VARS_REQUEST Request, BRISVANE_LINE *Brisvane);

/**
  Tells whether the words set a value too large for the store, and notes
  the refusal in Edit.

  @param[in]     Store     The opened store.
  @param[in,out] Edit      Receives the refusal.
  @param[in]     Brisvane  brisvane's words.

  @return Whether the value is refused.
**/
bool RefusesSize (const NVRAM_STORE *Store, NVRAM_EDIT *Edit, BRISVANE_LINE *Brisvane);

#endif

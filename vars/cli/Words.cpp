/** @file
  brisvane's words, converted and judged.
**/

#include "vars/cli/Words.h"

#include "command/Command.h"
#include "store/StartupOptionStore.h"
#include "vars/base/ExitStatus.h"
#include "vars/cli/Utf8.h"

#include <stdio.h>

bool
ConvertWords (const VARS_LINE *Line, BRISVANE_LINE *Brisvane, VARS_OUTCOME *Outcome)
{
  char Text[160];

  std::u16string Word;

  Brisvane->Words.assign (1, u"brisvane");
  for (int Index = 0; Index < Line->WordCount; Index++) {
    UTF8_CONVERSION Conversion = Utf8ToUcs2 (Line->Words[Index], &Word);

    if (Conversion != Utf8Converted) {
      snprintf (
          Text, sizeof (Text), "word %d after the file %s; nothing was written", Index + 1,
          (Conversion == Utf8Invalid) ? "is not valid UTF-8"
                                      : "has a character beyond U+FFFF, which UCS-2 cannot hold");
      SettleOutcome (Outcome, VarsExitRefusedWord, "", Text);
      return false;
    }

    Brisvane->Words.push_back (Word);
  }

  for (std::u16string &Converted : Brisvane->Words) {
    Brisvane->Argv.push_back (&Converted[0]);
  }

  return true;
}

/**
  Tells whether the words set a value too large for the store. The set
  action checks the size of the value it has joined, and joining many words
  takes long; its size rule gives the size from the words before.
**/
bool
RefusesSize (const NVRAM_STORE *Store, NVRAM_EDIT *Edit, BRISVANE_LINE *Brisvane)
{
  std::vector<UCS2_CHAR *> &Argv = Brisvane->Argv;

  if (!CommandSetsOptions (Argv.size (), Argv.data ())) {
    return false;
  }

  return NvramStoreRefusesSize (
      Store, (std::u16string (StartupOptionVariableName).size () + 1) * sizeof (char16_t),
      OptionStringSize (Argv.size (), Argv.data ()), Edit);
}

bool
MayWrite (VARS_REQUEST Request, BRISVANE_LINE *Brisvane)
{
  return (Request == VarsRunCommand) &&
         CommandChangesVariable (Brisvane->Argv.size (), Brisvane->Argv.data ());
}

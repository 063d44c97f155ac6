/** @file
  A run's outcome, gathered and printed once.
**/

#include "vars/cli/Outcome.h"

int
SettleOutcome (
    VARS_OUTCOME      *Outcome,
    int                Code,
    const std::string &Subject,
    const std::string &Message)
{
  if (Code != 0) {
    Outcome->Code = Code;
  }

  if (!Message.empty ()) {
    Outcome->Lines.push_back (Subject.empty () ? Message : Subject + ": " + Message);
  }

  return Code;
}

int
ReportOutcome (const VARS_OUTCOME *Outcome, FILE *Err)
{
  for (const std::string &Line : Outcome->Lines) {
    fputs ("brisvane-vars: ", Err);
    for (unsigned char Character : Line) {
      if ((Character < 0x20) || (Character == 0x7f)) {
        fprintf (Err, "\\x%02x", Character);
      } else {
        fputc (Character, Err);
      }
    }

    fputc ('\n', Err);
  }

  return Outcome->Code;
}

/** @file
  What a run of brisvane-vars comes to: its exit status, and the lines it
  has to say on standard error, gathered as the run goes and printed once,
  at its end, in one place.
**/

#ifndef OUTCOME_H_
#define OUTCOME_H_

#include <stdio.h>

#include <string>
#include <vector>

///
/// A run's outcome so far.
///
struct VARS_OUTCOME {
  int                      Code = 0;
  std::vector<std::string> Lines; ///< Each printed after "brisvane-vars: ".
};

/**
  Takes a stage's status and message into the outcome: a status other than
  0 replaces the one so far, since a later stage's refusal is why the run
  failed, and a message becomes a line about Subject.

  @param[in,out] Outcome  The run's outcome.
  @param[in]     Code     The stage's VARS_EXIT status, or 0.
  @param[in]     Subject  What the message is about (a file, a domain); "" for none.
  @param[in]     Message  What the stage has to say; "" for nothing.

  @return Code.
**/
int SettleOutcome (
    VARS_OUTCOME      *Outcome,
    int                Code,
    const std::string &Subject,
    const std::string &Message);

/**
  Prints the outcome's lines on Err, each with every control character
  shown as an escape, so that a name with a line end in it still gives one
  line.

  @param[in] Outcome  The run's outcome.
  @param[in] Err      Standard error.

  @return The outcome's status.
**/
int ReportOutcome (const VARS_OUTCOME *Outcome, FILE *Err);

#endif

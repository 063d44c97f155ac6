/** @file
  Named points in a run at which a test can hold this process, so that a
  race with another program (a copy over the file, a QEMU starting, a second
  run) is driven to the same interleaving every time rather than by luck.
**/

#ifndef PAUSE_H_
#define PAUSE_H_

///
/// The environment variable that names the points, separated by commas.
///
#define PAUSE_VARIABLE "BRISVANE_VARS_PAUSE"

/**
  Stops this process with SIGSTOP when PAUSE_VARIABLE names Point; it goes
  on when it is sent SIGCONT. Elsewhere it does nothing.

  @param[in] Point  The point's name, such as "read" (the image read and
                    its store checked, nothing written yet).
**/
void PauseAt (const char *Point);

#endif

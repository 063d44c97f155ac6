/** @file
  Points at which a test holds this process.
**/

#include "vars/base/Pause.h"

#include <signal.h>
#include <stdlib.h>
#include <string.h>

void
PauseAt (const char *Point)
{
  const char *Points = getenv (PAUSE_VARIABLE);
  size_t      Length = strlen (Point);

  for (const char *Word = Points; Word != NULL; Word = strchr (Word, ',')) {
    Word += (*Word == ',') ? 1 : 0;
    if ((strncmp (Word, Point, Length) == 0) && ((Word[Length] == ',') || (Word[Length] == 0))) {
      raise (SIGSTOP);
      return;
    }
  }
}

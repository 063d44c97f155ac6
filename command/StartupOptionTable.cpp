/** @file
  The table of start-up options.
**/

#include "command/StartupOptionTable.h"

const UCS2_CHAR DelayOptionName[] = u"-delay";

const STARTUP_OPTION StartupOptionTable[] = {
  { u"-nomap", 6 },
  { u"-nostartup", 10 },
  { u"-startup", 8 },
  { u"-noversion", 10 },
  { u"-noconsolein", 12 },
  { u"-noconsoleout", 13 },
  { u"-nointerrupt", 12 },
  { u"-nonest", 7 },
  { u"-exit", 5 },
  { DelayOptionName, 6 },
  { NULL, 0 },
};

/** @file
  The table of start-up options.
**/

#include "command/StartupOptionTable.h"

const UCS2_CHAR DelayOptionName[] = u"-delay";

const STARTUP_OPTION StartupOptionTable[] = {
  { u"-nomap" },
  { u"-nostartup" },
  { u"-startup" },
  { u"-noversion" },
  { u"-noconsolein" },
  { u"-noconsoleout" },
  { u"-nointerrupt" },
  { u"-nonest" },
  { u"-exit" },
  { DelayOptionName },
  { NULL },
};

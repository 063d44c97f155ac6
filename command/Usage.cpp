/** @file
  The help screen.
**/

#include "command/Command.h"

#include "platform/Platform.h"

// Lines 6 and 7 end in a bare LF, which Print brings out as CR LF like the rest.
static const UCS2_CHAR *const UsageLines[] = {
  u"\r\n",
  u"Version: " BRISVANE_VERSION_TEXT "\r\n",
  u"----------------------------------------------------------------\r\n",
  u"Usage: brisvane -s [-nomap] [-nostartup | -startup] [-noversion]\r\n",
  u"                   [-noconsolein] [-noconsoleout] [-nointerrupt]\r\n",
  u"                   [-nonest] [-exit] [-delay[:n]]\n",
  u"       brisvane -c : clear Brisvane\n",
  u"       brisvane -g : lasterror = 0x0 : Brisvane is not install.\r\n",
  u"                     lasterror = 0x1 : Brisvane is install.\r\n",
};

VOID
ShowUsage (VOID)
{
  for (const UCS2_CHAR *Line : UsageLines) {
    Platform::Print (Line);
  }
}

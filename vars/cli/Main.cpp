/** @file
  brisvane-vars: the start-up options of brisvane, set, cleared and queried
  in a virtual machine's NVRAM file from Linux.
**/

#include "vars/cli/VarsCommand.h"

int
main (int argc, char **argv)
{
  return RunBrisvaneVars (argc, argv, stdout, stderr);
}

/** @file
  brisvane-vars' exit status of a command's result, and its refusals' messages.
**/

#include "vars/base/ExitStatus.h"

#include <string.h>

int
VarsExitOf (EFI_STATUS Status)
{
  EFI_STATUS Code = Status & ~HOST_ERROR_BIT;

  return (Code <= 255) ? static_cast<int> (Code) : 255;
}

int
VarsRefusal (std::string *Error, int Code, const std::string &Message, int Errno)
{
  *Error = Message;
  if (Errno != 0) {
    *Error += ": ";
    *Error += strerror (Errno);
  }

  return Code;
}

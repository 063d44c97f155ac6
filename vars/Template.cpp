/** @file
  Creating an NVRAM file from a template.
**/

#include "vars/Template.h"

#include "vars/ExitStatus.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Copies the whole of In to Out; false with errno set when a read or write fails.
static bool
CopyAll (int In, int Out)
{
  char    Buffer[65536];
  ssize_t Got;

  while ((Got = read (In, Buffer, sizeof (Buffer))) != 0) {
    if ((Got < 0) && (errno == EINTR)) {
      continue;
    }

    if (Got < 0) {
      return false;
    }

    for (ssize_t Done = 0, Put; Done < Got; Done += Put) {
      Put = write (Out, Buffer + Done, Got - Done);
      if ((Put < 0) && (errno != EINTR)) {
        return false;
      }

      Put = (Put < 0) ? 0 : Put;
    }
  }

  return true;
}

int
CreateFromTemplate (const char *Template, const char *Path, std::string *Error)
{
  struct stat Status;
  int         In;
  int         Out;
  int         Code = 0;

  // O_NONBLOCK: a FIFO named as the template must not hang the open.
  In = open (Template, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (In < 0) {
    return VarsRefusal (
        Error, VarsExitCannotRead, std::string ("cannot read the template ") + Template, errno);
  }

  if ((fstat (In, &Status) != 0) || !S_ISREG (Status.st_mode)) {
    close (In);
    *Error = std::string ("the template ") + Template + " is not a regular file";
    return VarsExitCannotRead;
  }

  Out = open (Path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (Out < 0) {
    if (errno == EEXIST) {
      *Error = "it exists already, and --template never overwrites a file";
    } else {
      VarsRefusal (Error, VarsExitCannotWrite, "cannot create it", errno);
    }

    close (In);
    return VarsExitCannotWrite;
  }

  if (!CopyAll (In, Out) || (fsync (Out) != 0)) {
    Code = VarsRefusal (
        Error, VarsExitCannotWrite, std::string ("cannot copy the template ") + Template, errno);
  }

  close (In);
  if ((close (Out) != 0) && (Code == 0)) {
    Code = VarsRefusal (Error, VarsExitCannotWrite, "cannot write it", errno);
  }

  if (Code != 0) {
    unlink (Path);
  }

  return Code;
}

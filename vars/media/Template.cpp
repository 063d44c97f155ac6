/** @file
  Creating an NVRAM file from a template, and removing it again.
**/

#include "vars/media/Template.h"

#include "vars/base/ExitStatus.h"
#include "vars/media/FileMedium.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/**
  Reads all of Fd, up to Limit bytes and one more, so that a longer file
  shows as longer; false with errno set when a read fails.
**/
static bool
ReadAll (int Fd, size_t Limit, std::vector<UINT8> *Bytes)
{
  UINT8   Buffer[65536];
  ssize_t Got;

  Bytes->clear ();
  while ((Bytes->size () <= Limit) && ((Got = read (Fd, Buffer, sizeof (Buffer))) != 0)) {
    if ((Got < 0) && (errno == EINTR)) {
      continue;
    }

    if (Got < 0) {
      return false;
    }

    Bytes->insert (Bytes->end (), Buffer, Buffer + Got);
  }

  return true;
}

// The template's bytes: a regular file no larger than an NVRAM file may be.
static int
ReadTemplate (const char *Template, std::vector<UINT8> *Bytes, std::string *Error)
{
  struct stat Status;
  int         Code = 0;
  // O_NONBLOCK: a FIFO named as the template must not hang the open.
  int In = open (Template, O_RDONLY | O_NONBLOCK | O_CLOEXEC);

  if (In < 0) {
    return VarsRefusal (
        Error, VarsExitCannotRead, std::string ("cannot read the template ") + Template, errno);
  }

  if ((fstat (In, &Status) != 0) || !S_ISREG (Status.st_mode)) {
    Code = VarsRefusal (
        Error, VarsExitCannotRead,
        std::string ("the template ") + Template + " is not a regular file");
  } else if (!ReadAll (In, NVRAM_FILE_MAX_SIZE, Bytes)) {
    Code = VarsRefusal (
        Error, VarsExitCannotRead, std::string ("cannot read the template ") + Template, errno);
  } else if (Bytes->size () > NVRAM_FILE_MAX_SIZE) {
    Code = VarsRefusal (
        Error, VarsExitCannotRead,
        std::string ("the template ") + Template + " is far too large to be an NVRAM file");
  }

  close (In);
  return Code;
}

int
CreateFromTemplate (const char *Template, const char *Path, MADE_FILE *Made, std::string *Error)
{
  struct stat Status;
  int         Out;
  int         Failure;
  int         Code = ReadTemplate (Template, &Made->Bytes, Error);

  Made->Existed = false;
  if (Code != 0) {
    return Code;
  }

  Out = open (Path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (Out < 0) {
    Made->Existed = (errno == EEXIST);
    return Made->Existed ? VarsRefusal (
                               Error, VarsExitCannotWrite,
                               "it exists already, and --template never overwrites a file")
                         : VarsRefusal (Error, VarsExitCannotWrite, "cannot create it", errno);
  }

  Failure = WriteFileAt (Out, 0, Made->Bytes.data (), Made->Bytes.size ());
  if ((Failure == 0) && ((fsync (Out) != 0) || (fstat (Out, &Status) != 0))) {
    Failure = errno;
  }

  if (Failure != 0) {
    Code = VarsRefusal (
        Error, VarsExitCannotWrite, std::string ("cannot copy the template ") + Template, Failure);
  }

  if ((close (Out) != 0) && (Code == 0)) {
    Code = VarsRefusal (Error, VarsExitCannotWrite, "cannot write it", errno);
  }

  if (Code != 0) {
    unlink (Path);
    return Code;
  }

  Made->Device = Status.st_dev;
  Made->Inode  = Status.st_ino;
  return 0;
}

/**
  Why the open file Fd must be kept: it is another file than the one made,
  someone else holds it, or it no longer holds what it was made with.
**/
static const char *
KeepReason (int Fd, const MADE_FILE *Made)
{
  struct stat        Status;
  struct flock       Lock = {};
  std::vector<UINT8> Bytes;

  if ((fstat (Fd, &Status) != 0) || (Status.st_dev != Made->Device) ||
      (Status.st_ino != Made->Inode)) {
    return "it is no longer the file this run made";
  }

  // Under this lock no other run can begin an edit until it is gone; one that held it did.
  Lock.l_type   = F_WRLCK;
  Lock.l_whence = SEEK_SET;
  if (fcntl (Fd, F_OFD_SETLK, &Lock) != 0) {
    return "another program has it open now";
  }

  if (!ReadAll (Fd, Made->Bytes.size (), &Bytes) || (Bytes != Made->Bytes)) {
    return "it has changed since this run made it (another run edited it)";
  }

  return NULL;
}

const char *
RemoveMadeFile (const char *Path, const MADE_FILE *Made)
{
  const char *Reason;
  int         Fd = open (Path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);

  if (Fd < 0) {
    return (errno == ENOENT) ? "it is gone already" : "it can no longer be opened";
  }

  Reason = KeepReason (Fd, Made);
  if ((Reason == NULL) && (unlink (Path) != 0)) {
    Reason = "it cannot be removed";
  }

  close (Fd);
  return Reason;
}

/** @file
  NVRAM file input, output and locking on Linux.
**/

#include "vars/NvramFile.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sysexits.h>
#include <unistd.h>

// AAVMF's file, its whole flash device, is the largest at exactly 64 MiB; a larger file, a disk
// image named by mistake most likely, is not read in.
#define NVRAM_FILE_MAX_SIZE (64 * 1024 * 1024)

static int
Fail (std::string *Error, int Code, const std::string &Message, int Errno = 0)
{
  *Error = Message;
  if (Errno != 0) {
    *Error += ": ";
    *Error += strerror (Errno);
  }

  return Code;
}

static bool
CanWrite (int Errno)
{
  return (Errno != EACCES) && (Errno != EPERM) && (Errno != EROFS);
}

/**
  A lock of any kind on any byte, by anyone but this open file description,
  conflicts with a write lock over the whole file.
**/
static int
CheckUnlocked (NVRAM_FILE *File, std::string *Error)
{
  struct flock Lock;

  memset (&Lock, 0, sizeof (Lock));
  Lock.l_type   = F_WRLCK;
  Lock.l_whence = SEEK_SET;
  if (fcntl (File->Fd, F_OFD_GETLK, &Lock) != 0) {
    return Fail (Error, EX_TEMPFAIL, "cannot tell whether a virtual machine is using it", errno);
  }

  if (Lock.l_type != F_UNLCK) {
    return Fail (
        Error, EX_TEMPFAIL, "it is in use (locked, by a running virtual machine most likely)");
  }

  Lock.l_type = F_WRLCK;
  if (File->Writable && (fcntl (File->Fd, F_OFD_SETLK, &Lock) != 0)) {
    return Fail (
        Error, EX_TEMPFAIL, "it is in use (locked, by a running virtual machine most likely)");
  }

  return 0;
}

int
OpenNvramFile (const char *Path, NVRAM_FILE *File, std::string *Error)
{
  char    Resolved[PATH_MAX];
  ssize_t Count;
  size_t  Done;

  if (realpath (Path, Resolved) == NULL) {
    return Fail (Error, EX_NOINPUT, "cannot open it", errno);
  }

  File->Path     = Resolved;
  File->Writable = true;
  File->Fd       = open (Resolved, O_RDWR | O_CLOEXEC);
  if ((File->Fd < 0) && !CanWrite (errno)) {
    File->Writable = false;
    File->Fd       = open (Resolved, O_RDONLY | O_CLOEXEC);
  }

  if (File->Fd < 0) {
    return Fail (Error, EX_NOINPUT, "cannot open it", errno);
  }

  if (fstat (File->Fd, &File->Status) != 0) {
    return Fail (Error, EX_NOINPUT, "cannot read it", errno);
  }

  if (!S_ISREG (File->Status.st_mode)) {
    return Fail (Error, EX_NOINPUT, "it is not a regular file");
  }

  if (File->Status.st_size > NVRAM_FILE_MAX_SIZE) {
    return Fail (Error, EX_DATAERR, "it is far too large to be an NVRAM file");
  }

  int Code = CheckUnlocked (File, Error);

  if (Code != 0) {
    return Code;
  }

  File->Bytes.resize (static_cast<size_t> (File->Status.st_size));
  for (Done = 0; Done < File->Bytes.size (); Done += static_cast<size_t> (Count)) {
    Count = pread (File->Fd, File->Bytes.data () + Done, File->Bytes.size () - Done, Done);
    if (Count <= 0) {
      return Fail (Error, EX_NOINPUT, "cannot read it", (Count < 0) ? errno : EIO);
    }
  }

  return 0;
}

static bool
WriteAll (int Fd, const std::vector<UINT8> &Bytes)
{
  ssize_t Count;

  for (size_t Done = 0; Done < Bytes.size (); Done += static_cast<size_t> (Count)) {
    Count = write (Fd, Bytes.data () + Done, Bytes.size () - Done);
    if (Count < 0) {
      return false;
    }
  }

  return true;
}

int
ReplaceNvramFile (const NVRAM_FILE *File, const std::vector<UINT8> &Bytes, std::string *Error)
{
  std::string Directory = File->Path.substr (0, File->Path.rfind ('/') + 1);
  std::string Temporary = Directory + "." + File->Path.substr (Directory.size ()) + ".XXXXXX";
  struct stat Created;
  int         Fd;
  int         Saved;

  if (!File->Writable) {
    return Fail (Error, EX_CANTCREAT, "it is read-only; nothing was written");
  }

  Fd = mkostemp (&Temporary[0], O_CLOEXEC);
  if (Fd < 0) {
    return Fail (Error, EX_CANTCREAT, "cannot create a new file beside it", errno);
  }

  // The replacement takes the old file's place, so it takes its mode and owner too.
  if (!WriteAll (Fd, Bytes) || (fsync (Fd) != 0) || (fstat (Fd, &Created) != 0) ||
      (fchmod (Fd, File->Status.st_mode & 07777) != 0) ||
      (((Created.st_uid != File->Status.st_uid) || (Created.st_gid != File->Status.st_gid)) &&
       (fchown (Fd, File->Status.st_uid, File->Status.st_gid) != 0))) {
    Saved = errno;
    close (Fd);
    unlink (Temporary.c_str ());
    return Fail (Error, EX_CANTCREAT, "cannot write its replacement " + Temporary, Saved);
  }

  if (close (Fd) != 0) {
    Saved = errno;
    unlink (Temporary.c_str ());
    return Fail (Error, EX_CANTCREAT, "cannot write its replacement " + Temporary, Saved);
  }

  if (rename (Temporary.c_str (), File->Path.c_str ()) != 0) {
    Saved = errno;
    unlink (Temporary.c_str ());
    return Fail (Error, EX_CANTCREAT, "cannot rename its replacement over it", Saved);
  }

  // The rename is durable only once the directory is on disk as well.
  Fd = open (Directory.c_str (), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if ((Fd < 0) || (fsync (Fd) != 0)) {
    Saved = errno;
    if (Fd >= 0) {
      close (Fd);
    }

    return Fail (Error, EX_CANTCREAT, "replaced it, but cannot flush its folder", Saved);
  }

  close (Fd);
  return 0;
}

VOID
CloseNvramFile (NVRAM_FILE *File)
{
  if (File->Fd >= 0) {
    close (File->Fd);
    File->Fd = -1;
  }
}

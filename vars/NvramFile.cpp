/** @file
  NVRAM file input, output in place and locking on Linux.
**/

#include "vars/NvramFile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
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

// QEMU's file driver (block/file-posix.c) locks one byte for each permission from
// RAW_LOCK_PERM_BASE (100) and one for each it does not share from RAW_LOCK_SHARED_BASE (200).
#define QEMU_LOCK_FIRST 100
#define QEMU_LOCK_END   300

/**
  Names the holder of a lock that conflicts with this run's: QEMU locks
  single bytes in its range, while this tool locks the whole file.
**/
static int
InUse (const struct flock *Lock, std::string *Error)
{
  if ((Lock->l_type != F_UNLCK) && (Lock->l_len == 1) && (Lock->l_start >= QEMU_LOCK_FIRST) &&
      (Lock->l_start < QEMU_LOCK_END)) {
    return Fail (
        Error, EX_TEMPFAIL,
        "it is in use by a running virtual machine (QEMU holds its locks); shut the machine down "
        "first");
  }

  return Fail (
      Error, VARS_EXIT_IN_USE_BY_EDITOR,
      "it is locked by another program (another brisvane-vars, most likely); try again once it "
      "is done");
}

static void
WholeFile (struct flock *Lock, short Type)
{
  memset (Lock, 0, sizeof (*Lock));
  Lock->l_type   = Type;
  Lock->l_whence = SEEK_SET;
}

/**
  Any lock by anyone else conflicts with a write lock over the whole file, so
  that test finds QEMU's shared locks too; then this run's lock is taken,
  for writing when the file is open for writing.
**/
static int
LockFile (NVRAM_FILE *File, std::string *Error)
{
  struct flock Lock;

  WholeFile (&Lock, F_WRLCK);
  if (fcntl (File->Fd, F_OFD_GETLK, &Lock) != 0) {
    return Fail (Error, EX_OSERR, "cannot test the locks on it", errno);
  }

  if (Lock.l_type != F_UNLCK) {
    return InUse (&Lock, Error);
  }

  WholeFile (&Lock, File->Writable ? F_WRLCK : F_RDLCK);
  if (fcntl (File->Fd, F_OFD_SETLK, &Lock) == 0) {
    return 0;
  }

  if ((errno != EAGAIN) && (errno != EACCES)) {
    return Fail (Error, EX_OSERR, "cannot lock it", errno);
  }

  // Taken meanwhile: whoever holds it now.
  WholeFile (&Lock, F_WRLCK);
  if (fcntl (File->Fd, F_OFD_GETLK, &Lock) != 0) {
    Lock.l_type = F_UNLCK;
  }

  return InUse (&Lock, Error);
}

static const char *
FileKind (mode_t Mode)
{
  return S_ISFIFO (Mode)   ? "a FIFO (named pipe)"
         : S_ISCHR (Mode)  ? "a character device"
         : S_ISBLK (Mode)  ? "a block device"
         : S_ISDIR (Mode)  ? "a directory"
         : S_ISSOCK (Mode) ? "a socket"
                           : "not a regular file";
}

/**
  Opens for reading, and for writing when the user may, the very file that
  Probe refers to: through /proc, or by its path again where there is no
  /proc, then made sure to be the same. O_NONBLOCK and O_NOCTTY keep a file
  swapped in meanwhile from blocking or becoming the terminal.
**/
static int
Reopen (int Probe, const char *Path, const struct stat *Probed, NVRAM_FILE *File)
{
  char        Name[64];
  struct stat Opened;
  int         Flags = O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

  snprintf (Name, sizeof (Name), "/proc/self/fd/%d", Probe);
  for (const char *Through : { (const char *)Name, Path }) {
    File->Writable = true;
    File->Fd       = open (Through, O_RDWR | Flags);
    if ((File->Fd < 0) && !CanWrite (errno)) {
      File->Writable = false;
      File->Fd       = open (Through, O_RDONLY | Flags);
    }

    if ((File->Fd >= 0) || (errno != ENOENT)) {
      break;
    }
  }

  if (File->Fd < 0) {
    return errno;
  }

  if (fstat (File->Fd, &Opened) != 0) {
    return errno;
  }

  return ((Opened.st_dev == Probed->st_dev) && (Opened.st_ino == Probed->st_ino)) ? 0 : -1;
}

int
OpenNvramFile (const char *Path, NVRAM_FILE *File, std::string *Error)
{
  struct stat Status;
  ssize_t     Count;
  size_t      Done;
  int         Probe;
  int         Failure;

  // A path descriptor opens nothing: no FIFO can block it and no device sees it.
  Probe = open (Path, O_PATH | O_CLOEXEC);
  if (Probe < 0) {
    return Fail (Error, EX_NOINPUT, "cannot open it", errno);
  }

  Failure = (fstat (Probe, &Status) != 0) ? errno : 0;
  if ((Failure == 0) && S_ISREG (Status.st_mode)) {
    Failure = Reopen (Probe, Path, &Status, File);
  }

  close (Probe);
  if (Failure < 0) {
    return Fail (Error, EX_NOINPUT, "it was replaced while it was being opened");
  }

  if (Failure != 0) {
    return Fail (Error, EX_NOINPUT, "cannot open it", Failure);
  }

  if (!S_ISREG (Status.st_mode)) {
    return Fail (
        Error, EX_NOINPUT,
        std::string ("it is ") + FileKind (Status.st_mode) + ", not an NVRAM file");
  }

  if (Status.st_size > NVRAM_FILE_MAX_SIZE) {
    return Fail (Error, EX_DATAERR, "it is far too large to be an NVRAM file");
  }

  int Code = LockFile (File, Error);

  if (Code != 0) {
    return Code;
  }

  File->Bytes.resize (static_cast<size_t> (Status.st_size));
  for (Done = 0; Done < File->Bytes.size (); Done += static_cast<size_t> (Count)) {
    Count = pread (File->Fd, File->Bytes.data () + Done, File->Bytes.size () - Done, Done);
    if (Count <= 0) {
      return Fail (Error, EX_NOINPUT, "cannot read it", (Count < 0) ? errno : EIO);
    }
  }

  return 0;
}

// One step of a plan: its bytes written whole, or a flush.
static bool
MakeStep (int Fd, const NVRAM_WRITE_PLAN *Plan, const NVRAM_WRITE *Step)
{
  ssize_t Count;

  if (Step->Size == 0) {
    return fdatasync (Fd) == 0;
  }

  for (size_t Done = 0; Done < Step->Size; Done += static_cast<size_t> (Count)) {
    Count = pwrite (
        Fd, Plan->Bytes + Step->Data + Done, Step->Size - Done, (off_t)(Step->Offset + Done));
    if (Count <= 0) {
      errno = (Count < 0) ? errno : EIO;
      return false;
    }
  }

  return true;
}

int
WriteNvramFile (const NVRAM_FILE *File, const NVRAM_WRITE_PLAN *Plan, std::string *Error)
{
  char Progress[128];

  if (Plan->OutOfMemory) {
    return Fail (Error, EX_CANTCREAT, "no memory for its writes; nothing was written");
  }

  if ((Plan->Count != 0) && !File->Writable) {
    return Fail (Error, EX_CANTCREAT, "it is read-only; nothing was written");
  }

  for (UINTN Index = 0; Index < Plan->Count; Index++) {
    if (!MakeStep (File->Fd, Plan, &Plan->Steps[Index])) {
      snprintf (
          Progress, sizeof (Progress), "cannot write it (step %llu of %llu)",
          (unsigned long long)Index + 1, (unsigned long long)Plan->Count);
      Fail (Error, EX_CANTCREAT, Progress, errno);
      *Error += "; its writes are ordered so that it still reads as before or after them";
      return EX_CANTCREAT;
    }
  }

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

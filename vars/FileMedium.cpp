/** @file
  The regular file medium: opened in place, read and written with pread
  and pwrite, flushed with fdatasync, and kept out of a running virtual
  machine's reach.

  QEMU takes open-file-description locks on single bytes of its drive files;
  this tool locks the whole file for as long as it has it open, for writing
  when it may write, so that neither can use the file while the other has
  it, and a lock already there says who holds it.
**/

#include "vars/ExitStatus.h"
#include "vars/Medium.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

// QEMU's locks end at RAW_LOCK_SHARED_BASE (200) and one byte for each permission it does not
// share.
#define QEMU_LOCK_END 300

static bool
CanWrite (int Errno)
{
  return (Errno != EACCES) && (Errno != EPERM) && (Errno != EROFS);
}

int
RefuseRunningMachine (std::string *Error)
{
  return VarsRefusal (
      Error, VarsExitVirtualMachine,
      "it is in use by a running virtual machine (QEMU holds its locks); shut the machine down "
      "first");
}

/**
  Names the holder of a lock that conflicts with this run's: QEMU locks
  single bytes in its range, while this tool locks the whole file.
**/
static int
InUse (const struct flock *Lock, std::string *Error)
{
  if ((Lock->l_type != F_UNLCK) && (Lock->l_len == 1) && (Lock->l_start >= QEMU_LOCK_FIRST) &&
      (Lock->l_start < QEMU_LOCK_END)) {
    return RefuseRunningMachine (Error);
  }

  return VarsRefusal (
      Error, VarsExitOtherHolder,
      "it is locked by another program (another brisvane-vars, most likely); try again once it "
      "is done");
}

// The first Length bytes, 0 for the whole file.
static void
Range (struct flock *Lock, short Type, off_t Length)
{
  memset (Lock, 0, sizeof (*Lock));
  Lock->l_type   = Type;
  Lock->l_whence = SEEK_SET;
  Lock->l_len    = Length;
}

/**
  Any lock by anyone else conflicts with a write lock over the same bytes, so
  that test over the whole file finds QEMU's shared locks too; then this
  run's lock is taken, for writing when the file is open for writing.
**/
int
LockNvramFile (int Fd, bool Writable, off_t Length, std::string *Error)
{
  struct flock Lock;

  Range (&Lock, F_WRLCK, Length);
  if (fcntl (Fd, F_OFD_GETLK, &Lock) != 0) {
    return VarsRefusal (Error, VarsExitCannotLock, "cannot test the locks on it", errno);
  }

  if (Lock.l_type != F_UNLCK) {
    return InUse (&Lock, Error);
  }

  Range (&Lock, Writable ? F_WRLCK : F_RDLCK, Length);
  if (fcntl (Fd, F_OFD_SETLK, &Lock) == 0) {
    return 0;
  }

  if ((errno != EAGAIN) && (errno != EACCES)) {
    return VarsRefusal (Error, VarsExitCannotLock, "cannot lock it", errno);
  }

  // Taken meanwhile: whoever holds it now.
  Range (&Lock, F_WRLCK, Length);
  if (fcntl (Fd, F_OFD_GETLK, &Lock) != 0) {
    Lock.l_type = F_UNLCK;
  }

  return InUse (&Lock, Error);
}

int
OpenNvramPath (const char *Through, bool *Writable)
{
  int Flags = O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int Fd;

  *Writable = true;
  Fd        = open (Through, O_RDWR | Flags);
  if ((Fd < 0) && !CanWrite (errno)) {
    *Writable = false;
    Fd        = open (Through, O_RDONLY | Flags);
  }

  return Fd;
}

///
/// An NVRAM file, open and locked.
///
class FILE_MEDIUM : public NVRAM_MEDIUM {
public:
  ~FILE_MEDIUM () override
  {
    if (mFd >= 0) {
      close (mFd);
    }
  }

  int Open (const char *Path, int Probe, const struct stat *Probed, std::string *Error) override;
  int Read (std::vector<UINT8> *Image) override;
  int WriteAt (UINT64 Offset, const UINT8 *Data, UINTN Size) override;

  bool
  Writable (VOID) const override
  {
    return mWritable;
  }

  int
  Flush (VOID) override
  {
    return (fdatasync (mFd) == 0) ? 0 : errno;
  }

private:
  int   Reopen (const char *Path, int Probe, const struct stat *Probed);
  int   mFd       = -1;
  bool  mWritable = false;
  off_t mSize     = 0;
};

/**
  Opens for reading, and for writing when the user may, the very file that
  Probe refers to: through /proc, or by its path again where there is no
  /proc, then made sure to be the same. O_NONBLOCK and O_NOCTTY keep a file
  swapped in meanwhile from blocking or becoming the terminal.
**/
int
FILE_MEDIUM::Reopen (const char *Path, int Probe, const struct stat *Probed)
{
  char        Name[64];
  struct stat Opened;

  snprintf (Name, sizeof (Name), "/proc/self/fd/%d", Probe);
  for (const char *Through : { (const char *)Name, Path }) {
    mFd = OpenNvramPath (Through, &mWritable);
    if ((mFd >= 0) || (errno != ENOENT)) {
      break;
    }
  }

  if (mFd < 0) {
    return errno;
  }

  if (fstat (mFd, &Opened) != 0) {
    return errno;
  }

  return ((Opened.st_dev == Probed->st_dev) && (Opened.st_ino == Probed->st_ino)) ? 0 : -1;
}

int
FILE_MEDIUM::Open (const char *Path, int Probe, const struct stat *Probed, std::string *Error)
{
  int Failure = Reopen (Path, Probe, Probed);

  if (Failure < 0) {
    return VarsRefusal (Error, VarsExitCannotRead, "it was replaced while it was being opened");
  }

  if (Failure != 0) {
    return VarsRefusal (Error, VarsExitCannotRead, "cannot open it", Failure);
  }

  if (Probed->st_size > NVRAM_FILE_MAX_SIZE) {
    return VarsRefusal (Error, VarsExitNotAStore, "it is far too large to be an NVRAM file");
  }

  mSize = Probed->st_size;
  return LockNvramFile (mFd, mWritable, 0, Error);
}

int
FILE_MEDIUM::Read (std::vector<UINT8> *Image)
{
  ssize_t Count;

  Image->resize (static_cast<size_t> (mSize));
  for (size_t Done = 0; Done < Image->size (); Done += static_cast<size_t> (Count)) {
    Count = pread (mFd, Image->data () + Done, Image->size () - Done, Done);
    if (Count <= 0) {
      return (Count < 0) ? errno : EIO;
    }
  }

  return 0;
}

int
FILE_MEDIUM::WriteAt (UINT64 Offset, const UINT8 *Data, UINTN Size)
{
  ssize_t Count;

  for (size_t Done = 0; Done < Size; Done += static_cast<size_t> (Count)) {
    Count = pwrite (mFd, Data + Done, Size - Done, (off_t)(Offset + Done));
    if (Count <= 0) {
      return (Count < 0) ? errno : EIO;
    }
  }

  return 0;
}

std::unique_ptr<NVRAM_MEDIUM>
NewFileMedium (VOID)
{
  return std::unique_ptr<NVRAM_MEDIUM> (new FILE_MEDIUM ());
}

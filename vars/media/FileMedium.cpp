/** @file
  The regular file medium: opened in place, read and written with pread
  and pwrite, flushed with fdatasync, and kept out of a running virtual
  machine's reach.

  QEMU takes open-file-description locks on single bytes of its drive files;
  this tool locks the whole file for as long as it has it open, for writing
  when it may write, so that neither can use the file while the other has
  it, and a lock already there says who holds it (vars/media/Holders.cpp).
**/

#include "vars/media/FileMedium.h"

#include "vars/base/ExitStatus.h"
#include "vars/media/Holders.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

std::string
DescriptorPath (int Fd)
{
  return "/proc/self/fd/" + std::to_string (Fd);
}

static bool
CanWrite (int Errno)
{
  return (Errno != EACCES) && (Errno != EPERM) && (Errno != EROFS);
}

int
OpenNvramPath (const char *Through, int Flags, bool ReadOnly, bool *Writable)
{
  int Fd;

  // O_NONBLOCK and O_NOCTTY keep a file swapped in meanwhile from blocking or
  // becoming the terminal.
  Flags |= O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  *Writable = !ReadOnly;
  Fd        = ReadOnly ? -1 : open (Through, O_RDWR | Flags);
  if (ReadOnly || ((Fd < 0) && !CanWrite (errno))) {
    *Writable = false;
    Fd        = open (Through, O_RDONLY | Flags);
  }

  return Fd;
}

FILE_MEDIUM::~FILE_MEDIUM ()
{
  if (mFd >= 0) {
    close (mFd);
  }
}

/**
  Opens through /proc, or by its path again where there is no /proc, then
  made sure to be the same file.
**/
int
FILE_MEDIUM::Reopen (
    const char        *Path,
    int                Probe,
    const struct stat *Probed,
    int                Flags,
    bool               ReadOnly)
{
  std::string Name = DescriptorPath (Probe);
  struct stat Opened;

  for (const char *Through : { Name.c_str (), Path }) {
    mFd = OpenNvramPath (Through, Flags, ReadOnly, &mWritable);
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
FILE_MEDIUM::RefuseOpen (int Failure, std::string *Error)
{
  if (Failure < 0) {
    return VarsRefusal (Error, VarsExitCannotRead, "it was replaced while it was being opened");
  }

  return VarsRefusal (Error, VarsExitCannotRead, "cannot open it", Failure);
}

int
FILE_MEDIUM::Open (
    const char        *Path,
    int                Probe,
    const struct stat *Probed,
    bool               ReadOnly,
    std::string       *Error)
{
  UINT64 Size;
  int    Failure = Reopen (Path, Probe, Probed, 0, ReadOnly);

  mPath = Path;
  if ((Failure != 0) || ((Failure = Measure (&Size)) != 0)) {
    return RefuseOpen (Failure, Error);
  }

  if (Size > NVRAM_FILE_MAX_SIZE) {
    return VarsRefusal (Error, VarsExitNotAStore, "it is far too large to be an NVRAM file");
  }

  return LockMedium (mFd, mWritable, 0, Error);
}

// Moves all Size bytes at Offset with Transfer (pread or pwrite), which may move fewer at a time.
template <typename DATA, typename TRANSFER>
static int
TransferAll (TRANSFER Transfer, int Fd, UINT64 Offset, DATA *Data, UINTN Size)
{
  ssize_t Count;

  for (size_t Done = 0; Done < Size; Done += static_cast<size_t> (Count)) {
    Count = Transfer (Fd, Data + Done, Size - Done, (off_t)(Offset + Done));
    if (Count <= 0) {
      return (Count < 0) ? errno : EIO;
    }
  }

  return 0;
}

int
FILE_MEDIUM::ReadAt (UINT64 Offset, UINT8 *Data, UINTN Size)
{
  return TransferAll (pread, mFd, Offset, Data, Size);
}

int
FILE_MEDIUM::Read (std::vector<UINT8> *Image)
{
  UINT64 Size;
  int    Failure = Measure (&Size);

  // A file that grew past the limit since it was opened is left to the size check.
  if ((Failure != 0) || (Size > NVRAM_FILE_MAX_SIZE)) {
    return (Failure != 0) ? Failure : EFBIG;
  }

  Image->resize (static_cast<size_t> (Size));
  return ReadAt (0, Image->data (), Image->size ());
}

bool
FILE_MEDIUM::Writable (VOID) const
{
  return mWritable;
}

int
WriteFileAt (int Fd, UINT64 Offset, const UINT8 *Data, UINTN Size)
{
  return TransferAll (pwrite, Fd, Offset, Data, Size);
}

int
FILE_MEDIUM::WriteAt (UINT64 Offset, const UINT8 *Data, UINTN Size)
{
  return WriteFileAt (mFd, Offset, Data, Size);
}

int
FILE_MEDIUM::Flush (VOID)
{
  return (fdatasync (mFd) == 0) ? 0 : errno;
}

int
MeasureNamedFile (int Fd, const std::string &Path, UINT64 *Size)
{
  struct stat Status;
  struct stat Named;

  if (fstat (Fd, &Status) != 0) {
    return errno;
  }

  if ((Status.st_nlink == 0) || (stat (Path.c_str (), &Named) != 0) ||
      (Named.st_dev != Status.st_dev) || (Named.st_ino != Status.st_ino)) {
    return MEDIUM_REPLACED;
  }

  *Size = static_cast<UINT64> (Status.st_size);
  return 0;
}

int
FILE_MEDIUM::Measure (UINT64 *Size)
{
  return MeasureNamedFile (mFd, mPath, Size);
}

std::unique_ptr<NVRAM_MEDIUM>
NewFileMedium (VOID)
{
  return std::unique_ptr<NVRAM_MEDIUM> (new FILE_MEDIUM ());
}

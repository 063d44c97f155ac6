/** @file
  The qcow2 medium: the image opened by QEMU's own block layer, in
  qemu-storage-daemon, and read and written over NBD with libnbd, each
  flush of a plan an NBD flush, which QEMU makes a flush of the image's
  metadata and of the file. QEMU's image locks keep a running virtual
  machine's image out; QEMU says what the image carries, and what an NVRAM
  file should not carry is refused with its reason. Writes over compressed
  clusters need nothing here: QEMU writes them as normal clusters.
**/

#include "nvram/VariableStoreFormat.h"
#include "vars/base/ExitStatus.h"
#include "vars/dl/Json.h"
#include "vars/media/DaemonProcess.h"
#include "vars/media/FileMedium.h"
#include "vars/media/Holders.h"
#include "vars/media/Medium.h"
#include "vars/media/NbdMedium.h"
#include "vars/media/StorageDaemon.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

static bool HasQcow2Magic (int Fd);

///
/// A qcow2 image, served by QEMU for this run.
///
class QCOW2_MEDIUM : public NBD_MEDIUM {
public:
  // The daemon goes first, so that this run's lock on the file outlasts QEMU's use of it.
  ~QCOW2_MEDIUM () override
  {
    Disconnect ();
    if (mFd >= 0) {
      close (mFd);
    }
  }

  int
  Open (const char *Path, int Probe, const struct stat *Probed, bool ReadOnly, std::string *Error)
      override;
  int RefuseRead (int Failure, std::string *Error) override;

  // The file's own length, its name still leading to it, and its magic: a copy over it while
  // QEMU serves it shows as a change, as on a raw file.
  int
  Measure (UINT64 *Size) override
  {
    int Failure = MeasureNamedFile (mFd, mPath, Size);

    return ((Failure == 0) && !HasQcow2Magic (mFd)) ? MEDIUM_REPLACED : Failure;
  }

  // QEMU allocates clusters as it writes, and never gives them back meanwhile.
  bool
  GrowsWhenWritten (VOID) const override
  {
    return true;
  }

private:
  int         mFd = -1;
  std::string mPath;
};

int
QCOW2_MEDIUM::Open (
    const char        *Path,
    int                Probe,
    const struct stat *Probed,
    bool               ReadOnly,
    std::string       *Error)
{
  const JSON_LIBRARY *Json;
  std::string         Missing;
  int                 Code;

  (VOID) Probed;
  mPath = Path;
  Json  = LoadJsonLibrary (&Missing);
  mNbd  = (Json != NULL) ? LoadNbdLibrary (&Missing) : NULL;
  if (mNbd == NULL) {
    return VarsRefusal (Error, VarsExitMissing, "it is a qcow2 image, and " + Missing);
  }

  // Locked below QEMU's bytes, which QEMU then judges itself: another brisvane-vars is kept out
  // and told apart, and the daemon is not.
  mFd = OpenNvramPath (DescriptorPath (Probe).c_str (), 0, ReadOnly, &mWritable);
  if (mFd < 0) {
    return VarsRefusal (Error, VarsExitCannotRead, "cannot open it", errno);
  }

  Code = LockMedium (mFd, mWritable, QEMU_LOCK_FIRST, Error);
  Code = (Code == 0) ? ServeQcow2 (Json, mFd, false, Error) : Code;
  return (Code == 0) ? Connect ("it is a qcow2 image", 0, Error) : Code;
}

// QEMU's server drops the connection when it cannot read what it serves (nbd/server.c).
#define QCOW2_READ_FAILED "reading from file failed"

// What QEMU cannot read of the image it serves (data or metadata that are damaged) ends the
// connection, or over structured replies fails with EIO; a connection lost otherwise is the
// daemon's end.
int
QCOW2_MEDIUM::RefuseRead (int Failure, std::string *Error)
{
  std::string End;

  if ((Failure != ENOTCONN) && (Failure != EIO)) {
    return NVRAM_MEDIUM::RefuseRead (Failure, Error);
  }

  End = StorageDaemonEnd (&mDaemon);
  if ((Failure == EIO) || (End.find (QCOW2_READ_FAILED) != std::string::npos)) {
    return VarsRefusal (
        Error, VarsExitNotAStore, "QEMU cannot read this qcow2 image, which is damaged: " + End);
  }

  return VarsRefusal (
      Error, VarsExitStorageDaemon, "qemu-storage-daemon stopped serving it: " + End);
}

// Whether the file open as Fd starts with the qcow2 magic (QCOW_MAGIC in QEMU's block/qcow2.h).
static bool
HasQcow2Magic (int Fd)
{
  static const UINT8 Magic[4] = { 'Q', 'F', 'I', 0xfb };
  UINT8              Read[sizeof (Magic)];

  return (pread (Fd, Read, sizeof (Read), 0) == sizeof (Read)) &&
         (memcmp (Read, Magic, sizeof (Magic)) == 0);
}

bool
IsQcow2Header (const UINT8 *Start, UINTN Size)
{
  static const UINT8 Magic[4] = { 'Q', 'F', 'I', 0xfb };
  NVRAM_FV_HEADER    Header;

  // A variable store, whatever its first bytes, is raw: its volume's signature is where a qcow2
  // header keeps its L1 table's offset, which QEMU takes only cluster-aligned.
  if (Size < sizeof (Header)) {
    return false;
  }

  memcpy (&Header, Start, sizeof (Header));
  return (memcmp (Start, Magic, sizeof (Magic)) == 0) && (Header.Signature != NVRAM_FVH_SIGNATURE);
}

bool
IsQcow2Image (int Probe)
{
  UINT8 Start[sizeof (NVRAM_FV_HEADER)];
  int   Fd;
  bool  Is;

  Fd = open (DescriptorPath (Probe).c_str (), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  Is = (Fd >= 0) && (pread (Fd, Start, sizeof (Start), 0) == sizeof (Start)) &&
       IsQcow2Header (Start, sizeof (Start));

  if (Fd >= 0) {
    close (Fd);
  }

  return Is;
}

std::unique_ptr<NVRAM_MEDIUM>
NewQcow2Medium (VOID)
{
  return std::unique_ptr<NVRAM_MEDIUM> (new QCOW2_MEDIUM ());
}

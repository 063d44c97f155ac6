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
#include "vars/dl/Nbd.h"
#include "vars/media/FileMedium.h"
#include "vars/media/Holders.h"
#include "vars/media/Medium.h"
#include "vars/media/Qcow2Refusal.h"
#include "vars/media/StorageDaemon.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

// The most bytes in one NBD request; QEMU's server takes up to 32 MiB.
#define NBD_CHUNK (1024 * 1024)

static bool HasQcow2Magic (int Fd);

///
/// A qcow2 image, served by QEMU for this run.
///
class QCOW2_MEDIUM : public NVRAM_MEDIUM {
public:
  ~QCOW2_MEDIUM () override
  {
    if (mHandle != NULL) {
      mNbd->Shutdown (mHandle, 0);
      mNbd->Close (mHandle);
    }

    if (mDaemon.Log >= 0) {
      StopStorageDaemon (&mDaemon);
    }

    if (mFd >= 0) {
      close (mFd);
    }
  }

  int
  Open (const char *Path, int Probe, const struct stat *Probed, bool ReadOnly, std::string *Error)
      override;
  int Read (std::vector<UINT8> *Image) override;
  int RefuseRead (int Failure, std::string *Error) override;
  int WriteAt (UINT64 Offset, const UINT8 *Data, UINTN Size) override;

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

  bool
  Writable (VOID) const override
  {
    return mWritable;
  }

  int
  Flush (VOID) override
  {
    return (mNbd->Flush (mHandle, 0) == 0) ? 0 : Failure ();
  }

private:
  int Serve (const JSON_LIBRARY *Json, std::string *Error);

  // One request per chunk of at most NBD_CHUNK bytes, with Request (libnbd's pread or pwrite).
  template <typename DATA, typename REQUEST>
  int
  InChunks (REQUEST Request, UINT64 Offset, DATA *Data, UINTN Size)
  {
    for (UINTN Done = 0; Done < Size; Done += NBD_CHUNK) {
      UINTN Count = std::min (Size - Done, static_cast<UINTN> (NBD_CHUNK));

      if (Request (mHandle, Data + Done, Count, Offset + Done, 0) != 0) {
        return Failure ();
      }
    }

    return 0;
  }
  int Connect (std::string *Error);

  // A lost connection (the daemon ended) as such, rather than libnbd's EINVAL for its state.
  int
  Failure (VOID) const
  {
    if (mNbd->IsDead (mHandle) == 1) {
      return ENOTCONN;
    }

    return (mNbd->Errno () != 0) ? mNbd->Errno () : EIO;
  }

  const NBD_LIBRARY *mNbd      = NULL;
  int                mFd       = -1;
  bool               mWritable = false;
  std::string        mPath;
  UINT64             mSize   = 0;
  nbd_handle        *mHandle = NULL;
  STORAGE_DAEMON     mDaemon = { -1, -1, -1, "", "", false };
};

// Starts QEMU on the image and judges what it reports.
int
QCOW2_MEDIUM::Serve (const JSON_LIBRARY *Json, std::string *Error)
{
  json_object         *Reply = NULL;
  std::string          Message;
  STORAGE_DAEMON_START Start;
  int                  Code;

  Start = StartStorageDaemon (
      Json, mFd, mWritable,
      "{\"execute\":\"query-named-block-nodes\",\"arguments\":{\"flat\":true}}", &mDaemon, &Reply,
      &Message);
  if (Start != StorageDaemonReady) {
    return RefuseQcow2Start (Start, Message, Error);
  }

  Code = JudgeQcow2Image (Json, Reply, mDaemon.ExternalData, Error);
  Json->Put (Reply);
  return Code;
}

int
QCOW2_MEDIUM::Connect (std::string *Error)
{
  int64_t Size;

  mHandle = mNbd->Create ();
  if ((mHandle == NULL) || (mNbd->SetExportName (mHandle, STORAGE_DAEMON_NODE) != 0) ||
      (mNbd->ConnectUnix (mHandle, mDaemon.Socket.c_str ()) != 0)) {
    return VarsRefusal (
        Error, VarsExitStorageDaemon,
        std::string ("it is a qcow2 image, and QEMU's export of it cannot be reached: ") +
            mNbd->Error ());
  }

  ForgetStorageDaemonFolder (&mDaemon);
  Size = mNbd->Size (mHandle);
  if (Size < 0) {
    return VarsRefusal (Error, VarsExitCannotRead, "cannot size it", Failure ());
  }

  if (Size > NVRAM_FILE_MAX_SIZE) {
    return VarsRefusal (Error, VarsExitNotAStore, "it is far too large to be an NVRAM file");
  }

  mSize = static_cast<UINT64> (Size);
  return 0;
}

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
  Code = (Code == 0) ? Serve (Json, Error) : Code;
  return (Code == 0) ? Connect (Error) : Code;
}

int
QCOW2_MEDIUM::Read (std::vector<UINT8> *Image)
{
  Image->resize (static_cast<size_t> (mSize));
  return InChunks (mNbd->Pread, 0, Image->data (), Image->size ());
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

int
QCOW2_MEDIUM::WriteAt (UINT64 Offset, const UINT8 *Data, UINTN Size)
{
  return InChunks (mNbd->Pwrite, Offset, Data, Size);
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
IsQcow2Image (int Probe)
{
  NVRAM_FV_HEADER Start;
  int             Fd;
  bool            Is;

  // A variable store, whatever its first bytes, is raw: its volume's signature is where a qcow2
  // header keeps its L1 table's offset, which QEMU takes only cluster-aligned.
  Fd = open (DescriptorPath (Probe).c_str (), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  Is = (Fd >= 0) && HasQcow2Magic (Fd) &&
       (pread (Fd, &Start, sizeof (Start), 0) == sizeof (Start)) &&
       (Start.Signature != NVRAM_FVH_SIGNATURE);

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

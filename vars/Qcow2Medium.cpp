/** @file
  The qcow2 medium: the image opened by QEMU's own block layer, in
  qemu-storage-daemon, and read and written over NBD with libnbd, each
  flush of a plan an NBD flush, which QEMU makes a flush of the image's
  metadata and of the file. QEMU's image locks keep a running virtual
  machine's image out; QEMU says what the image carries, and what an NVRAM
  file should not carry is refused with its reason. Writes over compressed
  clusters need nothing here: QEMU writes them as normal clusters.
**/

#include "vars/ExitStatus.h"
#include "vars/FileMedium.h"
#include "vars/Holders.h"
#include "vars/Json.h"
#include "vars/Medium.h"
#include "vars/Nbd.h"
#include "vars/StorageDaemon.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

// The most bytes in one NBD request; QEMU's server takes up to 32 MiB.
#define NBD_CHUNK (1024 * 1024)

///
/// What QEMU reports of the image that refuses it: a value at a path in its
/// node's information, and the refusal, with the value in place of %s.
///
typedef struct {
  const char *Path;
  int         Code;
  const char *Message;
} QCOW2_REFUSAL;

static const QCOW2_REFUSAL mRefusals[] = {
  { "image/backing-filename", VarsExitQcow2Feature,
    "it is a qcow2 image over the backing file %s, while an NVRAM file holds its whole store; "
    "make it standalone first (qemu-img convert -O qcow2)" },
  { "image/format-specific/data/data-file", VarsExitQcow2Feature,
    "it is a qcow2 image whose data are in the file %s, while an NVRAM file holds its whole "
    "store; make it standalone first (qemu-img convert -O qcow2)" },
  { "encrypted", VarsExitQcow2Feature,
    "it is an encrypted qcow2 image, and brisvane-vars takes no key" },
  { "image/format-specific/data/corrupt", VarsExitNotAStore,
    "QEMU marks this qcow2 image corrupt; repair it first (qemu-img check -r all)" },
};

///
/// What QEMU says when it cannot open the image, by a phrase in its message;
/// no message of our own for a running machine's locks, as on a raw file.
///
typedef struct {
  const char *Phrase;
  int         Code;
  const char *Message;
} QCOW2_FAILURE;

static const QCOW2_FAILURE mFailures[] = {
  { "\" lock", VarsExitVirtualMachine, NULL }, // Failed to get [shared] "write" lock
  { "encrypt", VarsExitQcow2Feature,
    "it is an encrypted qcow2 image, and brisvane-vars takes no key (QEMU: %s)" },
  { "", VarsExitNotAStore, "QEMU cannot open it as a qcow2 image: %s" },
};

static bool HasQcow2Magic (int Fd);

static int
Refuse (std::string *Error, int Code, const char *Message, const char *Value)
{
  char Text[1024];

  snprintf (Text, sizeof (Text), Message, Value);
  return VarsRefusal (Error, Code, Text);
}

// The node's information in QEMU's answer to query-named-block-nodes.
static json_object *
NodeOf (const JSON_LIBRARY *Json, json_object *Reply)
{
  json_object *Nodes = JsonAt (Json, Reply, "return");

  for (size_t Index = 0; Index < Json->Length (Nodes); Index++) {
    json_object *Name = JsonAt (Json, Json->At (Nodes, Index), "node-name");

    if ((Name != NULL) && (strcmp (Json->String (Name), STORAGE_DAEMON_NODE) == 0)) {
      return Json->At (Nodes, Index);
    }
  }

  return NULL;
}

static int
Judge (const JSON_LIBRARY *Json, json_object *Reply, std::string *Error)
{
  json_object *Node = NodeOf (Json, Reply);

  if (Node == NULL) {
    return VarsRefusal (Error, VarsExitCannotRead, "QEMU does not describe the image it opened");
  }

  for (const QCOW2_REFUSAL &Refusal : mRefusals) {
    json_object *Value = JsonAt (Json, Node, Refusal.Path);

    if ((Value != NULL) && Json->Boolean (Value)) {
      return Refuse (Error, Refusal.Code, Refusal.Message, Json->String (Value));
    }
  }

  return 0;
}

static int
Explain (const std::string &Message, std::string *Error)
{
  for (const QCOW2_FAILURE &Failure : mFailures) {
    if (Message.find (Failure.Phrase) == std::string::npos) {
      continue;
    }

    return (Failure.Message == NULL)
               ? RefuseRunningMachine (Error)
               : Refuse (Error, Failure.Code, Failure.Message, Message.c_str ());
  }

  return VarsExitNotAStore;
}

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

    if (mDaemon.Pid > 0) {
      StopStorageDaemon (&mDaemon);
    }

    if (mFd >= 0) {
      close (mFd);
    }
  }

  int Open (const char *Path, int Probe, const struct stat *Probed, std::string *Error) override;
  int Read (std::vector<UINT8> *Image) override;
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
  int Connect (std::string *Error);

  int
  Failure (VOID) const
  {
    return (mNbd->Errno () != 0) ? mNbd->Errno () : EIO;
  }

  const NBD_LIBRARY *mNbd      = NULL;
  int                mFd       = -1;
  bool               mWritable = false;
  std::string        mPath;
  UINT64             mSize   = 0;
  nbd_handle        *mHandle = NULL;
  STORAGE_DAEMON     mDaemon = { -1, -1, -1, "", "", "" };
};

// Starts QEMU on the image and judges what it reports.
int
QCOW2_MEDIUM::Serve (const JSON_LIBRARY *Json, std::string *Error)
{
  json_object *Reply = NULL;
  std::string  Message;
  int          Code;

  switch (StartStorageDaemon (
      Json, mFd, mWritable,
      "{\"execute\":\"query-named-block-nodes\",\"arguments\":{\"flat\":true}}", &mDaemon, &Reply,
      &Message)) {
  case StorageDaemonMissing:
    return VarsRefusal (
        Error, VarsExitMissing,
        "it is a qcow2 image, and qemu-storage-daemon is missing: install the Debian package "
        "qemu-system-common");
  case StorageDaemonFailed:
    return Explain (Message, Error);
  default:
    Code = Judge (Json, Reply, Error);
    Json->Put (Reply);
    return Code;
  }
}

int
QCOW2_MEDIUM::Connect (std::string *Error)
{
  int64_t Size;

  mHandle = mNbd->Create ();
  if ((mHandle == NULL) || (mNbd->SetExportName (mHandle, STORAGE_DAEMON_NODE) != 0) ||
      (mNbd->ConnectUnix (mHandle, mDaemon.Socket.c_str ()) != 0)) {
    return VarsRefusal (
        Error, VarsExitCannotRead, std::string ("cannot reach QEMU's export: ") + mNbd->Error ());
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
QCOW2_MEDIUM::Open (const char *Path, int Probe, const struct stat *Probed, std::string *Error)
{
  const JSON_LIBRARY *Json;
  std::string         Missing;
  char                Name[64];
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
  snprintf (Name, sizeof (Name), "/proc/self/fd/%d", Probe);
  mFd = OpenNvramPath (Name, 0, &mWritable);
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
  for (size_t Done = 0; Done < Image->size (); Done += NBD_CHUNK) {
    size_t Count = std::min (Image->size () - Done, static_cast<size_t> (NBD_CHUNK));

    if (mNbd->Pread (mHandle, Image->data () + Done, Count, Done, 0) != 0) {
      return Failure ();
    }
  }

  return 0;
}

int
QCOW2_MEDIUM::WriteAt (UINT64 Offset, const UINT8 *Data, UINTN Size)
{
  for (UINTN Done = 0; Done < Size; Done += NBD_CHUNK) {
    UINTN Count = std::min (Size - Done, static_cast<UINTN> (NBD_CHUNK));

    if (mNbd->Pwrite (mHandle, Data + Done, Count, Offset + Done, 0) != 0) {
      return Failure ();
    }
  }

  return 0;
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
  char Name[64];
  int  Fd;
  bool Is;

  snprintf (Name, sizeof (Name), "/proc/self/fd/%d", Probe);
  Fd = open (Name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  Is = (Fd >= 0) && HasQcow2Magic (Fd);
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

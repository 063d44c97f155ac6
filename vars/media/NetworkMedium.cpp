/** @file
  The network medium: an NVRAM that QEMU's block layer reaches by a name of
  its own (rbd:, nbd:, nbd+unix://, iscsi://), opened by qemu-nbd, which
  parses the name and speaks the protocol, and served to this run on a
  private socket handed to it as systemd hands one over. Nothing of the
  name is read here but the protocol that chooses this medium, except that
  an RBD image's watchers are asked of librbd by the same name, as QEMU
  takes it apart (vars/media/RbdHolders.h). A store whose server shows no
  one who has it open (NBD, iSCSI) is written only when the caller knows it
  is unused.
**/

#include "nvram/VariableStoreFormat.h"
#include "vars/base/ExitStatus.h"
#include "vars/media/Medium.h"
#include "vars/media/NbdMedium.h"
#include "vars/media/NetworkRefusal.h"
#include "vars/media/RbdHolders.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#define NBD_SERVER_PROGRAM "qemu-nbd"

///
/// A protocol by the start of QEMU's name for a store on it.
///
typedef struct {
  const char *Start;
  const char *Name;
  /// Who else has the store open, for a protocol whose servers tell; NULL for the others.
  int (*FindHolder) (const char *Path, int Seconds, int64_t *Ours, std::string *Error);
} NETWORK_PROTOCOL;

static const NETWORK_PROTOCOL mProtocols[] = {
  { "rbd:", "a Ceph RBD image", FindRbdHolder },
  { "nbd:", "an NBD export", NULL },
  { "nbd+unix:", "an NBD export", NULL },
  { "nbd+tcp:", "an NBD export", NULL },
  { "iscsi:", "an iSCSI LUN", NULL },
};

static const NETWORK_PROTOCOL *
ProtocolOf (const char *Path)
{
  for (const NETWORK_PROTOCOL &Protocol : mProtocols) {
    if (strncmp (Path, Protocol.Start, strlen (Protocol.Start)) == 0) {
      return &Protocol;
    }
  }

  return NULL;
}

bool
IsNetworkNvram (const char *Path)
{
  return ProtocolOf (Path) != NULL;
}

///
/// A store on the network, served by qemu-nbd for this run.
///
class NETWORK_MEDIUM : public NBD_MEDIUM {
public:
  NETWORK_MEDIUM (const NVRAM_ACCESS *Access) : mAccess (*Access)
  {
  }

  int
  Open (const char *Path, int Probe, const struct stat *Probed, bool ReadOnly, std::string *Error)
      override;

  // Its holders again, under this run's hold, where its protocol shows them.
  int
  Confirm (std::string *Error) override
  {
    return (mProtocol->FindHolder != NULL)
               ? mProtocol->FindHolder (mPath.c_str (), mAccess.Seconds, &mOurs, Error)
               : 0;
  }

  // The size its server gave: another client that resizes it is not seen, as QEMU sees none.
  int
  Measure (UINT64 *Size) override
  {
    *Size = mSize;
    return 0;
  }

private:
  int Serve (const char *Path, std::string *Error);

  // A qcow2 image on the network, which is served raw here: its bytes are no store.
  int
  RefuseQcow2 (std::string *Error)
  {
    UINT8 Start[sizeof (NVRAM_FV_HEADER)];

    if ((mSize < sizeof (Start)) || (mNbd->Pread (mHandle, Start, sizeof (Start), 0, 0) != 0) ||
        !IsQcow2Header (Start, sizeof (Start))) {
      return 0;
    }

    return VarsRefusal (
        Error, VarsExitNotAStore,
        std::string ("it is ") + mProtocol->Name +
            " holding a qcow2 image, while this tool reads a network store raw: make it a raw "
            "image (qemu-img convert -O raw)");
  }

  NVRAM_ACCESS            mAccess;
  const NETWORK_PROTOCOL *mProtocol = NULL;
  std::string             mPath;
  int64_t                 mOurs = -1; ///< This run's own watcher, once it is known.
};

// A listening socket at the daemon's path, which qemu-nbd takes over.
static int
Listen (const STORAGE_DAEMON *Daemon)
{
  struct sockaddr_un Address = {};
  int                Fd;

  if (Daemon->Socket.size () >= sizeof (Address.sun_path)) {
    errno = ENAMETOOLONG;
    return -1;
  }

  Address.sun_family = AF_UNIX;
  memcpy (Address.sun_path, Daemon->Socket.c_str (), Daemon->Socket.size () + 1);
  Fd = socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if ((Fd >= 0) &&
      ((bind (Fd, reinterpret_cast<struct sockaddr *> (&Address), sizeof (Address)) != 0) ||
       (listen (Fd, 1) != 0))) {
    close (Fd);
    return -1;
  }

  return Fd;
}

// Starts qemu-nbd on the store, raw, on a socket of this run's.
int
NETWORK_MEDIUM::Serve (const char *Path, std::string *Error)
{
  const char *const Argv[] = { NBD_SERVER_PROGRAM,
                               "--format=raw",
                               "--export-name=" STORAGE_DAEMON_NODE,
                               mWritable ? "--cache=writeback" : "--read-only",
                               "--",
                               Path,
                               NULL };
  std::string       Message;
  int               Listener;
  bool              Spawned;

  if (!PrepareDaemon (&mDaemon, &Message)) {
    return RefuseNetworkStart (mProtocol->Name, StorageDaemonFailed, Message, Error);
  }

  Listener = Listen (&mDaemon);
  Spawned  = (Listener >= 0) && SpawnDaemon (&mDaemon, -1, Listener, Argv, true);
  if (Listener >= 0) {
    close (Listener);
  }

  if (!Spawned) {
    Message = std::string ("cannot start " NBD_SERVER_PROGRAM ": ") + strerror (errno);
    return RefuseNetworkStart (
        mProtocol->Name, FailedDaemon (&mDaemon, StorageDaemonFailed, &Message), Message, Error);
  }

  return 0;
}

int
NETWORK_MEDIUM::Open (
    const char        *Path,
    int                Probe,
    const struct stat *Probed,
    bool               ReadOnly,
    std::string       *Error)
{
  std::string Missing;
  std::string What;
  int         Code;

  (VOID) Probe;
  (VOID) Probed;
  mProtocol = ProtocolOf (Path);
  What      = std::string ("it is ") + mProtocol->Name;
  mNbd      = LoadNbdLibrary (&Missing);
  if (mNbd == NULL) {
    return VarsRefusal (Error, VarsExitMissing, What + ", and " + Missing);
  }

  mWritable = !ReadOnly;
  mPath     = Path;
  if (mWritable && (mProtocol->FindHolder == NULL) && !mAccess.Unused) {
    return RefuseUnseenHolders (mProtocol->Name, Error);
  }

  // Looked for before the store is opened for writing, which would take a running machine's lock.
  Code = (mWritable && (mProtocol->FindHolder != NULL))
             ? mProtocol->FindHolder (Path, mAccess.Seconds, NULL, Error)
             : 0;
  Code = (Code == 0) ? Serve (Path, Error) : Code;
  if ((Code == 0) && (Connect (What.c_str (), mAccess.Seconds, Error) != 0)) {
    if (mLate) {
      KillDaemon (&mDaemon);
    }

    Code = RefuseNetworkOpen (
        mProtocol->Name, mLate ? mAccess.Seconds : 0, StorageDaemonEnd (&mDaemon), Error);
  }

  Code = (Code == 0) ? RefuseQcow2 (Error) : Code;

  // This run's qemu-nbd is now the one watcher there may be, which Confirm then tells apart.
  return ((Code == 0) && mWritable && (mProtocol->FindHolder != NULL))
             ? mProtocol->FindHolder (Path, mAccess.Seconds, &mOurs, Error)
             : Code;
}

std::unique_ptr<NVRAM_MEDIUM>
NewNetworkMedium (const NVRAM_ACCESS *Access)
{
  return std::unique_ptr<NVRAM_MEDIUM> (new NETWORK_MEDIUM (Access));
}

/** @file
  The network medium: an NVRAM that QEMU's block layer reaches by a name of
  its own (rbd:, nbd:, nbd+unix://, iscsi://), opened by qemu-nbd, which
  parses the name and speaks the protocol, and served to this run on a
  private socket handed to it as systemd hands one over; a qcow2 image
  there is served on by qemu-storage-daemon over that export, as a qcow2
  file is. Nothing of the
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

  // qemu-storage-daemon first, where it serves a qcow2 image, then the qemu-nbd under it.
  ~NETWORK_MEDIUM () override
  {
    Disconnect ();
    if (mServer.Log >= 0) {
      StopStorageDaemon (&mServer);
    }

    if (mSpare >= 0) {
      close (mSpare);
    }
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

  int ServeImage (const std::string &What, std::string *Error);

  NVRAM_ACCESS            mAccess;
  const NETWORK_PROTOCOL *mProtocol = NULL;
  std::string             mPath;
  int64_t                 mOurs = -1; ///< This run's own watcher, once it is known.
  /// A second connection to qemu-nbd, made at its start, on which qemu-storage-daemon takes a
  /// qcow2 image; and qemu-nbd, once that daemon serves the image in its place.
  int            mSpare  = -1;
  STORAGE_DAEMON mServer = { -1, -1, -1, "", "", false };
};

// A socket at the daemon's path: listening, which qemu-nbd takes over, or connected to it.
static int
SocketAt (const STORAGE_DAEMON *Daemon, bool Listening)
{
  struct sockaddr_un     Address = {};
  const struct sockaddr *At      = reinterpret_cast<const struct sockaddr *> (&Address);
  int                    Fd;

  if (Daemon->Socket.size () >= sizeof (Address.sun_path)) {
    errno = ENAMETOOLONG;
    return -1;
  }

  Address.sun_family = AF_UNIX;
  memcpy (Address.sun_path, Daemon->Socket.c_str (), Daemon->Socket.size () + 1);
  Fd = socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if ((Fd >= 0) && (Listening ? ((bind (Fd, At, sizeof (Address)) != 0) || (listen (Fd, 2) != 0))
                              : (connect (Fd, At, sizeof (Address)) != 0))) {
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
                               "--shared=2",
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

  Listener = SocketAt (&mDaemon, true);
  Spawned  = (Listener >= 0) && SpawnDaemon (&mDaemon, -1, Listener, Argv, true);
  mSpare   = Spawned ? SocketAt (&mDaemon, false) : -1;
  Spawned  = Spawned && (mSpare >= 0);
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
  std::string          Missing;
  std::string          What;
  std::string          Said;
  STORAGE_DAEMON_START End;
  int                  Code;

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

    // A qemu-nbd that could not be run ended before it answered: its end tells.
    End  = FailedDaemon (&mDaemon, StorageDaemonFailed, &Said);
    Code = (End == StorageDaemonFailed)
               ? RefuseNetworkOpen (mProtocol->Name, mLate ? mAccess.Seconds : 0, Said, Error)
               : RefuseNetworkStart (mProtocol->Name, End, Said, Error);
  }

  Code = (Code == 0) ? ServeImage (What, Error) : Code;

  // This run's qemu-nbd is now the one watcher there may be, which Confirm then tells apart.
  return ((Code == 0) && mWritable && (mProtocol->FindHolder != NULL))
             ? mProtocol->FindHolder (Path, mAccess.Seconds, &mOurs, Error)
             : Code;
}

/**
  Hands a qcow2 image, as its first bytes tell, to qemu-storage-daemon over
  the spare connection, which then serves this run in qemu-nbd's place, as
  a qcow2 file is served: no backing file, no data file opened, what QEMU
  reports judged. A raw store is read on as it is.
**/
int
NETWORK_MEDIUM::ServeImage (const std::string &What, std::string *Error)
{
  UINT8               Start[sizeof (NVRAM_FV_HEADER)];
  const JSON_LIBRARY *Json;
  std::string         Missing;
  int                 Code;

  if ((mSize < sizeof (Start)) || (mNbd->Pread (mHandle, Start, sizeof (Start), 0, 0) != 0) ||
      !IsQcow2Header (Start, sizeof (Start))) {
    return 0;
  }

  Json = LoadJsonLibrary (&Missing);
  if (Json == NULL) {
    return VarsRefusal (Error, VarsExitMissing, What + " holding a qcow2 image, and " + Missing);
  }

  mNbd->Shutdown (mHandle, 0);
  mNbd->Close (mHandle);
  mHandle = NULL;
  mServer = mDaemon;
  Code    = ServeQcow2 (Json, mSpare, true, Error);
  return (Code == 0) ? Connect ((What + " holding a qcow2 image").c_str (), 0, Error) : Code;
}

std::unique_ptr<NVRAM_MEDIUM>
NewNetworkMedium (const NVRAM_ACCESS *Access)
{
  return std::unique_ptr<NVRAM_MEDIUM> (new NETWORK_MEDIUM (Access));
}

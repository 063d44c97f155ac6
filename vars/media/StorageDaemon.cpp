/** @file
  qemu-storage-daemon started, its image opened and exported through QMP,
  asked one QMP command, and stopped. Its monitor answers only once the
  daemon is in its main loop, that is once its options (the file, the NBD
  server) are in place; a QMP error on the image's open is the image's, and
  end of file before an answer means the daemon failed, its log or its end
  saying why.
**/

#include "vars/media/StorageDaemon.h"

#include "vars/base/Pause.h"
#include "vars/media/DaemonFolder.h"
#include "vars/media/DaemonMonitor.h"
#include "vars/media/DaemonProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

// The image's file through /proc, so that QEMU parses no name of ours, locked as QEMU locks drives.
static const char mFileNode[] = "{\"driver\":\"file\",\"node-name\":\"file\",\"filename\":"
                                "\"/proc/self/fd/3\",\"locking\":\"on\",\"read-only\":%s}";
// Or an export named as the daemon's, on the connection that descriptor 3 is (a network store's
// qemu-nbd), which locks nothing.
static const char mNbdNode[] =
    "{\"driver\":\"nbd\",\"node-name\":\"file\",\"export\":"
    "\"" STORAGE_DAEMON_NODE "\",\"server\":{\"type\":\"fd\",\"str\":\"3\"},"
    "\"read-only\":%s}";

// The image over it, never over a backing file that its header may name; with %s its data file
// pinned to a node that opens nothing, which QEMU takes only for an image that names one.
static const char mImage[] =
    "{\"execute\":\"blockdev-add\",\"arguments\":{\"driver\":\"qcow2\",\"node-name\":"
    "\"" STORAGE_DAEMON_NODE "\",\"read-only\":%s,\"backing\":null,%s\"file\":\"file\"}}";
static const char mPinnedData[] = "\"data-file\":{\"driver\":\"null-co\",\"read-zeroes\":true},";
// QEMU's refusal of a pinned data file for an image that names none (block/qcow2.c).
#define STORAGE_DAEMON_NO_DATA_FILE                                                                \
  "'data-file' can only be set for images with an external data file"

static const char mExport[] =
    "{\"execute\":\"block-export-add\",\"arguments\":{\"type\":\"nbd\","
    "\"id\":\"" STORAGE_DAEMON_NODE "\",\"node-name\":\"" STORAGE_DAEMON_NODE
    "\",\"name\":\"" STORAGE_DAEMON_NODE "\",\"writable\":%s}}";

// QEMU's option syntax takes a comma within a value as two.
static std::string
KeyvalValue (const std::string &Value)
{
  std::string Escaped;

  for (char Character : Value) {
    Escaped += (Character == ',') ? std::string (",,") : std::string (1, Character);
  }

  return Escaped;
}

static bool
Spawn (STORAGE_DAEMON *Daemon, int Fd, bool OverNbd, bool Writable)
{
  char              FileNode[sizeof (mNbdNode) + 8];
  const std::string Server = "addr.type=unix,addr.path=" + KeyvalValue (Daemon->Socket);
  const char *const Argv[] = { STORAGE_DAEMON_PROGRAM, "--chardev",  "stdio,id=qmp", "--monitor",
                               "chardev=qmp",          "--blockdev", FileNode,       "--nbd-server",
                               Server.c_str (),        NULL };
  int               Pair[2];
  bool              Spawned;

  snprintf (
      FileNode, sizeof (FileNode), OverNbd ? mNbdNode : mFileNode, Writable ? "false" : "true");
  if (socketpair (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Pair) != 0) {
    return false;
  }

  Spawned = SpawnDaemon (Daemon, Pair[1], Fd, Argv, false);
  close (Pair[1]);
  Daemon->Monitor = Pair[0];
  return Spawned;
}

/**
  Opens the image and exports it. First read-only with its data file
  pinned, which QEMU accepts only for an image that names one: that image
  is left unexported, its data file never opened; any other is then opened
  as asked. A failed open is the image's (QEMU's message), unless the
  daemon ended.
**/
static STORAGE_DAEMON_START
OpenImage (const JSON_LIBRARY *Json, STORAGE_DAEMON *Daemon, bool Writable, std::string *Error)
{
  char Command[sizeof (mImage) + sizeof (mPinnedData) + sizeof (mExport)];

  snprintf (Command, sizeof (Command), mImage, "true", mPinnedData);
  if (TellStorageDaemon (Json, Daemon, Command, Error)) {
    Daemon->ExternalData = true;
    return StorageDaemonReady;
  }

  if (Error->find (STORAGE_DAEMON_NO_DATA_FILE) == std::string::npos) {
    return StorageDaemonRefused;
  }

  Error->clear ();
  snprintf (Command, sizeof (Command), mImage, Writable ? "false" : "true", "");
  if (!TellStorageDaemon (Json, Daemon, Command, Error)) {
    return StorageDaemonRefused;
  }

  snprintf (Command, sizeof (Command), mExport, Writable ? "true" : "false");
  return TellStorageDaemon (Json, Daemon, Command, Error) ? StorageDaemonReady
                                                          : StorageDaemonFailed;
}

STORAGE_DAEMON_START
StartStorageDaemon (
    const JSON_LIBRARY *Json,
    int                 Fd,
    bool                OverNbd,
    bool                Writable,
    const char         *Command,
    STORAGE_DAEMON     *Daemon,
    json_object       **Reply,
    std::string        *Error)
{
  STORAGE_DAEMON_START Start;

  if (!PrepareDaemon (Daemon, Error)) {
    return StorageDaemonFailed;
  }

  if (!Spawn (Daemon, Fd, OverNbd, Writable)) {
    *Error = std::string ("cannot start " STORAGE_DAEMON_PROGRAM ": ") + strerror (errno);
    return FailedDaemon (Daemon, StorageDaemonFailed, Error);
  }

  PauseAt ("spawned");
  Start = TellStorageDaemon (Json, Daemon, "{\"execute\":\"qmp_capabilities\"}", Error)
              ? OpenImage (Json, Daemon, Writable, Error)
              : StorageDaemonFailed;
  if (Start != StorageDaemonReady) {
    return FailedDaemon (Daemon, Start, Error);
  }

  return AskStorageDaemon (Json, Daemon, Command, Reply, Error)
             ? StorageDaemonReady
             : FailedDaemon (Daemon, StorageDaemonFailed, Error);
}

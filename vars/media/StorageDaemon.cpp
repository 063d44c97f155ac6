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

// The child's status when it could not find the program, or could not run it, as a shell gives.
#define STORAGE_DAEMON_NOT_FOUND  127
#define STORAGE_DAEMON_CANNOT_RUN 126

// The image's file through /proc, so that QEMU parses no name of ours, locked as QEMU locks drives.
static const char mFileNode[] = "{\"driver\":\"file\",\"node-name\":\"file\",\"filename\":"
                                "\"/proc/self/fd/3\",\"locking\":\"on\",\"read-only\":%s}";

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

/**
  In the child: the monitor on stdin and stdout, messages to the log, the
  image as descriptor 3, and SIGTERM when the parent dies. Never returns.
**/
static void
RunDaemon (const STORAGE_DAEMON *Daemon, int Peer, int Fd, const char *const *Argv, pid_t Parent)
{
  if ((prctl (PR_SET_PDEATHSIG, SIGTERM) != 0) || (getppid () != Parent) || (dup2 (Peer, 0) < 0) ||
      (dup2 (Peer, 1) < 0) || (dup2 (Daemon->Log, 2) < 0) || (dup2 (Fd, 3) < 0) ||
      (fcntl (3, F_SETFD, 0) != 0)) {
    _exit (1);
  }

  execvp (Argv[0], const_cast<char *const *> (Argv));
  if (errno == ENOENT) {
    _exit (STORAGE_DAEMON_NOT_FOUND);
  }

  dprintf (2, STORAGE_DAEMON_PROGRAM " cannot be run: %s\n", strerror (errno));
  _exit (STORAGE_DAEMON_CANNOT_RUN);
}

static bool
Spawn (STORAGE_DAEMON *Daemon, int Fd, bool Writable)
{
  char              FileNode[sizeof (mFileNode) + 8];
  const std::string Server = "addr.type=unix,addr.path=" + KeyvalValue (Daemon->Socket);
  const char *const Argv[] = { STORAGE_DAEMON_PROGRAM, "--chardev",  "stdio,id=qmp", "--monitor",
                               "chardev=qmp",          "--blockdev", FileNode,       "--nbd-server",
                               Server.c_str (),        NULL };
  int               Pair[2];
  pid_t             Parent = getpid ();

  snprintf (FileNode, sizeof (FileNode), mFileNode, Writable ? "false" : "true");
  if (socketpair (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Pair) != 0) {
    return false;
  }

  Daemon->Pid = fork ();
  if (Daemon->Pid == 0) {
    RunDaemon (Daemon, Pair[1], Fd, Argv, Parent);
  }

  WatchDaemon (Daemon->Pid);
  close (Pair[1]);
  Daemon->Monitor = Pair[0];
  return Daemon->Pid > 0;
}

/**
  Stops it however it is (SIGTERM makes it close the image as quitting
  does), waits for it, removes its folder and closes its monitor; returns
  its wait status, or -1 when it had ended already.
**/
static int
Terminate (STORAGE_DAEMON *Daemon)
{
  int Status = -1;

  if (Daemon->Pid > 0) {
    kill (Daemon->Pid, SIGTERM);
    while ((waitpid (Daemon->Pid, &Status, 0) < 0) && (errno == EINTR)) {
    }
  }

  WatchDaemon (-1);
  Daemon->Pid = -1;
  ForgetStorageDaemonFolder (Daemon);
  ForgetDaemon ();
  if (Daemon->Monitor >= 0) {
    close (Daemon->Monitor);
    Daemon->Monitor = -1;
  }

  return Status;
}

// How a daemon that said nothing ended.
static std::string
Ended (int Status)
{
  char Text[128];

  if (WIFSIGNALED (Status)) {
    snprintf (
        Text, sizeof (Text), "it was killed by signal %d (%s)", WTERMSIG (Status),
        strsignal (WTERMSIG (Status)));
  } else {
    snprintf (Text, sizeof (Text), "it ended with status %d, saying nothing", WEXITSTATUS (Status));
  }

  return Text;
}

/**
  Stops the daemon after it failed, and tells how: a message already in
  Error is Kind's, while a daemon that ended without an answer is told by
  what it wrote, or else by how it ended.
**/
static STORAGE_DAEMON_START
Failed (STORAGE_DAEMON *Daemon, STORAGE_DAEMON_START Kind, std::string *Error)
{
  int         Status = Terminate (Daemon);
  std::string Said   = StorageDaemonSaid (Daemon);

  close (Daemon->Log);
  Daemon->Log = -1;
  if ((Status != -1) && WIFEXITED (Status) && (WEXITSTATUS (Status) == STORAGE_DAEMON_NOT_FOUND)) {
    return StorageDaemonMissing;
  }

  if ((Status != -1) && WIFEXITED (Status) && (WEXITSTATUS (Status) == STORAGE_DAEMON_CANNOT_RUN)) {
    *Error = Said;
    return StorageDaemonUnrunnable;
  }

  if (!Error->empty ()) {
    return Kind;
  }

  *Error = !Said.empty () ? Said : (Status != -1) ? Ended (Status) : "it ended";
  return StorageDaemonFailed;
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
    bool                Writable,
    const char         *Command,
    STORAGE_DAEMON     *Daemon,
    json_object       **Reply,
    std::string        *Error)
{
  std::string          Folder;
  std::string          Log;
  STORAGE_DAEMON_START Start;

  *Daemon = STORAGE_DAEMON { -1, -1, -1, "", "", false };
  if (!MakeDaemonFolder (&Folder, Error)) {
    return StorageDaemonFailed;
  }

  Log            = Folder + "/" DAEMON_FOLDER_LOG;
  Daemon->Socket = Folder + "/" DAEMON_FOLDER_SOCKET;
  Daemon->Log    = open (Log.c_str (), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  unlink (Log.c_str ());
  if ((Daemon->Log < 0) || !Spawn (Daemon, Fd, Writable)) {
    *Error = std::string ("cannot start " STORAGE_DAEMON_PROGRAM ": ") + strerror (errno);
    return Failed (Daemon, StorageDaemonFailed, Error);
  }

  PauseAt ("spawned");
  Start = TellStorageDaemon (Json, Daemon, "{\"execute\":\"qmp_capabilities\"}", Error)
              ? OpenImage (Json, Daemon, Writable, Error)
              : StorageDaemonFailed;
  if (Start != StorageDaemonReady) {
    return Failed (Daemon, Start, Error);
  }

  return AskStorageDaemon (Json, Daemon, Command, Reply, Error)
             ? StorageDaemonReady
             : Failed (Daemon, StorageDaemonFailed, Error);
}

VOID
ForgetStorageDaemonFolder (STORAGE_DAEMON *Daemon)
{
  (VOID) Daemon;
  RemoveDaemonFolder ();
}

std::string
StorageDaemonEnd (STORAGE_DAEMON *Daemon)
{
  int         Status = Terminate (Daemon);
  std::string Said   = StorageDaemonSaid (Daemon);

  return !Said.empty () ? Said : (Status != -1) ? Ended (Status) : "it ended";
}

VOID
StopStorageDaemon (STORAGE_DAEMON *Daemon)
{
  Terminate (Daemon);
  if (Daemon->Log >= 0) {
    close (Daemon->Log);
    Daemon->Log = -1;
  }
}

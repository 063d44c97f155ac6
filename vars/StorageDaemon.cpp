/** @file
  qemu-storage-daemon started, waited for, asked one QMP command, and
  stopped. Its monitor answers only once the daemon is in its main loop, that
  is once every option (the image, the NBD server, the export) is in place,
  so the first answer means it is ready; end of file before it means it
  failed, and its log says why.
**/

#include "vars/StorageDaemon.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#define STORAGE_DAEMON_PROGRAM "qemu-storage-daemon"
// The child's status when it could not find the program, as a shell gives it.
#define STORAGE_DAEMON_NOT_FOUND 127

// The image through /proc, so that QEMU parses no name of ours, locks it as it locks drives,
// and never opens a backing file that its header may name.
static const char mBlockdev[] =
    "{\"driver\":\"qcow2\",\"node-name\":\"" STORAGE_DAEMON_NODE "\",\"read-only\":%s,"
    "\"backing\":null,\"file\":{\"driver\":\"file\",\"filename\":\"/proc/self/fd/3\","
    "\"locking\":\"on\"}}";

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
  dprintf (2, "cannot run " STORAGE_DAEMON_PROGRAM ": %s\n", strerror (errno));
  _exit ((errno == ENOENT) ? STORAGE_DAEMON_NOT_FOUND : 1);
}

static bool
Spawn (STORAGE_DAEMON *Daemon, int Fd, bool Writable)
{
  char              Blockdev[sizeof (mBlockdev) + 8];
  const std::string Server = "addr.type=unix,addr.path=" + KeyvalValue (Daemon->Socket);
  const std::string Export = "type=nbd,id=" STORAGE_DAEMON_NODE ",node-name=" STORAGE_DAEMON_NODE
                             ",name=" STORAGE_DAEMON_NODE ",writable=" +
                             std::string (Writable ? "on" : "off");
  const char *const Argv[] = {
    STORAGE_DAEMON_PROGRAM, "--chardev",  "stdio,id=qmp",  "--monitor",
    "chardev=qmp",          "--blockdev", Blockdev,        "--nbd-server",
    Server.c_str (),        "--export",   Export.c_str (), NULL
  };
  int   Pair[2];
  pid_t Parent = getpid ();

  snprintf (Blockdev, sizeof (Blockdev), mBlockdev, Writable ? "false" : "true");
  if (socketpair (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Pair) != 0) {
    return false;
  }

  Daemon->Pid = fork ();
  if (Daemon->Pid == 0) {
    RunDaemon (Daemon, Pair[1], Fd, Argv, Parent);
  }

  close (Pair[1]);
  Daemon->Monitor = Pair[0];
  return Daemon->Pid > 0;
}

// The next line from the monitor, or false at its end.
static bool
ReadLine (STORAGE_DAEMON *Daemon, std::string *Line)
{
  char    Buffer[4096];
  size_t  End;
  ssize_t Count;

  while ((End = Daemon->Pending.find ('\n')) == std::string::npos) {
    Count = read (Daemon->Monitor, Buffer, sizeof (Buffer));
    if ((Count < 0) && (errno == EINTR)) {
      continue;
    }

    if (Count <= 0) {
      return false;
    }

    Daemon->Pending.append (Buffer, static_cast<size_t> (Count));
  }

  Line->assign (Daemon->Pending, 0, End);
  Daemon->Pending.erase (0, End + 1);
  return true;
}

/**
  Sends a command and reads up to its reply, past the greeting and events.
  The whole reply is handed back, or false with the monitor's error.
**/
static bool
Ask (
    const JSON_LIBRARY *Json,
    STORAGE_DAEMON     *Daemon,
    const char         *Command,
    json_object       **Reply,
    std::string        *Error)
{
  std::string  Line (Command);
  json_object *Message;

  Line += '\n';
  if (send (Daemon->Monitor, Line.data (), Line.size (), MSG_NOSIGNAL) != (ssize_t)Line.size ()) {
    return false;
  }

  while (ReadLine (Daemon, &Line)) {
    Message = Json->Parse (Line.c_str ());
    if (JsonAt (Json, Message, "return") != NULL) {
      *Reply = Message;
      return true;
    }

    if (JsonAt (Json, Message, "error/desc") != NULL) {
      *Error = Json->String (JsonAt (Json, Message, "error/desc"));
      Json->Put (Message);
      return false;
    }

    Json->Put (Message);
  }

  return false;
}

/**
  What the daemon wrote to stderr, one line: without the program's name and
  the option it failed on (QEMU's prefix), the lines joined.
**/
static std::string
LogMessage (int Log)
{
  std::string Message;
  std::string Line;
  char        Character;

  lseek (Log, 0, SEEK_SET);
  while (read (Log, &Character, 1) == 1) {
    if (Character != '\n') {
      Line += Character;
      continue;
    }

    if (Line.rfind (STORAGE_DAEMON_PROGRAM ": ", 0) == 0) {
      Line.erase (0, strlen (STORAGE_DAEMON_PROGRAM ": "));
    }

    if ((Line.rfind ("--", 0) == 0) && (Line.find (": ") != std::string::npos)) {
      Line.erase (0, Line.find (": ") + 2);
    }

    Message += (Message.empty () ? "" : "; ") + Line;
    Line.clear ();
  }

  return Message;
}

/**
  Stops it however it is (SIGTERM makes it close the image as quitting
  does), waits for it, and closes what is left; returns its wait status.
**/
static int
Terminate (STORAGE_DAEMON *Daemon)
{
  int Status = -1;

  ForgetStorageDaemonFolder (Daemon);
  if (Daemon->Pid > 0) {
    kill (Daemon->Pid, SIGTERM);
    while ((waitpid (Daemon->Pid, &Status, 0) < 0) && (errno == EINTR)) {
    }
  }

  Daemon->Pid = -1;
  close (Daemon->Monitor);
  return Status;
}

static STORAGE_DAEMON_START
Failed (STORAGE_DAEMON *Daemon, std::string *Error)
{
  int Status = Terminate (Daemon);

  if (Error->empty ()) {
    *Error = LogMessage (Daemon->Log);
  }

  close (Daemon->Log);
  return (WIFEXITED (Status) && (WEXITSTATUS (Status) == STORAGE_DAEMON_NOT_FOUND))
             ? StorageDaemonMissing
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
  const char  *Base = getenv ("TMPDIR");
  std::string  Folder;
  json_object *Ready;

  // The socket's name must fit in a UNIX socket address: a longer TMPDIR gives way to /tmp.
  if ((Base == NULL) || (strlen (Base) + sizeof ("/brisvane-vars.XXXXXX/nbd") >
                         sizeof (((struct sockaddr_un *)NULL)->sun_path))) {
    Base = "/tmp";
  }

  Folder = std::string (Base) + "/brisvane-vars.XXXXXX";

  *Daemon = STORAGE_DAEMON { -1, -1, -1, "", "", "" };
  if (mkdtemp (&Folder[0]) == NULL) {
    *Error = std::string ("cannot make a private folder for QEMU's socket: ") + strerror (errno);
    return StorageDaemonFailed;
  }

  Daemon->Folder = Folder;
  Daemon->Socket = Folder + "/nbd";
  Daemon->Log    = open ((Folder + "/log").c_str (), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  unlink ((Folder + "/log").c_str ());
  if ((Daemon->Log < 0) || !Spawn (Daemon, Fd, Writable)) {
    *Error = std::string ("cannot start " STORAGE_DAEMON_PROGRAM ": ") + strerror (errno);
    return Failed (Daemon, Error);
  }

  if (!Ask (Json, Daemon, "{\"execute\":\"qmp_capabilities\"}", &Ready, Error)) {
    return Failed (Daemon, Error);
  }

  Json->Put (Ready);
  return Ask (Json, Daemon, Command, Reply, Error) ? StorageDaemonReady : Failed (Daemon, Error);
}

VOID
ForgetStorageDaemonFolder (STORAGE_DAEMON *Daemon)
{
  if (!Daemon->Folder.empty ()) {
    unlink (Daemon->Socket.c_str ());
    rmdir (Daemon->Folder.c_str ());
    Daemon->Folder.clear ();
  }
}

VOID
StopStorageDaemon (STORAGE_DAEMON *Daemon)
{
  Terminate (Daemon);
  close (Daemon->Log);
}

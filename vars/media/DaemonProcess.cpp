/** @file
  A daemon's process for one run: its folder and log, its start with the
  descriptors it serves on, and its stop.
**/

#include "vars/media/DaemonProcess.h"

#include "vars/base/ExitStatus.h"
#include "vars/media/DaemonFolder.h"
#include "vars/media/DaemonMonitor.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

// The child's status when it could not find the program, or could not run it, as a shell gives.
#define DAEMON_NOT_FOUND  127
#define DAEMON_CANNOT_RUN 126

// systemd's names for the sockets handed over, which QEMU's programs read (util/systemd.c).
#define LISTEN_PID_NAME "LISTEN_PID="

///
/// The environment a daemon is started with: this one's, and for a socket
/// handed over, the count and a place for the daemon's own process id,
/// which only the child knows. Made before the fork, so that the child
/// allocates nothing.
///
typedef struct {
  std::vector<std::string> Entries;
  std::vector<char *>      Pointers;
} DAEMON_ENVIRONMENT;

static VOID
MakeEnvironment (DAEMON_ENVIRONMENT *Env)
{
  for (char **Entry = environ; *Entry != NULL; Entry++) {
    if (strncmp (*Entry, "LISTEN_", strlen ("LISTEN_")) != 0) {
      Env->Entries.push_back (*Entry);
    }
  }

  Env->Entries.push_back ("LISTEN_FDS=1");
  Env->Entries.push_back (LISTEN_PID_NAME "                    ");
  for (std::string &Entry : Env->Entries) {
    Env->Pointers.push_back (&Entry[0]);
  }

  Env->Pointers.push_back (NULL);
}

// In the child: its process id into the last entry, in decimal, without allocating.
static VOID
FillListenPid (DAEMON_ENVIRONMENT *Env)
{
  char *Digits = Env->Pointers[Env->Pointers.size () - 2] + strlen (LISTEN_PID_NAME);
  char  Reversed[24];
  int   Count = 0;

  for (unsigned long Pid = static_cast<unsigned long> (getpid ()); Pid != 0; Pid /= 10) {
    Reversed[Count++] = static_cast<char> ('0' + (Pid % 10));
  }

  while (Count > 0) {
    *Digits++ = Reversed[--Count];
  }

  *Digits = '\0';
}

/**
  In the child: Stdio (or the log) on stdin and stdout, messages to the log,
  Fd as descriptor 3, and SIGTERM when the parent dies. Never returns.
**/
static void
RunDaemon (
    const STORAGE_DAEMON *Daemon,
    int                   Stdio,
    int                   Fd,
    const char *const    *Argv,
    DAEMON_ENVIRONMENT   *Env,
    pid_t                 Parent)
{
  int In = (Stdio >= 0) ? Stdio : Daemon->Log;

  if ((prctl (PR_SET_PDEATHSIG, SIGTERM) != 0) || (getppid () != Parent) || (dup2 (In, 0) < 0) ||
      (dup2 (In, 1) < 0) || (dup2 (Daemon->Log, 2) < 0) || (dup2 (Fd, 3) < 0) ||
      (fcntl (3, F_SETFD, 0) != 0)) {
    _exit (1);
  }

  if (Env != NULL) {
    FillListenPid (Env);
    execvpe (Argv[0], const_cast<char *const *> (Argv), Env->Pointers.data ());
  } else {
    execvp (Argv[0], const_cast<char *const *> (Argv));
  }

  if (errno == ENOENT) {
    _exit (DAEMON_NOT_FOUND);
  }

  dprintf (2, "%s cannot be run: %s\n", Argv[0], strerror (errno));
  _exit (DAEMON_CANNOT_RUN);
}

bool
PrepareDaemon (STORAGE_DAEMON *Daemon, std::string *Error)
{
  std::string Folder;
  std::string Log;

  *Daemon = STORAGE_DAEMON { -1, -1, -1, "", "", false };
  if (!MakeDaemonFolder (&Folder, Error)) {
    return false;
  }

  Log            = Folder + "/" DAEMON_FOLDER_LOG;
  Daemon->Socket = Folder + "/" DAEMON_FOLDER_SOCKET;
  Daemon->Log    = open (Log.c_str (), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  unlink (Log.c_str ());
  if (Daemon->Log < 0) {
    *Error = std::string ("cannot make a log for QEMU in ") + Folder + ": " + strerror (errno);
    RemoveDaemonFolder ();
    ForgetDaemon ();
    return false;
  }

  return true;
}

bool
SpawnDaemon (STORAGE_DAEMON *Daemon, int Stdio, int Fd, const char *const *Argv, bool Activated)
{
  DAEMON_ENVIRONMENT Env;
  pid_t              Parent = getpid ();

  if (Activated) {
    MakeEnvironment (&Env);
  }

  Daemon->Pid = fork ();
  if (Daemon->Pid == 0) {
    RunDaemon (Daemon, Stdio, Fd, Argv, Activated ? &Env : NULL, Parent);
  }

  WatchDaemon (Daemon->Pid);
  return Daemon->Pid > 0;
}

/**
  Stops it however it is (SIGTERM makes QEMU close what it serves as
  quitting does), waits for it, removes its folder and closes its monitor;
  returns its wait status, or -1 when it had ended already.
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

// What ended a daemon: what it said, else how it ended (its wait status, -1 when unknown).
static std::string
Told (int Status, const std::string &Said)
{
  return !Said.empty () ? Said : (Status != -1) ? Ended (Status) : "it ended";
}

STORAGE_DAEMON_START
FailedDaemon (STORAGE_DAEMON *Daemon, STORAGE_DAEMON_START Kind, std::string *Error)
{
  int         Status = Terminate (Daemon);
  std::string Said   = StorageDaemonSaid (Daemon);

  close (Daemon->Log);
  Daemon->Log = -1;
  if ((Status != -1) && WIFEXITED (Status) && (WEXITSTATUS (Status) == DAEMON_NOT_FOUND)) {
    return StorageDaemonMissing;
  }

  if ((Status != -1) && WIFEXITED (Status) && (WEXITSTATUS (Status) == DAEMON_CANNOT_RUN)) {
    *Error = Said;
    return StorageDaemonUnrunnable;
  }

  if (!Error->empty ()) {
    return Kind;
  }

  *Error = Told (Status, Said);
  return StorageDaemonFailed;
}

int
RefuseDaemonStart (
    const std::string   &What,
    const char          *Program,
    const char          *Package,
    STORAGE_DAEMON_START Start,
    const std::string   &Message,
    std::string         *Error)
{
  if (Start == StorageDaemonMissing) {
    return VarsRefusal (
        Error, VarsExitMissing, What + ", and " + Program + " is missing: " + Package);
  }

  if (Start == StorageDaemonUnrunnable) {
    return VarsRefusal (Error, VarsExitMissing, What + ", and " + Message + " (" + Package + ")");
  }

  return VarsRefusal (
      Error, VarsExitStorageDaemon, What + ", and " + Program + " cannot serve it: " + Message);
}

VOID
KillDaemon (const STORAGE_DAEMON *Daemon)
{
  if (Daemon->Pid > 0) {
    kill (Daemon->Pid, SIGKILL);
  }
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

  return Told (Status, Said);
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

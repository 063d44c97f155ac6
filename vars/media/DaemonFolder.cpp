/** @file
  The storage daemon's private folder: made, marked and locked, swept when
  stale, and removed with the daemon stopped on a signal. What a signal
  handler reads is plain static storage, set before the handler can need it.
**/

#include "vars/media/DaemonFolder.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

// The mark of a folder in use: the sticky bit, which mkdtemp never sets, on a folder of its owner
// alone.
#define DAEMON_FOLDER_MODE (S_ISVTX | S_IRWXU)

// The signals that end a process by default and that it may catch; the others stop it, are
// ignored, or are faults of its own that leave nothing to trust.
static const int mSignals[] = { SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGPIPE,   SIGALRM,
                                SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF };

static char             mFolder[PATH_MAX];
static int              mFolderFd = -1;
static volatile pid_t   mDaemon   = -1;
static bool             mCatching = false;
static struct sigaction mFormer[sizeof (mSignals) / sizeof (mSignals[0])];

// Empties and removes a folder by its descriptor and its name in Base; async-signal-safe.
static VOID
RemoveAt (int Base, const char *Name, int Fd)
{
  unlinkat (Fd, DAEMON_FOLDER_SOCKET, 0);
  unlinkat (Fd, DAEMON_FOLDER_LOG, 0);
  unlinkat (Base, Name, AT_REMOVEDIR);
}

// The daemon stopped and waited for first, so that it makes nothing in the folder afterwards.
static void
OnSignal (int Signal)
{
  pid_t Daemon = mDaemon;

  if (Daemon > 0) {
    kill (Daemon, SIGTERM);
    while ((waitpid (Daemon, NULL, 0) < 0) && (errno == EINTR)) {
    }
  }

  if (mFolderFd >= 0) {
    RemoveAt (AT_FDCWD, mFolder, mFolderFd);
  } else if (mFolder[0] != 0) {
    rmdir (mFolder);
  }

  // The action is the default again (SA_RESETHAND): the signal ends the process on return.
  raise (Signal);
}

static VOID
CatchSignals (VOID)
{
  struct sigaction Action;

  memset (&Action, 0, sizeof (Action));
  Action.sa_handler = OnSignal;
  Action.sa_flags   = SA_RESETHAND;
  sigfillset (&Action.sa_mask);
  for (size_t Index = 0; Index < sizeof (mSignals) / sizeof (mSignals[0]); Index++) {
    sigaction (mSignals[Index], &Action, &mFormer[Index]);
  }

  mCatching = true;
}

// The place: TMPDIR, unless the socket's name would not fit in a UNIX socket address there.
static const char *
FolderBase (VOID)
{
  const char *Base = getenv ("TMPDIR");

  if ((Base == NULL) || (*Base == 0) ||
      (strlen (Base) + sizeof ("/" DAEMON_FOLDER_PREFIX "XXXXXX/" DAEMON_FOLDER_SOCKET) >
       sizeof (((struct sockaddr_un *)NULL)->sun_path))) {
    return "/tmp";
  }

  return Base;
}

/**
  Removes the folders in Base that are this user's, marked, and locked by no
  one: their makers are gone.
**/
static VOID
SweepStaleFolders (const char *Base)
{
  DIR           *Place = opendir (Base);
  struct dirent *Entry;
  struct stat    Status;

  while ((Place != NULL) && ((Entry = readdir (Place)) != NULL)) {
    int Fd;

    if (strncmp (Entry->d_name, DAEMON_FOLDER_PREFIX, strlen (DAEMON_FOLDER_PREFIX)) != 0) {
      continue;
    }

    Fd = openat (
        dirfd (Place), Entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (Fd < 0) {
      continue;
    }

    if ((fstat (Fd, &Status) == 0) && (Status.st_uid == geteuid ()) &&
        ((Status.st_mode & 07777) == DAEMON_FOLDER_MODE) && (flock (Fd, LOCK_EX | LOCK_NB) == 0)) {
      RemoveAt (dirfd (Place), Entry->d_name, Fd);
    }

    close (Fd);
  }

  if (Place != NULL) {
    closedir (Place);
  }
}

bool
MakeDaemonFolder (std::string *Folder, std::string *Error)
{
  const char *Base = FolderBase ();

  SweepStaleFolders (Base);
  *Folder = std::string (Base) + "/" DAEMON_FOLDER_PREFIX "XXXXXX";
  if ((Folder->size () >= sizeof (mFolder)) || (mkdtemp (&(*Folder)[0]) == NULL)) {
    *Error = std::string ("cannot make a private folder for QEMU's socket in ") + Base + ": " +
             strerror ((Folder->size () >= sizeof (mFolder)) ? ENAMETOOLONG : errno);
    return false;
  }

  // Signals are caught before the folder is known, so that none leaves it behind unseen.
  CatchSignals ();
  memcpy (mFolder, Folder->c_str (), Folder->size () + 1);
  mFolderFd = open (mFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if ((mFolderFd < 0) || (flock (mFolderFd, LOCK_EX) != 0) ||
      (fchmod (mFolderFd, DAEMON_FOLDER_MODE) != 0)) {
    *Error = std::string ("cannot hold a private folder for QEMU's socket: ") + strerror (errno);
    RemoveDaemonFolder ();
    ForgetDaemon ();
    return false;
  }

  return true;
}

VOID
WatchDaemon (pid_t Pid)
{
  mDaemon = Pid;
}

VOID
RemoveDaemonFolder (VOID)
{
  int Fd = mFolderFd;

  // Without its descriptor the folder was just made, and holds nothing.
  if (Fd >= 0) {
    RemoveAt (AT_FDCWD, mFolder, Fd);
  } else if (mFolder[0] != 0) {
    rmdir (mFolder);
  }

  mFolderFd  = -1;
  mFolder[0] = 0;
  if (Fd >= 0) {
    close (Fd);
  }
}

VOID
ForgetDaemon (VOID)
{
  mDaemon = -1;
  if (!mCatching) {
    return;
  }

  for (size_t Index = 0; Index < sizeof (mSignals) / sizeof (mSignals[0]); Index++) {
    sigaction (mSignals[Index], &mFormer[Index], NULL);
  }

  mCatching = false;
}

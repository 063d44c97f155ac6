/** @file
  The private folder of the storage daemon's socket, and the daemon, for
  the one run that has them: removed, and the daemon stopped, on every
  signal that this process can catch, and made so that a later run can tell
  one left by a run that was killed outright, and remove it.

  A folder in use carries the sticky bit and is locked (flock) by its maker
  for as long as the maker lives, so that one found unlocked with that mark
  is provably stale, whatever process now has the maker's id, in whatever
  namespace.
**/

#ifndef DAEMON_FOLDER_H_
#define DAEMON_FOLDER_H_

#include "platform/PlatformTypes.h"

#include <sys/types.h>

#include <string>

///
/// Where the folders are made, after the place names TMPDIR, or /tmp.
///
#define DAEMON_FOLDER_PREFIX "brisvane-vars."

///
/// The names that the folder holds: the daemon's log and its NBD socket.
///
#define DAEMON_FOLDER_LOG    "log"
#define DAEMON_FOLDER_SOCKET "nbd"

/**
  Removes the stale folders of this user in the place, then makes one,
  locks and marks it, and from now on until ForgetDaemon cleans up on a
  signal. One folder at a time.

  @param[out] Folder  Receives its path.
  @param[out] Error   Receives the reason on failure.

  @return Whether it was made.
**/
bool MakeDaemonFolder (std::string *Folder, std::string *Error);

/**
  Names the daemon that a signal must stop, and wait for, before the folder
  is removed; -1 for none (the run stops it itself).

  @param[in] Pid  The daemon's process.
**/
VOID WatchDaemon (pid_t Pid);

/**
  Removes the folder with what it holds, and drops its lock; nothing when
  there is none.
**/
VOID RemoveDaemonFolder (VOID);

/**
  Ends the cleanup on signals, once the daemon is stopped and the folder
  removed: the signals' former actions are restored.
**/
VOID ForgetDaemon (VOID);

#endif

/** @file
  A QEMU program run as this run's daemon (qemu-storage-daemon for a qcow2
  image, qemu-nbd for a network store): started in its private folder with
  its messages in an unlinked log, sent SIGTERM if this process dies, and
  stopped, waited for and told about by how it ended.
**/

#ifndef DAEMON_PROCESS_H_
#define DAEMON_PROCESS_H_

#include "vars/media/StorageDaemon.h"

/**
  Makes the daemon's private folder and its log, and names its socket
  there; the daemon is not started yet.

  @param[out] Daemon  Receives the log and the socket's path.
  @param[out] Error   Receives the reason on failure.

  @return Whether they were made; on failure nothing is left.
**/
bool PrepareDaemon (STORAGE_DAEMON *Daemon, std::string *Error);

/**
  Starts the program: Stdio as its standard input and output (its log
  otherwise), Fd as its descriptor 3, its log as its standard error. With
  Activated, Fd is a listening socket handed over as systemd does
  (LISTEN_FDS, LISTEN_PID).

  @param[in,out] Daemon     The prepared daemon; receives its process.
  @param[in]     Stdio      Its standard input and output, or -1.
  @param[in]     Fd         Its descriptor 3.
  @param[in]     Argv       The program and its arguments.
  @param[in]     Activated  Whether Fd is a socket it is to serve on.

  @return Whether it was started; errno tells why not.
**/
bool
SpawnDaemon (STORAGE_DAEMON *Daemon, int Stdio, int Fd, const char *const *Argv, bool Activated);

/**
  Stops the daemon after it failed, and tells how: a message already in
  Error is Kind's, while a daemon that ended without one is told by what it
  wrote, or else by how it ended; a program not found or not runnable is
  told as such.

  @param[in,out] Daemon  The daemon; its log is closed.
  @param[in]     Kind    What the failure is when Error holds a message.
  @param[in,out] Error   The message.

  @return How the start ended.
**/
STORAGE_DAEMON_START
FailedDaemon (STORAGE_DAEMON *Daemon, STORAGE_DAEMON_START Kind, std::string *Error);

/**
  Removes the daemon's private folder once its socket is connected to, so
  that nothing is left behind whatever happens to this run later; nothing
  once it is removed.

  @param[in,out] Daemon  The daemon.
**/
VOID ForgetStorageDaemonFolder (STORAGE_DAEMON *Daemon);

/**
  Describes how the daemon ended, once it has ended or its export is lost:
  it is stopped, if it still runs, and waited for.

  @param[in,out] Daemon  The daemon; stop it with StopStorageDaemon still.

  @return What ended it, as a phrase, "killed by signal 9 (Killed)" say.
**/
std::string StorageDaemonEnd (STORAGE_DAEMON *Daemon);

/**
  Stops the daemon with SIGTERM, on which it closes the image after
  flushing it as quitting does, and waits until it has: QEMU's locks are gone
  when this returns.

  @param[in,out] Daemon  The daemon.
**/
VOID StopStorageDaemon (STORAGE_DAEMON *Daemon);

/**
  Refuses a store whose daemon did not start: the program missing or not
  runnable (VarsExitMissing, naming Package), or failed otherwise
  (VarsExitStorageDaemon); the message starts with What ("it is a qcow2
  image").

  @param[in]  What     What the store is, as the message starts.
  @param[in]  Program  The daemon's program.
  @param[in]  Package  What to install for it.
  @param[in]  Start    How its start ended; not ready.
  @param[in]  Message  What the start said.
  @param[out] Error    Receives the refusal.

  @return A VARS_EXIT status.
**/
int RefuseDaemonStart (
    const std::string   &What,
    const char          *Program,
    const char          *Package,
    STORAGE_DAEMON_START Start,
    const std::string   &Message,
    std::string         *Error);

/**
  Kills the daemon outright: one that has not opened its store yet, stuck
  waiting for a server, holds nothing to flush and would not see SIGTERM
  until it had.

  @param[in] Daemon  The daemon; stop it, or tell its end, still.
**/
VOID KillDaemon (const STORAGE_DAEMON *Daemon);

#endif

/** @file
  Talking with a started storage daemon: QMP commands on its monitor, and
  what it wrote to its log.
**/

#ifndef DAEMON_MONITOR_H_
#define DAEMON_MONITOR_H_

#include "vars/media/StorageDaemon.h"

///
/// The program, as it names itself in its messages.
///
#define STORAGE_DAEMON_PROGRAM "qemu-storage-daemon"

/**
  Sends a QMP command and reads up to its reply, past the greeting and
  events.

  @param[in]     Json     json-c's routines.
  @param[in,out] Daemon   The daemon.
  @param[in]     Command  The command, one line of JSON.
  @param[out]    Reply    Receives the whole reply; the caller puts it.
  @param[out]    Error    Receives QEMU's message when it refused; left
                          empty when the monitor ended first.

  @return Whether it answered with a return.
**/
bool AskStorageDaemon (
    const JSON_LIBRARY *Json,
    STORAGE_DAEMON     *Daemon,
    const char         *Command,
    json_object       **Reply,
    std::string        *Error);

/**
  Sends a QMP command whose reply is only whether it worked.

  @return Whether it worked, as AskStorageDaemon tells.
**/
bool TellStorageDaemon (
    const JSON_LIBRARY *Json,
    STORAGE_DAEMON     *Daemon,
    const char         *Command,
    std::string        *Error);

/**
  What the daemon wrote to stderr, one line: without the program's name and
  the option it failed on (QEMU's prefix), the lines joined.

  @param[in] Daemon  The daemon, its log still open.

  @return The message; empty when it wrote none.
**/
std::string StorageDaemonSaid (const STORAGE_DAEMON *Daemon);

#endif

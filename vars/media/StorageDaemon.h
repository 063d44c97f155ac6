/** @file
  QEMU's storage daemon, serving one qcow2 image over NBD for one run: its
  image opened by QEMU's own block layer (and QEMU's image locks), with no
  file opened that the image's header names, its NBD socket in a private
  folder (vars/media/DaemonFolder.h), and its QMP monitor on a socket pair through
  which the run learns that it is ready, or why it failed, and asks what the
  image holds.
**/

#ifndef STORAGE_DAEMON_H_
#define STORAGE_DAEMON_H_

#include "vars/dl/Json.h"

#include <sys/types.h>

#include <string>

///
/// The daemon's node, and the export of that node, both by this name.
///
#define STORAGE_DAEMON_NODE "nvram"

///
/// A running daemon.
///
typedef struct {
  pid_t       Pid;
  int         Monitor; ///< Our end of the QMP socket pair.
  int         Log;     ///< What it wrote to stderr, in a file already unlinked.
  std::string Socket;  ///< Its NBD socket, in the private folder until connected.
  std::string Pending; ///< Monitor bytes read past the last whole line.
  /// The image names an external data file: QEMU opened it over a node
  /// that opens nothing, and serves no export.
  bool ExternalData;
} STORAGE_DAEMON;

///
/// How starting it ended.
///
typedef enum {
  StorageDaemonReady,
  StorageDaemonMissing,    ///< The program is not installed.
  StorageDaemonUnrunnable, ///< It is there, and cannot be run; the message says why.
  StorageDaemonRefused,    ///< QEMU cannot open the image; the message is QEMU's.
  StorageDaemonFailed,     ///< It failed for another reason than the image; the message says it.
} STORAGE_DAEMON_START;

/**
  Starts the daemon on the file open as Fd (which it reopens through /proc
  and locks as QEMU does), waits until it serves the image, and hands back
  the answer to one QMP command. The daemon is sent SIGTERM if this process
  dies first; on a signal this process catches it is stopped, and its
  folder removed, before the signal takes effect.

  @param[in]  Json      json-c's routines, to read the monitor's lines.
  @param[in]  Fd        The image, open; it stays open in the daemon. With
                        OverNbd, a connection to an NBD server whose export
                        STORAGE_DAEMON_NODE is the image instead.
  @param[in]  OverNbd   Whether Fd is such a connection.
  @param[in]  Writable  Whether to open the image and its export for writing.
  @param[in]  Command   A QMP command, one line of JSON.
  @param[out] Daemon    Receives the daemon; stop it with StopStorageDaemon.
  @param[out] Reply     Receives what the command returned; the caller puts
                        it when done.
  @param[out] Error     Receives QEMU's message when it failed.

  @return How it ended; only when ready must the daemon be stopped.
**/
STORAGE_DAEMON_START
StartStorageDaemon (
    const JSON_LIBRARY *Json,
    int                 Fd,
    bool                OverNbd,
    bool                Writable,
    const char         *Command,
    STORAGE_DAEMON     *Daemon,
    json_object       **Reply,
    std::string        *Error);

#endif

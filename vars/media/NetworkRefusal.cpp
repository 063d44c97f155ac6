/** @file
  The refusals of a store on the network, QEMU's reasons sorted by a table
  of the phrases its drivers and their libraries use.
**/

#include "vars/media/NetworkRefusal.h"

#include "vars/base/ExitStatus.h"
#include "vars/media/DaemonProcess.h"

#include <stdio.h>

#include <algorithm>

// qemu-nbd's package, and what to do about it.
#define NETWORK_SERVER_PACKAGE "install the Debian packages qemu-utils and qemu-block-extra"

///
/// A phrase in QEMU's message, and the status and cause it gives.
///
typedef struct {
  const char *Phrase;
  int         Code;
  const char *Cause;
} NETWORK_FAILURE;

// The first row whose phrase QEMU's message holds gives the cause: a missing store, refused
// credentials and a missing driver before the ways a server is not reached.
static const NETWORK_FAILURE mFailures[] = {
  { "LOGICAL_UNIT_NOT_SUPPORTED", VarsExitNoSuchStore, "the target has no such LUN" },
  { "Target not found", VarsExitNoSuchStore, "the server has no such target" },
  { "export not available", VarsExitNoSuchStore, "the server has no such export" },
  { "Permission denied", VarsExitDenied, "its credentials were refused" },
  { "Authentication failure", VarsExitDenied, "its credentials were refused" },
  { "not permitted", VarsExitDenied, "its credentials were refused" },
  { "Unknown protocol", VarsExitMissing,
    "QEMU has no driver for it here (" NETWORK_SERVER_PACKAGE ")" },
  { "Unknown driver", VarsExitMissing,
    "QEMU has no driver for it here (" NETWORK_SERVER_PACKAGE ")" },
  { "Connection refused", VarsExitUnreachable, "its server refused the connection" },
  { "Failed to connect to '", VarsExitUnreachable, "its server cannot be reached" },
  { "error connecting", VarsExitUnreachable, "its cluster cannot be reached" },
  { "iscsi_service", VarsExitUnreachable, "its server cannot be reached" },
  { "No route to host", VarsExitUnreachable, "its server cannot be reached" },
  { "Network is unreachable", VarsExitUnreachable, "its server cannot be reached" },
  { "Name or service not known", VarsExitUnreachable, "its server's name is unknown" },
  { "name resolution", VarsExitUnreachable, "its server's name is unknown" },
  { "Can not resolv", VarsExitUnreachable, "its server's name is unknown" },
  { "timed out", VarsExitUnreachable, "its server did not answer in time" },
  { "No such file or directory", VarsExitNoSuchStore, "it does not exist" },
};

int
RefuseNetworkStart (
    const char          *Name,
    STORAGE_DAEMON_START Start,
    const std::string   &Message,
    std::string         *Error)
{
  return RefuseDaemonStart (
      std::string ("it is ") + Name, "qemu-nbd", NETWORK_SERVER_PACKAGE, Start, Message, Error);
}

int
RefuseUnseenHolders (const char *Name, std::string *Error)
{
  return VarsRefusal (
      Error, VarsExitUnseenHolders,
      std::string ("it is ") + Name +
          ", whose users this tool cannot see, so a running virtual machine cannot be told "
          "apart: write with --domain, which libvirt answers for, or with --offline once no "
          "machine uses it; nothing was written");
}

int
RefuseNetworkOpen (const char *Name, int Seconds, const std::string &Said, std::string *Error)
{
  const std::string What = std::string ("it is ") + Name + ", and ";
  char              Text[256];

  if (Seconds != 0) {
    snprintf (
        Text, sizeof (Text),
        "QEMU had no answer from its server within %d seconds: the server cannot be reached, or "
        "serves one client at a time and has one (a running virtual machine, say); nothing was "
        "written (--timeout gives it longer)",
        Seconds);
    return VarsRefusal (Error, VarsExitUnreachable, What + Text);
  }

  const NETWORK_FAILURE *Failure = std::find_if (
      std::begin (mFailures), std::end (mFailures),
      [&Said] (const NETWORK_FAILURE &Row) { return Said.find (Row.Phrase) != std::string::npos; });
  if (Failure == std::end (mFailures)) {
    return VarsRefusal (Error, VarsExitStorageDaemon, What + "qemu-nbd cannot open it: " + Said);
  }

  return VarsRefusal (Error, Failure->Code, What + Failure->Cause + " (QEMU: " + Said + ")");
}

/** @file
  The storage daemon's QMP monitor, one JSON message a line, and what the
  daemon wrote to its log.
**/

#include "vars/media/DaemonMonitor.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

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

bool
AskStorageDaemon (
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

// What QEMU's programs put before their messages, in the order they stand.
static const char *const mPrefixes[] = { STORAGE_DAEMON_PROGRAM ": ", "qemu-nbd: " };
#define BLK_NEW_OPEN "Failed to blk_new_open '"

std::string
StorageDaemonSaid (const STORAGE_DAEMON *Daemon)
{
  int         Log = Daemon->Log;
  std::string Message;
  std::string Line;
  char        Character;

  lseek (Log, 0, SEEK_SET);
  while (read (Log, &Character, 1) == 1) {
    if (Character != '\n') {
      Line += Character;
      continue;
    }

    for (const char *Prefix : mPrefixes) {
      if (Line.rfind (Prefix, 0) == 0) {
        Line.erase (0, strlen (Prefix));
      }
    }

    // qemu-nbd's "Failed to blk_new_open 'NAME': ", which the refusal names already.
    if ((Line.rfind (BLK_NEW_OPEN, 0) == 0) && (Line.find ("': ") != std::string::npos)) {
      Line.erase (0, Line.find ("': ") + 3);
    }

    if ((Line.rfind ("--", 0) == 0) && (Line.find (": ") != std::string::npos)) {
      Line.erase (0, Line.find (": ") + 2);
    }

    Message += (Message.empty () ? "" : "; ") + Line;
    Line.clear ();
  }

  return Message;
}

bool
TellStorageDaemon (
    const JSON_LIBRARY *Json,
    STORAGE_DAEMON     *Daemon,
    const char         *Command,
    std::string        *Error)
{
  json_object *Reply;

  if (!AskStorageDaemon (Json, Daemon, Command, &Reply, Error)) {
    return false;
  }

  Json->Put (Reply);
  return true;
}

/** @file
  A Ceph RBD image's watchers, read with librbd through a read-only open,
  which registers no watch of its own: every other client that has the image
  open for writing shows, and a QEMU on this host is told by its command
  line, which names the image.
**/

#include "vars/media/RbdHolders.h"

#include "vars/base/ExitStatus.h"
#include "vars/dl/Rbd.h"
#include "vars/media/Holders.h"

#include <errno.h>

// Watchers read at once; a longer list is read again whole.
#define RBD_WATCHERS 8

// QEMU's qemu_rbd_next_tok: the field up to the first unescaped Delimiter, Rest moved past it, or
// to NULL when there is none.
static std::string
NextToken (const char **Rest, char Delimiter)
{
  const char *End = *Rest;

  while ((*End != '\0') && (*End != Delimiter)) {
    End += ((End[0] == '\\') && (End[1] != '\0')) ? 2 : 1;
  }

  std::string Token (*Rest, End);

  *Rest = (*End == Delimiter) ? End + 1 : NULL;
  return Token;
}

// QEMU's qemu_rbd_strchr: whether Text holds an unescaped Delimiter.
static bool
HasUnescaped (const char *Text, char Delimiter)
{
  const char *Rest = Text;

  NextToken (&Rest, Delimiter);
  return Rest != NULL;
}

// QEMU's qemu_rbd_unescape: each backslash dropped, the character after it kept.
static std::string
Unescape (const std::string &Field)
{
  std::string Plain;

  for (size_t Index = 0; Index < Field.size (); Index++) {
    Index += ((Field[Index] == '\\') && (Index + 1 < Field.size ())) ? 1 : 0;
    Plain += Field[Index];
  }

  return Plain;
}

bool
ParseRbdName (const char *Path, RBD_NAME *Name)
{
  const char *Rest = Path + sizeof ("rbd:") - 1;
  const char *InImage;
  std::string Image;
  bool        Snapshot;

  *Name      = RBD_NAME ();
  Name->Pool = Unescape (NextToken (&Rest, '/'));
  if (Rest == NULL) {
    return false;
  }

  Snapshot = HasUnescaped (Rest, '@');
  Image    = NextToken (&Rest, Snapshot ? '@' : ':');
  if (Snapshot) {
    Name->Snapshot = Unescape (NextToken (&Rest, ':'));
  }

  InImage = Image.c_str ();
  if (HasUnescaped (InImage, '/')) {
    Name->Namespace = Unescape (NextToken (&InImage, '/'));
  }

  Name->Image = Unescape (InImage);
  while (Rest != NULL) {
    std::string Key = Unescape (NextToken (&Rest, '='));

    if (Rest == NULL) {
      return false;
    }

    std::string Value = Unescape (NextToken (&Rest, ':'));

    if (Key == "conf") {
      Name->Conf = Value;
    } else if (Key == "id") {
      Name->User = Value;
    } else {
      Name->Options.push_back (std::make_pair (Key, Value));
    }
  }

  return !Name->Pool.empty () && !Name->Image.empty ();
}

///
/// A connection to the image's cluster, with the image open read-only.
///
typedef struct {
  const RBD_LIBRARY *Rbd;
  RADOS_CLUSTER      Cluster;
  RADOS_IOCTX        Ioctx;
  RBD_IMAGE          Image;
} RBD_OPEN;

static VOID
CloseImage (RBD_OPEN *Open)
{
  if (Open->Image != NULL) {
    Open->Rbd->Close (Open->Image);
  }

  if (Open->Ioctx != NULL) {
    Open->Rbd->IoctxDestroy (Open->Ioctx);
  }

  if (Open->Cluster != NULL) {
    Open->Rbd->Shutdown (Open->Cluster);
  }
}

// The status of a failed step, by its errno: Missing for ENOENT, which each step means its way.
static int
Refuse (std::string *Error, const std::string &Step, int Failure, int Missing = VarsExitUnreachable)
{
  int Code = ((Failure == EPERM) || (Failure == EACCES)) ? VarsExitDenied
             : (Failure == ENOENT)                       ? Missing
                                                         : VarsExitUnreachable;

  return VarsRefusal (Error, Code, "it is a Ceph RBD image, and " + Step, Failure);
}

/**
  Connects as QEMU would (qemu_rbd_connect: the user, the configuration
  file, then the other keys as settings) and opens the image read-only.
**/
static int
OpenImage (const RBD_NAME *Name, int Seconds, RBD_OPEN *Open, std::string *Error)
{
  const std::string Timeout    = std::to_string (Seconds);
  const char *const Timeouts[] = { "client_mount_timeout", "rados_mon_op_timeout",
                                   "rados_osd_op_timeout" };
  int               Failure;

  Failure = -Open->Rbd->Create (&Open->Cluster, Name->User.empty () ? NULL : Name->User.c_str ());
  if (Failure == 0) {
    Failure =
        -Open->Rbd->ConfReadFile (Open->Cluster, Name->Conf.empty () ? NULL : Name->Conf.c_str ());
    Failure = Name->Conf.empty () ? 0 : Failure;
  }

  for (size_t Index = 0; (Failure == 0) && (Index < Name->Options.size ()); Index++) {
    Failure = -Open->Rbd->ConfSet (
        Open->Cluster, Name->Options[Index].first.c_str (), Name->Options[Index].second.c_str ());
  }

  for (const char *Setting : Timeouts) {
    Failure =
        (Failure == 0) ? -Open->Rbd->ConfSet (Open->Cluster, Setting, Timeout.c_str ()) : Failure;
  }

  if (Failure != 0) {
    return Refuse (Error, "librados does not take its settings", Failure, VarsExitCannotRead);
  }

  Failure = -Open->Rbd->Connect (Open->Cluster);
  if (Failure != 0) {
    return Refuse (Error, "its cluster cannot be reached to see who has it open", Failure);
  }

  Failure = -Open->Rbd->IoctxCreate (Open->Cluster, Name->Pool.c_str (), &Open->Ioctx);
  if (Failure != 0) {
    return Refuse (
        Error, "its pool " + Name->Pool + " cannot be opened", Failure, VarsExitNoSuchStore);
  }

  Open->Rbd->IoctxSetNamespace (Open->Ioctx, Name->Namespace.c_str ());
  Failure = -Open->Rbd->OpenReadOnly (
      Open->Ioctx, Name->Image.c_str (), &Open->Image,
      Name->Snapshot.empty () ? NULL : Name->Snapshot.c_str ());
  return (Failure == 0)
             ? 0
             : Refuse (Error, "the image cannot be opened", Failure, VarsExitNoSuchStore);
}

// The image's watchers, read whole.
static int
ListWatchers (const RBD_OPEN *Open, std::vector<RBD_WATCHER> *Watchers)
{
  size_t Count = RBD_WATCHERS;
  int    Result;

  do {
    Watchers->assign (Count, RBD_WATCHER ());
    Result = Open->Rbd->WatchersList (Open->Image, Watchers->data (), &Count);
  } while (Result == -ERANGE);

  Watchers->resize ((Result == 0) ? Count : 0);
  return -Result;
}

// The refusal of an image that the watcher Other has open: a QEMU of this host's by its command
// line, or a client of the cluster by its address.
static int
RefuseWatcher (const RBD_NAME *Name, const RBD_WATCHER *Other, std::string *Error)
{
  const std::string Image =
      Name->Pool + "/" + (Name->Namespace.empty () ? "" : Name->Namespace + "/") + Name->Image;
  const std::string Named[] = { "rbd:" + Image, "\"image\":\"" + Name->Image + "\"" };
  std::string       Program;
  pid_t             Qemu = FindQemuNaming (Named, sizeof (Named) / sizeof (Named[0]), &Program);

  if (Qemu > 0) {
    return VarsRefusal (
        Error, VarsExitVirtualMachine,
        "it is a Ceph RBD image that a running virtual machine has open (" + Program +
            ", process " + std::to_string (Qemu) + ", client." + std::to_string (Other->Id) +
            " at " + Other->Address + "): shut it down first; nothing was written");
  }

  return VarsRefusal (
      Error, VarsExitOtherHolder,
      "it is a Ceph RBD image that another client of the cluster has open (client." +
          std::to_string (Other->Id) + " at " + Other->Address +
          "), a virtual machine on another host most likely, which a write would take its lock "
          "from (a client that ended without closing it stays a watcher for the cluster's "
          "osd_client_watch_timeout, 30 seconds by default); nothing was written");
}

int
FindRbdHolder (const char *Path, int Seconds, int64_t *Ours, std::string *Error)
{
  RBD_NAME                 Name;
  RBD_OPEN                 Open = { NULL, NULL, NULL, NULL };
  std::vector<RBD_WATCHER> Watchers;
  int                      Code;
  int                      Failure;

  if (!ParseRbdName (Path, &Name)) {
    return VarsRefusal (
        Error, VarsExitCannotRead,
        "it is not an RBD image's name as QEMU takes it: rbd:POOL/IMAGE[:KEY=VALUE...]");
  }

  Open.Rbd = LoadRbdLibrary (Error);
  if (Open.Rbd == NULL) {
    return VarsRefusal (
        Error, VarsExitMissing,
        "it is a Ceph RBD image, and telling who has it open needs " + *Error);
  }

  Code    = OpenImage (&Name, Seconds, &Open, Error);
  Failure = (Code == 0) ? ListWatchers (&Open, &Watchers) : 0;
  Code    = (Failure != 0) ? Refuse (Error, "its watchers cannot be listed", Failure) : Code;
  for (size_t Index = 0; (Code == 0) && (Index < Watchers.size ()); Index++) {
    if ((Ours != NULL) && (*Ours < 0) && (Watchers.size () == 1)) {
      *Ours = Watchers[Index].Id;
    } else if ((Ours == NULL) || (Watchers[Index].Id != *Ours)) {
      Code = RefuseWatcher (&Name, &Watchers[Index], Error);
    }
  }

  if (!Watchers.empty ()) {
    Open.Rbd->WatchersListCleanup (Watchers.data (), Watchers.size ());
  }

  CloseImage (&Open);
  return Code;
}

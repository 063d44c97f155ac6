/** @file
  The medium chosen from the path, and a write plan replayed on it.
**/

#include "vars/media/Medium.h"

#include "vars/base/ExitStatus.h"
#include "vars/base/Pause.h"
#include "vars/media/ManagedSave.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

///
/// A kind of file, and the medium that takes it (a regular file's unless it
/// is a qcow2 image); the others are named in their refusal.
///
typedef struct {
  mode_t Type;
  std::unique_ptr<NVRAM_MEDIUM> (*New) (VOID);
  const char *Name;
} MEDIUM_KIND;

static const MEDIUM_KIND mKinds[] = {
  { S_IFREG, NewFileMedium, NULL },         { S_IFBLK, NewBlockMedium, NULL },
  { S_IFIFO, NULL, "a FIFO (named pipe)" }, { S_IFCHR, NULL, "a character device" },
  { S_IFDIR, NULL, "a directory" },         { S_IFSOCK, NULL, "a socket" },
};

static const MEDIUM_KIND *
KindOf (mode_t Mode)
{
  for (const MEDIUM_KIND &Kind : mKinds) {
    if ((Mode & S_IFMT) == Kind.Type) {
      return &Kind;
    }
  }

  return NULL;
}

/**
  Notes the managed save image of the libvirt domain whose NVRAM Path is, by
  the name it has with every link resolved.
**/
static VOID
NoteManagedSave (const char *Path, NVRAM_IMAGE *Image)
{
  char *Resolved = realpath (Path, NULL);

  if (Resolved != NULL) {
    Image->SaveImage   = FindManagedSaveImage (Resolved, &Image->Domain);
    Image->ManagedSave = !Image->SaveImage.empty ();
    free (Resolved);
  }
}

/**
  Makes sure the medium still is the file it was, of the size it had when
  it was read; one that grows as it is written may have grown after writes.

  @param[in]  Image    The open medium.
  @param[in]  When     When it is measured, for the message.
  @param[in]  Written  What was written, for the message; NULL before any write.
  @param[out] Error    Receives the message when it changed.

  @retval 0                    Unchanged.
  @retval VarsExitChangedSize  Changed, replaced, or no longer measured.
**/
static int
CheckSize (const NVRAM_IMAGE *Image, const char *When, const char *Written, std::string *Error)
{
  char   Text[192];
  UINT64 Size    = 0;
  int    Failure = Image->Medium->Measure (&Size);
  bool   Grown   = (Failure == 0) && (Written != NULL) && Image->Medium->GrowsWhenWritten () &&
               (Size > Image->Size);

  if ((Failure == 0) && ((Size == Image->Size) || Grown)) {
    return 0;
  }

  if (Failure == MEDIUM_REPLACED) {
    snprintf (
        Text, sizeof (Text),
        "it was removed or replaced %s: another program did so, ignoring the lock", When);
  } else if (Failure != 0) {
    snprintf (Text, sizeof (Text), "its size cannot be measured %s (%s)", When, strerror (Failure));
  } else {
    snprintf (
        Text, sizeof (Text),
        "it changed size %s, from %llu to %llu bytes: another program changed it, ignoring the "
        "lock",
        When, (unsigned long long)Image->Size, (unsigned long long)Size);
  }

  *Error = std::string (Text) + "; " + ((Written != NULL) ? Written : "nothing was written");
  return VarsExitChangedSize;
}

// What a replay that made Done of its Count steps wrote, for a message; Failed when the next
// failed.
static std::string
Made (UINTN Done, UINTN Count, bool Failed)
{
  char Text[128];

  if ((Done == 0) && !Failed) {
    return "nothing was written";
  }

  snprintf (
      Text, sizeof (Text), "%llu of its %llu writes and flushes were made%s",
      (unsigned long long)Done, (unsigned long long)Count, Failed ? ", and the next failed" : "");
  return Text;
}

int
NVRAM_MEDIUM::RefuseRead (int Failure, std::string *Error)
{
  return VarsRefusal (Error, VarsExitCannotRead, "cannot read it", Failure);
}

int
OpenNvramImage (
    const char         *Path,
    const NVRAM_ACCESS *Access,
    NVRAM_IMAGE        *Image,
    std::string        *Error)
{
  struct stat        Status;
  const MEDIUM_KIND *Kind;
  int                Probe;
  int                Code;

  if (IsNetworkNvram (Path)) {
    Image->Medium = NewNetworkMedium (Access);
    Code          = Image->Medium->Open (Path, -1, NULL, Access->ReadOnly, Error);
    return (Code == 0) ? ReadNvramImage (Image, Error) : Code;
  }

  // A path descriptor opens nothing: no FIFO can block it and no device sees it.
  Probe = open (Path, O_PATH | O_CLOEXEC);
  if (Probe < 0) {
    return VarsRefusal (Error, VarsExitCannotRead, "cannot open it", errno);
  }

  if (fstat (Probe, &Status) != 0) {
    Code = errno;
    close (Probe);
    return VarsRefusal (Error, VarsExitCannotRead, "cannot open it", Code);
  }

  PauseAt ("probed");
  Kind = KindOf (Status.st_mode);
  if ((Kind == NULL) || (Kind->New == NULL)) {
    close (Probe);
    return VarsRefusal (
        Error, VarsExitCannotRead,
        std::string ("it is ") + ((Kind != NULL) ? Kind->Name : "not a regular file") +
            ", not an NVRAM file");
  }

  Image->Medium =
      (S_ISREG (Status.st_mode) && IsQcow2Image (Probe)) ? NewQcow2Medium () : Kind->New ();
  Code = Image->Medium->Open (Path, Probe, &Status, Access->ReadOnly, Error);
  close (Probe);
  if (Code != 0) {
    return Code;
  }

  NoteManagedSave (Path, Image);
  return ReadNvramImage (Image, Error);
}

int
ReadNvramImage (NVRAM_IMAGE *Image, std::string *Error)
{
  int Failure = Image->Medium->Measure (&Image->Size);
  int Code;

  if (Failure == MEDIUM_REPLACED) {
    return VarsRefusal (Error, VarsExitChangedSize, "it was replaced while it was being opened");
  }

  if (Failure != 0) {
    return VarsRefusal (Error, VarsExitCannotRead, "cannot measure it", Failure);
  }

  // A file cut short while it is read fails the read: the change is the reason.
  Failure = Image->Medium->Read (&Image->Bytes);
  Code    = CheckSize (Image, "while it was being read", NULL, Error);
  if ((Code == 0) && (Failure != 0)) {
    Code = Image->Medium->RefuseRead (Failure, Error);
  }

  return Code;
}

/**
  Refuses a plan that must not be replayed: one that lost steps, one for a
  medium that is read-only or whose writes a restore would undo, and one
  for a medium whose size changed since it was read.
**/
static int
RefusePlan (const NVRAM_IMAGE *Image, const NVRAM_WRITE_PLAN *Plan, std::string *Error)
{
  int Code;

  if (Plan->Incomplete) {
    return VarsRefusal (
        Error, VarsExitCannotWrite,
        "its plan of writes is incomplete, a fault of this tool; nothing was written");
  }

  if (Plan->Count == 0) {
    return 0;
  }

  if (Image->ManagedSave) {
    return VarsRefusal (
        Error, VarsExitManagedSave,
        "it is the NVRAM of libvirt domain " + Image->Domain + ", whose managed save image " +
            (Image->SaveImage.empty () ? "" : Image->SaveImage + " ") +
            "puts the saved NVRAM back when the domain starts, undoing the " +
            "edit; nothing was written (start and shut down the domain first, or drop the " +
            "image with virsh managedsave-remove " + Image->Domain + ")");
  }

  if (!Image->Medium->Writable ()) {
    return VarsRefusal (Error, VarsExitCannotWrite, "it is read-only; nothing was written");
  }

  Code = CheckSize (Image, "after it was read", NULL, Error);
  return (Code != 0) ? Code : Image->Medium->Confirm (Error);
}

int
ReplayWritePlan (const NVRAM_IMAGE *Image, const NVRAM_WRITE_PLAN *Plan, std::string *Error)
{
  char  Progress[128];
  UINTN Done;
  int   Failure = 0;
  int   Code    = RefusePlan (Image, Plan, Error);

  for (Done = 0; (Code == 0) && (Failure == 0) && (Done < Plan->Count); Done++) {
    const NVRAM_WRITE *Step = &Plan->Steps[Done];

    // A step of no bytes is a flush.
    Failure = (Step->Size == 0)
                  ? Image->Medium->Flush ()
                  : Image->Medium->WriteAt (Step->Offset, Plan->Bytes + Step->Data, Step->Size);
  }

  if ((Code != 0) || (Plan->Count == 0)) {
    return Code;
  }

  // Done counts the failed step too.
  Code = CheckSize (
      Image, "while it was being written",
      Made (Done - (Failure != 0), Plan->Count, Failure != 0).c_str (), Error);
  if ((Code != 0) || (Failure == 0)) {
    return Code;
  }

  snprintf (
      Progress, sizeof (Progress), "cannot write it (step %llu of %llu)", (unsigned long long)Done,
      (unsigned long long)Plan->Count);
  VarsRefusal (Error, VarsExitCannotWrite, Progress, Failure);
  *Error += "; its writes are ordered so that it still reads as before or after them";
  return VarsExitCannotWrite;
}

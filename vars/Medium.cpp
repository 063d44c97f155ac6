/** @file
  The medium chosen from the path, and a write plan replayed on it.
**/

#include "vars/Medium.h"

#include "vars/ExitStatus.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
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
  { S_IFREG, NewFileMedium, NULL },        { S_IFIFO, NULL, "a FIFO (named pipe)" },
  { S_IFCHR, NULL, "a character device" }, { S_IFBLK, NULL, "a block device" },
  { S_IFDIR, NULL, "a directory" },        { S_IFSOCK, NULL, "a socket" },
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

int
OpenNvramImage (const char *Path, NVRAM_IMAGE *Image, std::string *Error)
{
  struct stat        Status;
  const MEDIUM_KIND *Kind;
  int                Probe;
  int                Code;

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
  Code = Image->Medium->Open (Path, Probe, &Status, Error);
  close (Probe);
  if (Code != 0) {
    return Code;
  }

  Code = Image->Medium->Read (&Image->Bytes);
  return (Code == 0) ? 0 : VarsRefusal (Error, VarsExitCannotRead, "cannot read it", Code);
}

int
ReplayWritePlan (const NVRAM_IMAGE *Image, const NVRAM_WRITE_PLAN *Plan, std::string *Error)
{
  char Progress[128];
  int  Failure = 0;

  if (Plan->OutOfMemory) {
    return VarsRefusal (
        Error, VarsExitCannotWrite, "no memory for its writes; nothing was written");
  }

  if ((Plan->Count != 0) && !Image->Medium->Writable ()) {
    return VarsRefusal (Error, VarsExitCannotWrite, "it is read-only; nothing was written");
  }

  for (UINTN Index = 0; (Index < Plan->Count) && (Failure == 0); Index++) {
    const NVRAM_WRITE *Step = &Plan->Steps[Index];

    // A step of no bytes is a flush.
    Failure = (Step->Size == 0)
                  ? Image->Medium->Flush ()
                  : Image->Medium->WriteAt (Step->Offset, Plan->Bytes + Step->Data, Step->Size);
    if (Failure != 0) {
      snprintf (
          Progress, sizeof (Progress), "cannot write it (step %llu of %llu)",
          (unsigned long long)Index + 1, (unsigned long long)Plan->Count);
      VarsRefusal (Error, VarsExitCannotWrite, Progress, Failure);
      *Error += "; its writes are ordered so that it still reads as before or after them";
    }
  }

  return (Failure == 0) ? 0 : VarsExitCannotWrite;
}

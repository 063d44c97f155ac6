/** @file
  Who else has an NVRAM file: its locks read by their byte ranges.
**/

#include "vars/media/Holders.h"

#include "vars/base/ExitStatus.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// The kernel merges a holder's adjacent bytes, so a lock anywhere in QEMU's bytes is QEMU's,
// whatever its length.
#define QEMU_LOCK_END 300

static bool
IsQemuRange (unsigned long long First, unsigned long long Last)
{
  return (First >= QEMU_LOCK_FIRST) && (First <= Last) && (Last < QEMU_LOCK_END);
}

/**
  Tells whether /proc/locks lists a lock in QEMU's bytes on the file Fd is
  open on: a conflicting lock that F_OFD_GETLK gives back first (another
  brisvane-vars reading over all of it) can hide one.
**/
static bool
QemuLockListed (int Fd)
{
  struct stat        File;
  char               Line[256];
  unsigned int       Major;
  unsigned int       Minor;
  unsigned long long Inode;
  unsigned long long First;
  unsigned long long Last;
  FILE              *Locks;
  bool               Found = false;

  if ((fstat (Fd, &File) != 0) || ((Locks = fopen ("/proc/locks", "re")) == NULL)) {
    return false;
  }

  // "1: OFDLCK ADVISORY  READ -1 00:06:93 100 101"; a waiter's line has "->" and a lock to the end
  // of the file "EOF", which do not scan.
  while (!Found && (fgets (Line, sizeof (Line), Locks) != NULL)) {
    Found = (strstr (Line, "->") == NULL) &&
            (sscanf (
                 Line, "%*u: %*s %*s %*s %*d %x:%x:%llu %llu %llu", &Major, &Minor, &Inode, &First,
                 &Last) == 5) &&
            (makedev (Major, Minor) == File.st_dev) && (Inode == File.st_ino) &&
            IsQemuRange (First, Last);
  }

  fclose (Locks);
  return Found;
}

/**
  Names the holder of a lock that conflicts with this run's.
**/
static int
InUse (int Fd, const struct flock *Lock, std::string *Error)
{
  bool Held = (Lock->l_type != F_UNLCK) && (Lock->l_len > 0);
  bool Qemu = Held && IsQemuRange (Lock->l_start, Lock->l_start + Lock->l_len - 1);
  // A lock below QEMU's bytes alone is another brisvane-vars' on a qcow2 image, and the QEMU
  // locks beside it are those of the daemon that serves it to that run.
  bool Ours = Held && (Lock->l_start + Lock->l_len <= QEMU_LOCK_FIRST);

  if (!Ours && (Qemu || QemuLockListed (Fd))) {
    return RefuseRunningMachine (Error);
  }

  return VarsRefusal (
      Error, VarsExitOtherHolder,
      "it is locked by another program (another brisvane-vars, most likely); try again once it "
      "is done");
}

int
RefuseRunningMachine (std::string *Error)
{
  return VarsRefusal (
      Error, VarsExitVirtualMachine,
      "it is in use by a running virtual machine (QEMU holds its locks); shut the machine down "
      "first");
}

// The first Length bytes, 0 for the whole file.
static void
Range (struct flock *Lock, short Type, off_t Length)
{
  memset (Lock, 0, sizeof (*Lock));
  Lock->l_type   = Type;
  Lock->l_whence = SEEK_SET;
  Lock->l_len    = Length;
}

/**
  Any lock by anyone else conflicts with a write lock over the same bytes, so
  that test over the whole file finds QEMU's shared locks too; then this
  run's lock is taken.
**/
int
LockMedium (int Fd, bool Writable, off_t Length, std::string *Error)
{
  struct flock Lock;

  Range (&Lock, F_WRLCK, Length);
  if (fcntl (Fd, F_OFD_GETLK, &Lock) != 0) {
    return VarsRefusal (Error, VarsExitCannotLock, "cannot test the locks on it", errno);
  }

  // Readers share: another run's read lock over the whole file keeps no reader out, while QEMU's
  // locks, wherever the kernel lists them, still do.
  if ((Lock.l_type != F_UNLCK) && (Writable || (Lock.l_type != F_RDLCK) || (Lock.l_start != 0) ||
                                   (Lock.l_len != 0) || QemuLockListed (Fd))) {
    return InUse (Fd, &Lock, Error);
  }

  Range (&Lock, Writable ? F_WRLCK : F_RDLCK, Length);
  if (fcntl (Fd, F_OFD_SETLK, &Lock) == 0) {
    return 0;
  }

  if ((errno != EAGAIN) && (errno != EACCES)) {
    return VarsRefusal (Error, VarsExitCannotLock, "cannot lock it", errno);
  }

  // Taken meanwhile: whoever holds it now.
  Range (&Lock, F_WRLCK, Length);
  if (fcntl (Fd, F_OFD_GETLK, &Lock) != 0) {
    Lock.l_type = F_UNLCK;
  }

  return InUse (Fd, &Lock, Error);
}

// Whether a program's name is that of a QEMU that runs a machine.
static bool
IsMachineProgram (const char *Name)
{
  return (strncmp (Name, "qemu-system-", 12) == 0) || (strcmp (Name, "qemu-kvm") == 0) ||
         (strcmp (Name, "kvm") == 0);
}

bool
IsQemuProcess (const std::string &Pid, std::string *Name)
{
  char        Text[256] = "";
  std::string Proc      = "/proc/" + Pid;
  FILE       *Comm      = fopen ((Proc + "/comm").c_str (), "re");
  const char *Base;
  ssize_t     Length;

  if ((Comm == NULL) || (fgets (Text, sizeof (Text), Comm) == NULL)) {
    Text[0] = '\0';
  }

  if (Comm != NULL) {
    fclose (Comm);
  }

  *Name = std::string (Text, strcspn (Text, "\n"));
  if (IsMachineProgram (Name->c_str ())) {
    return true;
  }

  Length                          = readlink ((Proc + "/exe").c_str (), Text, sizeof (Text) - 1);
  Text[(Length > 0) ? Length : 0] = '\0';
  Base                            = strrchr (Text, '/');
  return IsMachineProgram ((Base != NULL) ? Base + 1 : Text);
}

pid_t
FindQemuNaming (const std::string *Phrases, size_t Count, std::string *Program)
{
  DIR           *Proc = opendir ("/proc");
  struct dirent *Entry;
  pid_t          Found = 0;

  while ((Proc != NULL) && (Found == 0) && ((Entry = readdir (Proc)) != NULL)) {
    std::string Line;
    FILE       *Cmdline;
    int         Character;

    if ((strspn (Entry->d_name, "0123456789") != strlen (Entry->d_name)) ||
        !IsQemuProcess (Entry->d_name, Program)) {
      continue;
    }

    Cmdline = fopen (("/proc/" + std::string (Entry->d_name) + "/cmdline").c_str (), "re");
    while ((Cmdline != NULL) && ((Character = fgetc (Cmdline)) != EOF)) {
      Line += (Character == 0) ? ' ' : static_cast<char> (Character);
    }

    if (Cmdline != NULL) {
      fclose (Cmdline);
    }

    for (size_t Index = 0; (Found == 0) && (Index < Count); Index++) {
      Found = (Line.find (Phrases[Index]) != std::string::npos) ? atoi (Entry->d_name) : 0;
    }
  }

  if (Proc != NULL) {
    closedir (Proc);
  }

  return Found;
}

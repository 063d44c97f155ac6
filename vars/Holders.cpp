/** @file
  Who else has an NVRAM: its locks read by their byte ranges, and a block
  device's holders found by its number among every process's open files.
**/

#include "vars/Holders.h"

#include "vars/ExitStatus.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
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
  bool Qemu = (Lock->l_type != F_UNLCK) && (Lock->l_len > 0) &&
              IsQemuRange (Lock->l_start, Lock->l_start + Lock->l_len - 1);

  if (Qemu || QemuLockListed (Fd)) {
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

  if (Lock.l_type != F_UNLCK) {
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

///
/// Whether a process has a device open, as its open files tell.
///
typedef enum {
  DeviceNotHeld,
  DeviceHeld,
  DeviceUnknown, ///< Its open files cannot be read: another user's, to one who is not root.
} DEVICE_HOLDING;

/**
  Tells whether process Pid has the block device Device open, by the number
  of what each of its descriptors leads to, whatever its name there.
**/
static DEVICE_HOLDING
HoldsDevice (const char *Pid, dev_t Device)
{
  std::string    Folder = std::string ("/proc/") + Pid + "/fd/";
  DIR           *Fds    = opendir (Folder.c_str ());
  struct dirent *Entry;
  struct stat    Opened;
  bool           Found = false;

  // A process gone meanwhile holds nothing. One whose descriptors are listed but cannot be
  // followed is more privileged than this one (a container's init, to root in the container),
  // which a QEMU is not; like those outside this PID namespace, it is passed by.
  if (Fds == NULL) {
    return ((errno == EACCES) || (errno == EPERM)) ? DeviceUnknown : DeviceNotHeld;
  }

  while (!Found && ((Entry = readdir (Fds)) != NULL)) {
    Found = (Entry->d_name[0] != '.') && (stat ((Folder + Entry->d_name).c_str (), &Opened) == 0) &&
            S_ISBLK (Opened.st_mode) && (Opened.st_rdev == Device);
  }

  closedir (Fds);
  return Found ? DeviceHeld : DeviceNotHeld;
}

/**
  The name of process Pid's program (its comm), and whether it is QEMU: by
  that name, or by its executable's, which Proxmox's "kvm" leads to.
**/
static bool
IsQemu (const char *Pid, std::string *Name)
{
  char        Text[256] = "";
  std::string Proc      = std::string ("/proc/") + Pid;
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
  if ((Name->compare (0, 4, "qemu") == 0) || (*Name == "kvm")) {
    return true;
  }

  Length                          = readlink ((Proc + "/exe").c_str (), Text, sizeof (Text) - 1);
  Text[(Length > 0) ? Length : 0] = '\0';
  Base                            = strrchr (Text, '/');
  return strncmp ((Base != NULL) ? Base + 1 : Text, "qemu", 4) == 0;
}

/**
  Names the process Pid that has the device open.
**/
static int
Holder (const char *Pid, std::string *Error)
{
  std::string Name;
  char        Text[192];

  if (IsQemu (Pid, &Name)) {
    snprintf (
        Text, sizeof (Text),
        "it is in use by a running virtual machine (QEMU, process %s, has it open); shut the "
        "machine down first",
        Pid);
    return VarsRefusal (Error, VarsExitVirtualMachine, Text);
  }

  snprintf (
      Text, sizeof (Text),
      "it is open in another program (%s, process %s); try again once it is done", Name.c_str (),
      Pid);
  return VarsRefusal (Error, VarsExitOtherHolder, Text);
}

int
FindDeviceHolder (dev_t Device, std::string *Error)
{
  DIR           *Proc = opendir ("/proc");
  struct dirent *Entry;
  std::string    Self = std::to_string (getpid ());
  std::string    Unknown;
  DEVICE_HOLDING Holding;
  int            Code;

  if (Proc == NULL) {
    return VarsRefusal (
        Error, VarsExitCannotLock, "cannot tell whether another process has it open", errno);
  }

  while ((Entry = readdir (Proc)) != NULL) {
    if ((strspn (Entry->d_name, "0123456789") != strlen (Entry->d_name)) ||
        (Self == Entry->d_name)) {
      continue;
    }

    Holding = HoldsDevice (Entry->d_name, Device);
    if (Holding == DeviceHeld) {
      Code = Holder (Entry->d_name, Error);
      closedir (Proc);
      return Code;
    }

    Unknown = ((Holding == DeviceUnknown) && Unknown.empty ()) ? Entry->d_name : Unknown;
  }

  closedir (Proc);
  if (Unknown.empty ()) {
    return 0;
  }

  return VarsRefusal (
      Error, VarsExitCannotLock,
      "cannot tell whether another process has it open: the open files of process " + Unknown +
          " cannot be read (run as root)");
}

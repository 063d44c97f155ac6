/** @file
  Who else has a block device: every process whose open files lead to it,
  or to the whole disk or a partition that overlaps it, found by number
  whatever the name it was opened by.
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

#include <algorithm>
#include <vector>

// Reads a device number ("7:4") from a file of /sys.
static bool
ReadDeviceNumber (const std::string &File, dev_t *Device)
{
  unsigned Major;
  unsigned Minor;
  FILE    *Text  = fopen (File.c_str (), "re");
  bool     Found = (Text != NULL) && (fscanf (Text, "%u:%u", &Major, &Minor) == 2);

  if (Text != NULL) {
    fclose (Text);
  }

  *Device = Found ? makedev (Major, Minor) : 0;
  return Found;
}

/**
  The device, and the devices whose writes reach the same bytes: the whole
  disk of a partition, or the partitions of a whole disk, as /sys lists them.
**/
static std::vector<dev_t>
OverlappingDevices (dev_t Device)
{
  std::vector<dev_t> Devices (1, Device);
  std::string        Link =
      "/sys/dev/block/" + std::to_string (major (Device)) + ":" + std::to_string (minor (Device));
  char          *Folder = realpath (Link.c_str (), NULL);
  std::string    Here   = (Folder != NULL) ? Folder : "";
  struct stat    Status;
  struct dirent *Entry;
  DIR           *Children;
  dev_t          Other;

  free (Folder);
  if (Here.empty ()) {
    return Devices;
  }

  if (stat ((Here + "/partition").c_str (), &Status) == 0) {
    if (ReadDeviceNumber (Here.substr (0, Here.rfind ('/')) + "/dev", &Other)) {
      Devices.push_back (Other);
    }

    return Devices;
  }

  Children = opendir (Here.c_str ());
  while ((Children != NULL) && ((Entry = readdir (Children)) != NULL)) {
    std::string Child = Here + "/" + Entry->d_name;

    if ((Entry->d_name[0] != '.') && (stat ((Child + "/partition").c_str (), &Status) == 0) &&
        ReadDeviceNumber (Child + "/dev", &Other)) {
      Devices.push_back (Other);
    }
  }

  if (Children != NULL) {
    closedir (Children);
  }

  return Devices;
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
  Tells whether the descriptor Fd of process Pid is an O_PATH one, as
  another brisvane-vars' probe is: it opens nothing, and holds nothing.
**/
static bool
IsPathOnly (const std::string &Pid, const char *Fd)
{
  char          Line[128];
  unsigned long Flags = 0;
  bool          Found = false;
  FILE         *Info  = fopen (("/proc/" + Pid + "/fdinfo/" + Fd).c_str (), "re");

  while ((Info != NULL) && !Found && (fgets (Line, sizeof (Line), Info) != NULL)) {
    Found = sscanf (Line, "flags: %lo", &Flags) == 1;
  }

  if (Info != NULL) {
    fclose (Info);
  }

  return Found && ((Flags & O_PATH) != 0);
}

/**
  Tells whether process Pid has one of the block devices open, by the
  number of what each of its descriptors leads to, whatever its name there,
  and which one.
**/
static DEVICE_HOLDING
HoldsDevice (const std::string &Pid, const std::vector<dev_t> &Devices, dev_t *Held)
{
  std::string    Folder = "/proc/" + Pid + "/fd/";
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
            S_ISBLK (Opened.st_mode) &&
            (std::find (Devices.begin (), Devices.end (), Opened.st_rdev) != Devices.end ()) &&
            !IsPathOnly (Pid, Entry->d_name);
  }

  *Held = Found ? Opened.st_rdev : 0;
  closedir (Fds);
  return Found ? DeviceHeld : DeviceNotHeld;
}

// The name of a block device, from /sys; its number where /sys does not say.
static std::string
DeviceName (dev_t Device)
{
  char        Line[256];
  std::string Name   = std::to_string (major (Device)) + ":" + std::to_string (minor (Device));
  FILE       *Uevent = fopen (("/sys/dev/block/" + Name + "/uevent").c_str (), "re");

  while ((Uevent != NULL) && (fgets (Line, sizeof (Line), Uevent) != NULL)) {
    if (strncmp (Line, "DEVNAME=", 8) == 0) {
      Name = "/dev/" + std::string (Line + 8, strcspn (Line + 8, "\n"));
    }
  }

  if (Uevent != NULL) {
    fclose (Uevent);
  }

  return Name;
}

/**
  Names the process Pid that has the device open, or Held, the whole disk
  or a partition of it.
**/
static int
Holder (const std::string &Pid, dev_t Device, dev_t Held, std::string *Error)
{
  std::string Name;
  std::string What = (Held == Device) ? "it" : DeviceName (Held) + ", which overlaps it,";
  char        Text[384];

  if (IsQemuProcess (Pid, &Name)) {
    snprintf (
        Text, sizeof (Text),
        "it is in use by a running virtual machine (QEMU, process %s, has %s open); shut the "
        "machine down first",
        Pid.c_str (), What.c_str ());
    return VarsRefusal (Error, VarsExitVirtualMachine, Text);
  }

  snprintf (
      Text, sizeof (Text),
      "it is open in another program (%s, process %s, has %s open); try again once it is done",
      Name.c_str (), Pid.c_str (), What.c_str ());
  return VarsRefusal (Error, VarsExitOtherHolder, Text);
}

int
FindDeviceHolder (dev_t Device, std::string *Error)
{
  DIR                     *Proc    = opendir ("/proc");
  const std::vector<dev_t> Devices = OverlappingDevices (Device);
  struct dirent           *Entry;
  std::string              Self = std::to_string (getpid ());
  std::string              Unknown;
  DEVICE_HOLDING           Holding;
  dev_t                    Held;
  int                      Code;

  if (Proc == NULL) {
    return VarsRefusal (
        Error, VarsExitCannotLock, "cannot tell whether another process has it open", errno);
  }

  while ((Entry = readdir (Proc)) != NULL) {
    if ((strspn (Entry->d_name, "0123456789") != strlen (Entry->d_name)) ||
        (Self == Entry->d_name)) {
      continue;
    }

    Holding = HoldsDevice (Entry->d_name, Devices, &Held);
    if (Holding == DeviceHeld) {
      Code = Holder (Entry->d_name, Device, Held, Error);
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

/** @file
  brisvane-vars' exit statuses, each with its line of the README's table:
  0 to 14 are the %lasterror% that brisvane would leave, 64 on are this
  tool's own (sysexits.h's where it has one).
**/

#ifndef EXIT_STATUS_H_
#define EXIT_STATUS_H_

#include "platform/PlatformTypes.h"

#include <string>

///
/// The exit statuses. Any other firmware status that a command meets is
/// passed on as %lasterror% shows it, which the table leaves out.
///
typedef enum {
  /// done; for `-g`, the options are absent
  VarsExitDone = 0,
  /// `-g`: the options are stored
  VarsExitStored = 1,
  /// an option or word refused (as `%lasterror%` shows it), or a word that is not UTF-8 or beyond
  /// UCS-2
  VarsExitRefusedWord = 2,
  /// the store is full even after compaction; the message gives the free and needed bytes (the
  /// shell's `%lasterror%` 0x9)
  VarsExitStoreFull = 9,
  /// `-c`: there was nothing to clear (the shell's 0xE)
  VarsExitNothingToClear = 14,
  /// no file named
  VarsExitUsage = 64,
  /// not a variable store this tool edits: damaged, foreign, a fault-tolerant write pending that
  /// only the firmware completes, a full store without a spare area, or an AAVMF file the firmware
  /// has not formatted yet (all zeros: boot the machine once first)
  VarsExitNotAStore = 65,
  /// the file cannot be opened or read, or is neither a regular file nor a block device (a FIFO,
  /// character device, directory or socket, refused before it is opened); with `--domain`, an
  /// NVRAM named by a relative path, which libvirt resolves against its own working directory
  VarsExitCannotRead = 66,
  /// `--domain`: libvirt cannot be reached at the URI, has no domain of that name, or the domain
  /// has no NVRAM (it does not boot UEFI)
  VarsExitNoDomain = 67,
  /// `--connect` names another host, or a transport that may lead to one: run brisvane-vars where
  /// the NVRAM is
  VarsExitRemote = 68,
  /// a program or library that this kind of NVRAM needs is missing or cannot be run or loaded (a
  /// qcow2 image: qemu-storage-daemon, libnbd, json-c; `--domain`: libvirt, libxml2); the message
  /// names what and its Debian package
  VarsExitMissing = 69,
  /// qemu-storage-daemon cannot serve a qcow2 image for another reason than the image: its private
  /// folder cannot be made in `TMPDIR`, or it was killed or failed before or while it served the
  /// image; the message says how
  VarsExitStorageDaemon = 70,
  /// the file cannot be locked (a file system without open-file-description locks), or, on a
  /// block device, other users' processes cannot be checked for it (run as root)
  VarsExitCannotLock = 71,
  /// the file cannot be written: read-only, or a write failed (it still reads as before or after)
  VarsExitCannotWrite = 73,
  /// the file changed size, or was removed or replaced, while this tool had it: another program
  /// wrote, copied or renamed over it, ignoring the lock; the message says whether it was found
  /// before anything was written, or how much was
  VarsExitChangedSize = 74,
  /// a running virtual machine holds the file: QEMU's locks in its bytes from offset 100 and
  /// 200, or, on a block device, a QEMU process that has the device (or its whole disk, or a
  /// partition of it) open, looked for again just before the first write, or a Ceph RBD image
  /// that a QEMU on this host has open (a watcher of it); with `--domain`, the domain is not shut
  /// off
  VarsExitVirtualMachine = 75,
  /// another program holds a lock on the file, or has the block device open or mounted (another
  /// brisvane-vars most likely), or another client of the cluster has the Ceph RBD image open (the
  /// message gives its address)
  VarsExitOtherHolder = 76,
  /// the stored `Brisvane` has other attributes than brisvane's NV+BS; the firmware would refuse
  /// the write too
  VarsExitAttributesDiffer = 77,
  /// the value is too large for the store; the message gives the record's size and the limit
  /// (checked before the words are)
  VarsExitTooLarge = 78,
  /// a write to a libvirt domain's NVRAM while the domain has a managed save image, whose restore
  /// would undo it (`virsh managedsave-remove` drops it); nothing was written
  VarsExitManagedSave = 79,
  /// a qcow2 image that carries what an NVRAM file should not: a backing file, an external data
  /// file or encryption
  VarsExitQcow2Feature = 80,
  /// `--domain`: its NVRAM is on the network (`<nvram type='network'>`) over another protocol than
  /// nbd, iscsi and rbd, or with credentials or TLS, which this tool does not pass to QEMU
  VarsExitNetworkNvram = 81,
  /// a write to an NBD export or iSCSI LUN, whose users this tool does not see, without `--domain`
  /// or `--offline` to say that no virtual machine uses it; nothing was written
  VarsExitUnseenHolders = 82,
  /// a network store's server cannot be reached: the connection is refused, the host is
  /// unreachable or unknown, or it did not answer in time
  VarsExitUnreachable = 83,
  /// a network store's server has no such store: no such pool, image, export, target or LUN
  VarsExitNoSuchStore = 84,
  /// a network store's server refused the credentials
  VarsExitDenied = 85,
} VARS_EXIT;

/**
  The exit status of a command's result: the status without its error bit,
  as the shell's %lasterror% shows it, and 255 for any status beyond.

  @param[in] Status  What the command, or --show, returned.

  @return The exit status.
**/
int VarsExitOf (EFI_STATUS Status);

/**
  Sets a refusal's message, with an errno's text after it.

  @param[out] Error    Receives the message.
  @param[in]  Code     The VARS_EXIT status to give back.
  @param[in]  Message  What failed.
  @param[in]  Errno    The errno, or 0 for none.

  @return Code.
**/
int VarsRefusal (std::string *Error, int Code, const std::string &Message, int Errno = 0);

#endif

/** @file
  Who else has an NVRAM: the locks on it, QEMU's told from everyone else's,
  and on a block device the processes that hold it open, which QEMU started
  by libvirt does through a /dev of its own where no lock of it is seen.
**/

#ifndef HOLDERS_H_
#define HOLDERS_H_

#include "platform/PlatformTypes.h"

#include <sys/types.h>

#include <string>

// QEMU's file driver (block/file-posix.c) locks one byte for each permission it takes from
// RAW_LOCK_PERM_BASE (100) and one for each it does not share from RAW_LOCK_SHARED_BASE (200).
#define QEMU_LOCK_FIRST 100

/**
  Makes sure that no one holds a lock on the open file's first Length
  bytes, then locks them for as long as it stays open: for writing when it
  is open for writing.

  @param[in]  Fd        The open file or device.
  @param[in]  Writable  Whether it is open for writing.
  @param[in]  Length    How many bytes, 0 for the whole file: a qcow2 image is
                        locked below QEMU_LOCK_FIRST alone, so that the QEMU
                        serving it for this run can take its own locks.
  @param[out] Error     Receives a message on refusal.

  @retval 0                       Locked, and no one else's.
  @retval VarsExitVirtualMachine  QEMU holds a lock in its ranges.
  @retval VarsExitOtherHolder     Another program holds a lock.
  @retval VarsExitCannotLock      The file system has no such locks.
**/
int LockMedium (int Fd, bool Writable, off_t Length, std::string *Error);

/**
  The refusal of an NVRAM that a running virtual machine holds.

  @param[out] Error  Receives the message.

  @return VarsExitVirtualMachine.
**/
int RefuseRunningMachine (std::string *Error);

/**
  Looks through every process's open files (/proc/PID/fd) for the block
  device Device, this process aside.

  @param[in]  Device  The device's number (st_rdev).
  @param[out] Error   Receives a message naming the holder.

  @retval 0                       No other process has it open.
  @retval VarsExitVirtualMachine  QEMU has it open.
  @retval VarsExitOtherHolder     Another program has it open.
  @retval VarsExitCannotLock      Some process's open files cannot be read
                                  (another user's, to one who is not root).
**/
int FindDeviceHolder (dev_t Device, std::string *Error);

/**
  The name of process Pid's program (its comm), and whether it is a QEMU
  that runs a machine: by that name, or by its executable's, which
  Proxmox's "kvm" leads to. QEMU's other programs (qemu-nbd, say) run none.

  @param[in]  Pid   The process, by its number in /proc.
  @param[out] Name  Receives its program's name.

  @return Whether it is a QEMU that runs a machine.
**/
bool IsQemuProcess (const std::string &Pid, std::string *Name);

/**
  Finds a QEMU that runs a machine whose command line holds one of the
  phrases: one that opens a network store by its name, which no lock or
  open file of this host shows.

  @param[in]  Phrases  What its command line may hold.
  @param[in]  Count    How many there are.
  @param[out] Program  Receives its program's name.

  @return Its process, or 0 when there is none.
**/
pid_t FindQemuNaming (const std::string *Phrases, size_t Count, std::string *Program);

#endif

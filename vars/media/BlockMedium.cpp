/** @file
  The block device medium: an LVM volume, a zvol, a mapped RBD or a loop
  device holding a variable store at offset 0, as Proxmox VE keeps a
  virtual machine's EFI variables, and as libvirt's <nvram type='block'>
  names one. It is a file medium opened with O_EXCL, sized with
  BLKGETSIZE64, and read and written only as far as the store reaches: a
  volume rounded up to its extent size holds leftovers after the store,
  which are never read or written.

  QEMU neither opens the device exclusively nor, when libvirt started it,
  through the host's device node, where its locks would be seen; every
  process that has the device open is found by its number instead.
**/

#include "vars/media/FileMedium.h"

#include "nvram/BlockMap.h"
#include "vars/base/ExitStatus.h"
#include "vars/media/Holders.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <string.h>
#include <sys/ioctl.h>

#include <algorithm>

///
/// A block device, open exclusively and locked, and the part of it that the
/// store takes.
///
class BLOCK_MEDIUM : public FILE_MEDIUM {
public:
  int
  Open (const char *Path, int Probe, const struct stat *Probed, bool ReadOnly, std::string *Error)
      override;
  int Read (std::vector<UINT8> *Image) override;
  int WriteAt (UINT64 Offset, const UINT8 *Data, UINTN Size) override;
  int Measure (UINT64 *Size) override;

  // A QEMU started since the device was opened (through a node of its own, which no lock shows)
  // is found before anything is written.
  int
  Confirm (std::string *Error) override
  {
    return FindDeviceHolder (mDevice, Error);
  }

private:
  // The medium as the store library reads a volume's header and block map.
  static int
  ReadVolume (VOID *Medium, UINT64 Offset, VOID *Bytes, UINTN Size)
  {
    return static_cast<BLOCK_MEDIUM *> (Medium)->ReadAt (
        Offset, static_cast<UINT8 *> (Bytes), Size);
  }

  UINT64 StoreExtent (UINT64 DeviceSize);
  UINT64 mExtent = 0;
  dev_t  mDevice = 0;
};

int
BLOCK_MEDIUM::Open (
    const char        *Path,
    int                Probe,
    const struct stat *Probed,
    bool               ReadOnly,
    std::string       *Error)
{
  int Failure = Reopen (Path, Probe, Probed, O_EXCL, ReadOnly);
  int Code;

  // Held exclusively: by another brisvane-vars, which is open too, or by the kernel. A holder that
  // is gone by the time it is looked for let go meanwhile, and the open is tried once more.
  if (Failure == EBUSY) {
    Code = FindDeviceHolder (Probed->st_rdev, Error);
    if (Code != 0) {
      return Code;
    }

    Failure = Reopen (Path, Probe, Probed, O_EXCL, ReadOnly);
    if (Failure == EBUSY) {
      return VarsRefusal (
          Error, VarsExitOtherHolder,
          "it is in use by the kernel (mounted, or part of another volume)");
    }
  }

  if (Failure != 0) {
    return RefuseOpen (Failure, Error);
  }

  mDevice = Probed->st_rdev;
  Code    = LockMedium (mFd, mWritable, 0, Error);
  return (Code != 0) ? Code : FindDeviceHolder (mDevice, Error);
}

/**
  How far the store reaches: its firmware volume, or the block map beyond
  it that covers AAVMF's whole flash device. Where the start is no volume
  that fits the device, the device up to the largest NVRAM file, for the
  store's checks to give the reason.
**/
UINT64
BLOCK_MEDIUM::StoreExtent (UINT64 DeviceSize)
{
  UINT64 Limit  = std::min<UINT64> (DeviceSize, NVRAM_FILE_MAX_SIZE);
  UINT64 Extent = NvramVolumeExtent (ReadVolume, this, DeviceSize);

  return ((Extent == 0) || (Extent > Limit)) ? Limit : Extent;
}

int
BLOCK_MEDIUM::Read (std::vector<UINT8> *Image)
{
  UINT64 Size;
  int    Failure = Measure (&Size);

  if (Failure != 0) {
    return Failure;
  }

  mExtent = StoreExtent (Size);
  Image->resize (static_cast<size_t> (mExtent));
  return ReadAt (0, Image->data (), Image->size ());
}

int
BLOCK_MEDIUM::WriteAt (UINT64 Offset, const UINT8 *Data, UINTN Size)
{
  // Beyond the store lie the leftovers of a volume, not this tool's.
  if ((Offset > mExtent) || (Size > mExtent - Offset)) {
    return ENOSPC;
  }

  return FILE_MEDIUM::WriteAt (Offset, Data, Size);
}

int
BLOCK_MEDIUM::Measure (UINT64 *Size)
{
  return (ioctl (mFd, BLKGETSIZE64, Size) == 0) ? 0 : errno;
}

std::unique_ptr<NVRAM_MEDIUM>
NewBlockMedium (VOID)
{
  return std::unique_ptr<NVRAM_MEDIUM> (new BLOCK_MEDIUM ());
}

/** @file
  The medium that holds a virtual machine's NVRAM: what brisvane-vars needs
  from it (opening it with others kept out, reading it whole, writing at an
  offset, flushing) behind one interface, and what is written once above it
  (choosing the medium from the path, and replaying a write plan).

  A regular file is edited in place, unless it is a qcow2 image, which
  QEMU's block layer serves over NBD (Qcow2Medium.cpp); other kinds get a
  row in the table of kinds in Medium.cpp and an implementation beside
  FileMedium.cpp.
**/

#ifndef MEDIUM_H_
#define MEDIUM_H_

#include "nvram/VariableStore.h"

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

// AAVMF's file, its whole flash device, is the largest at exactly 64 MiB; a larger file, a disk
// image named by mistake most likely, is not read in.
#define NVRAM_FILE_MAX_SIZE (64 * 1024 * 1024)

// QEMU's file driver (block/file-posix.c) locks one byte for each permission from
// RAW_LOCK_PERM_BASE (100) and one for each it does not share from RAW_LOCK_SHARED_BASE (200).
#define QEMU_LOCK_FIRST 100

///
/// One medium, open for one run. Closing it, when it is destroyed, drops
/// whatever it holds that kept others out.
///
class NVRAM_MEDIUM {
public:
  virtual ~NVRAM_MEDIUM () = default;

  /**
    Opens what Path names, for writing when the user may, and makes sure
    that no one else is using it, or says who is.

    @param[in]  Path    The name as the user gave it.
    @param[in]  Probe   An O_PATH descriptor of it, which opens nothing.
    @param[in]  Probed  Probe's status, by which the medium was chosen.
    @param[out] Error   Receives a message on failure.

    @retval 0    Open, and no one else's.
    @return      A VARS_EXIT status otherwise.
  **/
  virtual int Open (const char *Path, int Probe, const struct stat *Probed, std::string *Error) = 0;

  /**
    Reads the whole store image.

    @param[out] Image  Receives it.

    @return 0, or the errno of a failed read.
  **/
  virtual int Read (std::vector<UINT8> *Image) = 0;

  /**
    @return Whether it was opened for writing.
  **/
  virtual bool Writable (VOID) const = 0;

  /**
    Writes Size bytes at Offset, all of them.

    @return 0, or the errno of a failed write.
  **/
  virtual int WriteAt (UINT64 Offset, const UINT8 *Data, UINTN Size) = 0;

  /**
    Makes the writes so far durable before any that follows.

    @return 0, or the errno of a failed flush.
  **/
  virtual int Flush (VOID) = 0;
};

///
/// An open NVRAM and its store image as read.
///
struct NVRAM_IMAGE {
  std::unique_ptr<NVRAM_MEDIUM> Medium;
  std::vector<UINT8>            Bytes;
};

/**
  Chooses the medium for what Path names, opens it and reads it whole.
  Anything that no medium takes is refused before it is opened for reading
  or writing, so that neither a FIFO nor a device can block or act.

  @param[in]  Path   The NVRAM as the user named it.
  @param[out] Image  Receives the open medium and its bytes.
  @param[out] Error  Receives a message on failure.

  @retval 0   Open, kept from others and read.
  @return     A VARS_EXIT status otherwise: VarsExitCannotRead when it
              cannot be opened or read or no medium takes it, or the
              medium's refusal.
**/
int OpenNvramImage (const char *Path, NVRAM_IMAGE *Image, std::string *Error);

/**
  Makes a plan's writes on the medium, in order, each flush a flush of the
  medium.

  @param[in]  Image  The open medium.
  @param[in]  Plan   The writes.
  @param[out] Error  Receives a message on failure.

  @retval 0                    The medium holds every write of the plan.
  @retval VarsExitCannotWrite  It is read-only, the plan is incomplete, or a
                               write failed; the message says how far it got.
**/
int ReplayWritePlan (const NVRAM_IMAGE *Image, const NVRAM_WRITE_PLAN *Plan, std::string *Error);

/**
  The regular file medium: locks on the whole file, QEMU's told apart.

  @return A medium to open.
**/
std::unique_ptr<NVRAM_MEDIUM> NewFileMedium (VOID);

/**
  Opens a name for reading, and for writing when the user may, without
  blocking on a FIFO or taking a terminal.

  @param[in]  Through   The name, a /proc/self/fd one included.
  @param[out] Writable  Receives whether it is open for writing.

  @return The descriptor, or -1 with errno set.
**/
int OpenNvramPath (const char *Through, bool *Writable);

/**
  Makes sure that no one else holds a lock on the file's first Length
  bytes, or says who does (QEMU or another program), and takes this run's
  lock on them.

  @param[in]  Fd        The file.
  @param[in]  Writable  Whether it is open for writing: a write lock then.
  @param[in]  Length    How many bytes to lock, 0 for the whole file.
  @param[out] Error     Receives a message on failure.

  @retval 0   Locked.
  @return     VarsExitVirtualMachine, VarsExitOtherHolder or
              VarsExitCannotLock otherwise.
**/
int LockNvramFile (int Fd, bool Writable, off_t Length, std::string *Error);

/**
  The refusal of a file that a running virtual machine holds.

  @param[out] Error  Receives the message.

  @return VarsExitVirtualMachine.
**/
int RefuseRunningMachine (std::string *Error);

/**
  Tells a qcow2 image by its magic alone, which chooses its medium; QEMU
  reads the rest of its header.

  @param[in] Probe  An O_PATH descriptor of a regular file.

  @return Whether it starts with the qcow2 magic.
**/
bool IsQcow2Image (int Probe);

/**
  The qcow2 medium: QEMU's storage daemon serving the image over NBD.

  @return A medium to open.
**/
std::unique_ptr<NVRAM_MEDIUM> NewQcow2Medium (VOID);

#endif

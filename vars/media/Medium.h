/** @file
  The medium that holds a virtual machine's NVRAM: what brisvane-vars needs
  from it (opening it with others kept out, reading it whole, writing at an
  offset, flushing) behind one interface, and what is written once above it
  (choosing the medium from the path, and replaying a write plan).

  A regular file is edited in place, unless it is a qcow2 image, which
  QEMU's block layer serves over NBD (Qcow2Medium.cpp); a block device holds
  the store at its start (BlockMedium.cpp). Another kind gets a row in the
  table of kinds in Medium.cpp and an implementation beside these.
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

///
/// One medium, open for one run. Closing it, when it is destroyed, drops
/// whatever it holds that kept others out.
///
class NVRAM_MEDIUM {
public:
  virtual ~NVRAM_MEDIUM () = default;

  /**
    Opens what Path names, for writing when the user may unless ReadOnly,
    and makes sure that no one else is using it, or says who is.

    @param[in]  Path      The name as the user gave it.
    @param[in]  Probe     An O_PATH descriptor of it, which opens nothing.
    @param[in]  Probed    Probe's status, by which the medium was chosen.
    @param[in]  ReadOnly  Open it for reading alone, taking no write lock, so
                          that nothing (QEMU included) can change a byte.
    @param[out] Error     Receives a message on failure.

    @retval 0    Open, and no one else's.
    @return      A VARS_EXIT status otherwise.
  **/
  virtual int Open (
      const char        *Path,
      int                Probe,
      const struct stat *Probed,
      bool               ReadOnly,
      std::string       *Error) = 0;

  /**
    Reads the whole store image.

    @param[out] Image  Receives it.

    @return 0, or the errno of a failed read.
  **/
  virtual int Read (std::vector<UINT8> *Image) = 0;

  /**
    Refuses the medium after a failed Read, by what the failure means on it.

    @param[in]  Failure  What Read returned.
    @param[out] Error    Receives the message.

    @return VarsExitCannotRead here; a medium whose reads can tell more
            (QEMU finding its image damaged, say) gives its own.
  **/
  virtual int RefuseRead (int Failure, std::string *Error);

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

  /**
    Measures it now: a file's length, a device's size. Another program that
    ignores the lock (a copy of a template over the file, say) shows as a
    change, before, while and after this tool writes, and so does a file
    removed, or replaced under its name, which would take the edit with it.

    @param[out] Size  Receives the size in bytes.

    @retval 0               Measured.
    @retval MEDIUM_REPLACED Its name no longer leads to the file open.
    @return                 The errno of a failed measure otherwise.
  **/
  virtual int Measure (UINT64 *Size) = 0;

  /**
    @return Whether its writes may make it larger: a qcow2 image grows as
            QEMU allocates clusters, and never shrinks meanwhile.
  **/
  virtual bool
  GrowsWhenWritten (VOID) const
  {
    return false;
  }

  /**
    Makes sure, under this run's hold and just before the first write, that
    no one else has come to use it since it was opened.

    @param[out] Error  Receives a message on refusal.

    @retval 0  No one else's.
    @return    A VARS_EXIT status otherwise.
  **/
  virtual int
  Confirm (std::string *Error)
  {
    (VOID) Error;
    return 0;
  }
};

///
/// What Measure returns for a medium whose name leads to another file now.
///
#define MEDIUM_REPLACED (-1)

///
/// How a run may use its NVRAM.
///
typedef struct {
  bool ReadOnly; ///< A read (--show, -g): opened for reading alone and left as it was.
  /// The caller knows that no virtual machine uses it: libvirt has the domain shut off, or the
  /// user said so (--offline); a network store whose holders cannot be seen is written only so.
  bool Unused;
  int  Seconds; ///< How long a network store's server may take to answer.
} NVRAM_ACCESS;

///
/// An open NVRAM and its store image as read.
///
struct NVRAM_IMAGE {
  std::unique_ptr<NVRAM_MEDIUM> Medium;
  std::vector<UINT8>            Bytes;
  UINT64                        Size = 0; ///< The medium's size when it was read.
  /// Whether a libvirt domain has a managed save image whose restore would
  /// undo any write (vars/media/ManagedSave.h): the domain, and the image where
  /// its name is known.
  bool        ManagedSave = false;
  std::string SaveImage;
  std::string Domain;
};

/**
  Chooses the medium for what Path names, opens it and reads it whole.
  Anything that no medium takes is refused before it is opened for reading
  or writing, so that neither a FIFO nor a device can block or act.

  @param[in]  Path      The NVRAM as the user named it: a file, a device, or
                        a store on the network by QEMU's name for it.
  @param[in]  Access    How it may be used.
  @param[out] Image     Receives the open medium and its bytes.
  @param[out] Error     Receives a message on failure.

  @retval 0   Open, kept from others and read.
  @return     A VARS_EXIT status otherwise: VarsExitCannotRead when it
              cannot be opened or read or no medium takes it,
              VarsExitChangedSize when its size changed while it was read,
              or the medium's refusal.
**/
int OpenNvramImage (
    const char         *Path,
    const NVRAM_ACCESS *Access,
    NVRAM_IMAGE        *Image,
    std::string        *Error);

/**
  Reads an open medium whole, and makes sure it kept its size meanwhile.

  @param[in, out] Image  The open medium; receives its bytes and size.
  @param[out]     Error  Receives a message on failure.

  @retval 0                    Read.
  @retval VarsExitChangedSize  Its size changed while it was read.
  @retval VarsExitCannotRead   It cannot be measured or read.
**/
int ReadNvramImage (NVRAM_IMAGE *Image, std::string *Error);

/**
  Makes a plan's writes on the medium, in order, each flush a flush of the
  medium.

  @param[in]  Image  The open medium.
  @param[in]  Plan   The writes.
  @param[out] Error  Receives a message on failure.

  @retval 0                    The medium holds every write of the plan.
  @retval VarsExitCannotWrite  It is read-only, the plan is incomplete, or a
                               write failed; the message says how far it got.
  @retval VarsExitChangedSize  Its size changed since it was read: before
                               the writes, none is made; the message says
                               which were made otherwise.
  @retval VarsExitManagedSave  A plan with writes for the NVRAM of a libvirt
                               domain with a managed save image; none is made.
**/
int ReplayWritePlan (const NVRAM_IMAGE *Image, const NVRAM_WRITE_PLAN *Plan, std::string *Error);

/**
  The regular file medium: locks on the whole file, QEMU's told apart.

  @return A medium to open.
**/
std::unique_ptr<NVRAM_MEDIUM> NewFileMedium (VOID);

/**
  The block device medium: the store at offset 0, the device held
  exclusively, and refused while any other process has it open.

  @return A medium to open.
**/
std::unique_ptr<NVRAM_MEDIUM> NewBlockMedium (VOID);

/**
  Tells a qcow2 image, which chooses its medium: a file that starts with the
  qcow2 magic and holds no firmware volume at its start. A store's volume
  signature lies where a qcow2 header keeps its L1 table's offset, which
  QEMU refuses unless cluster-aligned, as the signature never is: so a
  store whose first bytes a guest rewrote is still taken as raw, and no
  image QEMU would open is. QEMU reads the rest of the header.

  @param[in] Probe  An O_PATH descriptor of a regular file.

  @return Whether it is to be opened as a qcow2 image.
**/
bool IsQcow2Image (int Probe);

/**
  Tells a qcow2 image by its first bytes, as IsQcow2Image does.

  @param[in] Start  The first bytes.
  @param[in] Size   How many there are.

  @return Whether they are a qcow2 header rather than a firmware volume's.
**/
bool IsQcow2Header (const UINT8 *Start, UINTN Size);

/**
  The qcow2 medium: QEMU's storage daemon serving the image over NBD.

  @return A medium to open.
**/
std::unique_ptr<NVRAM_MEDIUM> NewQcow2Medium (VOID);

/**
  Tells a store on the network by QEMU's name for it: rbd:, nbd:,
  nbd+unix:, nbd+tcp: or iscsi: at its start.

  @param[in] Path  The NVRAM as the user named it.

  @return Whether it names a store on the network.
**/
bool IsNetworkNvram (const char *Path);

/**
  The network medium: qemu-nbd serving the store, raw, to this run.

  @param[in] Access  How it may be used.

  @return A medium to open.
**/
std::unique_ptr<NVRAM_MEDIUM> NewNetworkMedium (const NVRAM_ACCESS *Access);

#endif

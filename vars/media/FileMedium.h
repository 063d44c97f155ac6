/** @file
  The regular file medium, which the block device medium extends: a file
  opened in place, read and written with pread and pwrite, flushed with
  fdatasync, and locked whole while it is open.
**/

#ifndef FILE_MEDIUM_H_
#define FILE_MEDIUM_H_

#include "vars/media/Medium.h"

/**
  The name by which the file open as Fd is opened again, whatever became of
  its own name meanwhile.

  @param[in] Fd  An open descriptor, an O_PATH one included.

  @return Its name under /proc/self/fd.
**/
std::string DescriptorPath (int Fd);

/**
  Writes Size bytes at Offset of the file open as Fd, all of them.

  @return 0, or the errno of a failed write (EIO for one that wrote nothing).
**/
int WriteFileAt (int Fd, UINT64 Offset, const UINT8 *Data, UINTN Size);

/**
  Opens a name for reading, and for writing when the user may unless
  ReadOnly, without blocking on a FIFO or taking a terminal.

  @param[in]  Through   The name, a /proc/self/fd one included.
  @param[in]  Flags     More open flags (O_EXCL for a device).
  @param[in]  ReadOnly  Whether to open it for reading alone.
  @param[out] Writable  Receives whether it is open for writing.

  @return The descriptor, or -1 with errno set.
**/
int OpenNvramPath (const char *Through, int Flags, bool ReadOnly, bool *Writable);

/**
  Measures the file open as Fd, and makes sure that Path still leads to it:
  one removed, or replaced under its name, would take an edit with it.

  @param[in]  Fd    The open file.
  @param[in]  Path  Its name as the user gave it.
  @param[out] Size  Receives its length.

  @retval 0               Measured.
  @retval MEDIUM_REPLACED Path leads elsewhere, or nowhere.
  @return                 The errno of a failed fstat.
**/
int MeasureNamedFile (int Fd, const std::string &Path, UINT64 *Size);

///
/// An NVRAM file, open and locked.
///
class FILE_MEDIUM : public NVRAM_MEDIUM {
public:
  ~FILE_MEDIUM () override;

  int
  Open (const char *Path, int Probe, const struct stat *Probed, bool ReadOnly, std::string *Error)
      override;
  int  Read (std::vector<UINT8> *Image) override;
  bool Writable (VOID) const override;
  int  WriteAt (UINT64 Offset, const UINT8 *Data, UINTN Size) override;
  int  Flush (VOID) override;
  int  Measure (UINT64 *Size) override;

protected:
  /**
    Opens the very file that Probe refers to, for reading, and for writing
    when the user may.

    @param[in] Path    Its name, used where there is no /proc.
    @param[in] Probe   An O_PATH descriptor of it.
    @param[in] Probed  Probe's status.
    @param[in] Flags     More open flags (O_EXCL for a device).
    @param[in] ReadOnly  Whether to open it for reading alone.

    @retval 0   Open.
    @retval -1  The name led to another file meanwhile.
    @return     The errno of a failed open otherwise.
  **/
  int Reopen (const char *Path, int Probe, const struct stat *Probed, int Flags, bool ReadOnly);

  /**
    Refuses the file that Reopen could not open.

    @param[in]  Failure  What Reopen returned.
    @param[out] Error    Receives the message.

    @return VarsExitCannotRead.
  **/
  static int RefuseOpen (int Failure, std::string *Error);

  /**
    Reads Size bytes at Offset, all of them.

    @return 0, or the errno of a failed read (EIO for one that ends early).
  **/
  int ReadAt (UINT64 Offset, UINT8 *Data, UINTN Size);

  int         mFd       = -1;
  bool        mWritable = false;
  std::string mPath; ///< The name it was opened by.
};

#endif

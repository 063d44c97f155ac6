/** @file
  Reading an NVRAM file whole and replacing it atomically, and keeping a
  running virtual machine's file out of reach.

  QEMU takes open-file-description locks on the bytes of its drive files;
  a file that carries any lock is refused, and a file opened for writing is
  itself locked exclusively until it is closed, so that QEMU cannot start on
  it meanwhile.
**/

#ifndef NVRAM_FILE_H_
#define NVRAM_FILE_H_

#include "platform/PlatformTypes.h"

#include <sys/stat.h>

#include <string>
#include <vector>

///
/// An open NVRAM file and its contents as read.
///
struct NVRAM_FILE {
  std::string        Path;     ///< The file's real path, symbolic links resolved.
  int                Fd = -1;  ///< Open, and locked when Writable.
  bool               Writable; ///< The user may write the file.
  struct stat        Status;   ///< Mode and owner to give the replacement.
  std::vector<UINT8> Bytes;
};

/**
  Opens a file, checks that no one holds a lock on it, and reads it whole.

  @param[in]  Path   The file as the user named it.
  @param[out] File   Receives the open file; close it with CloseNvramFile.
  @param[out] Error  Receives a message on failure.

  @retval 0            The file is open and read.
  @retval EX_NOINPUT   It cannot be opened or read, or is not a regular file.
  @retval EX_DATAERR   It is too large to be an NVRAM file.
  @retval EX_TEMPFAIL  A process, a virtual machine most likely, has it locked.
**/
int OpenNvramFile (const char *Path, NVRAM_FILE *File, std::string *Error);

/**
  Replaces the file's contents: writes a new file beside it, flushes it to
  disk, gives it the old file's mode and owner, renames it over the old one
  and flushes the directory. A failure at any step leaves the old file as it
  was.

  @param[in]  File   The open file.
  @param[in]  Bytes  The new contents.
  @param[out] Error  Receives a message on failure.

  @retval 0             The file holds Bytes.
  @retval EX_CANTCREAT  Nothing was replaced; or, as the message says, the
                        file was replaced but its folder could not be
                        flushed to disk.
**/
int ReplaceNvramFile (const NVRAM_FILE *File, const std::vector<UINT8> &Bytes, std::string *Error);

/**
  Closes the file, which drops its lock.

  @param[in, out] File  An open file, or one that failed to open.
**/
VOID CloseNvramFile (NVRAM_FILE *File);

#endif

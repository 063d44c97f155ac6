/** @file
  Reading an NVRAM file whole and writing edits to it in place, and keeping
  a running virtual machine's file out of reach.

  QEMU takes open-file-description locks on single bytes of its drive files;
  this tool locks the whole file for as long as it has it open, for writing
  when it may write, so that neither can use the file while the other has
  it, and a lock already there says who holds it.
**/

#ifndef NVRAM_FILE_H_
#define NVRAM_FILE_H_

#include "nvram/VariableStore.h"

#include <string>
#include <vector>

///
/// Exit statuses beyond sysexits.h's: the file is locked by another program
/// than a virtual machine.
///
#define VARS_EXIT_IN_USE_BY_EDITOR 76

///
/// An open NVRAM file and its contents as read.
///
struct NVRAM_FILE {
  int                Fd = -1;  ///< Open and locked.
  bool               Writable; ///< Opened for writing, and locked for it.
  std::vector<UINT8> Bytes;
};

/**
  Opens a file, locks it and reads it whole. Anything but a regular file is
  refused before it is opened for reading or writing, so that neither a FIFO
  nor a device can block or act.

  @param[in]  Path   The file as the user named it.
  @param[out] File   Receives the open file; close it with CloseNvramFile.
  @param[out] Error  Receives a message on failure.

  @retval 0                           The file is open, locked and read.
  @retval EX_NOINPUT                  It cannot be opened or read, or is not a
                                      regular file.
  @retval EX_DATAERR                  It is too large to be an NVRAM file.
  @retval EX_TEMPFAIL                 A virtual machine holds locks on it.
  @retval VARS_EXIT_IN_USE_BY_EDITOR  Another program holds a lock on it.
  @retval EX_OSERR                    It cannot be locked.
**/
int OpenNvramFile (const char *Path, NVRAM_FILE *File, std::string *Error);

/**
  Makes a plan's writes on the file itself, in order, each flush an
  fdatasync.

  @param[in]  File   The open file.
  @param[in]  Plan   The writes.
  @param[out] Error  Receives a message on failure.

  @retval 0             The file holds every write of the plan.
  @retval EX_CANTCREAT  It is read-only, the plan is incomplete, or a write
                        failed; the message says how far it got.
**/
int WriteNvramFile (const NVRAM_FILE *File, const NVRAM_WRITE_PLAN *Plan, std::string *Error);

/**
  Closes the file, which drops its lock.

  @param[in, out] File  An open file, or one that failed to open.
**/
VOID CloseNvramFile (NVRAM_FILE *File);

#endif

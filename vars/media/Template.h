/** @file
  brisvane-vars --template: a virtual machine's NVRAM file made from its
  firmware's template in the same step as the command, and removed again
  when the command is refused, unless another run has used it meanwhile.
**/

#ifndef TEMPLATE_H_
#define TEMPLATE_H_

#include "platform/PlatformTypes.h"

#include <sys/types.h>

#include <string>
#include <vector>

///
/// The file a run made: which file it is, and what it was made with.
///
typedef struct {
  dev_t              Device;
  ino_t              Inode;
  std::vector<UINT8> Bytes;
  bool               Existed; ///< Nothing was made: a file was there already.
} MADE_FILE;

/**
  Creates Path as a copy of Template, flushed to disk, with the mode that
  the user's umask gives a new file. A file already at Path is never
  overwritten.

  @param[in]  Template  The firmware's template, such as OVMF_VARS_4M.fd.
  @param[in]  Path      The NVRAM file to create.
  @param[out] Made      Receives the file made, or Existed.
  @param[out] Error     Receives a message on failure.

  @retval 0                    Path holds a copy of Template.
  @retval VarsExitCannotRead   Template cannot be read, or is not a regular file.
  @retval VarsExitCannotWrite  Path exists (Made->Existed), or cannot be written; nothing is left.
**/
int
CreateFromTemplate (const char *Template, const char *Path, MADE_FILE *Made, std::string *Error);

/**
  Removes Path when it is still the file this run made, holds exactly
  what it was made with, and no one else has it open: a run that edited it
  meanwhile, and reported that it did, keeps its edit.

  @param[in] Path  The file.
  @param[in] Made  What CreateFromTemplate made.

  @return NULL when it was removed, or why it was kept.
**/
const char *RemoveMadeFile (const char *Path, const MADE_FILE *Made);

#endif

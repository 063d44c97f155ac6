/** @file
  brisvane-vars --template: a virtual machine's NVRAM file made from its
  firmware's template in the same step as the command.
**/

#ifndef TEMPLATE_H_
#define TEMPLATE_H_

#include <string>

/**
  Creates Path as a copy of Template, flushed to disk, with the mode that
  the user's umask gives a new file. A file already at Path is never
  overwritten.

  @param[in]  Template  The firmware's template, such as OVMF_VARS_4M.fd.
  @param[in]  Path      The NVRAM file to create.
  @param[out] Error     Receives a message on failure.

  @retval 0                    Path holds a copy of Template.
  @retval VarsExitCannotRead   Template cannot be read, or is not a regular file.
  @retval VarsExitCannotWrite  Path exists, or cannot be written; nothing is left.
**/
int CreateFromTemplate (const char *Template, const char *Path, std::string *Error);

#endif

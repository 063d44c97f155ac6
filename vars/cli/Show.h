/** @file
  brisvane-vars --show: the stored start-up options as text, or as one JSON
  object for scripts.
**/

#ifndef SHOW_H_
#define SHOW_H_

#include "platform/PlatformTypes.h"

#include <stdio.h>

#include <string>

/**
  Prints the stored value through the store's read: as a line of text when
  it is what the set action stores (UCS-2 ended by its only NUL), as bytes
  otherwise, or that it is not set. As JSON, one object with the keys
  "present", "value" (the text, or null), "attributes" (a number, or null),
  "attribute_names" (an array, or null) and "size" (bytes, or null).

  Call it with the platform attached to the store.

  @param[in]  Out    Where the value goes.
  @param[in]  Json   Whether to print the JSON object.
  @param[out] Error  Receives the reason when the read failed.

  @retval EFI_SUCCESS  The value, or its absence, was printed.
  @return              The read's status when it failed.
**/
EFI_STATUS
ShowStartupOptions (FILE *Out, bool Json, std::string *Error);

#endif

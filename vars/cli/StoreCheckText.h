/** @file
  The words for each reason the store library refuses a file, for
  brisvane-vars' one-line messages.
**/

#ifndef VARS_STORE_CHECK_TEXT_H_
#define VARS_STORE_CHECK_TEXT_H_

#include "nvram/StoreOpen.h"

/**
  Describes a refusal in a few words for a one-line message, without a
  final full stop.

  @param[in]  Check       A reason from OpenNvramStore.
  @param[in]  Offset      The store's CheckOffset, named where it helps.
  @param[out] Buffer      Receives the text.
  @param[in]  BufferSize  The size of Buffer in bytes.
**/
VOID
DescribeNvramStoreCheck (NVRAM_STORE_CHECK Check, UINTN Offset, char *Buffer, UINTN BufferSize);

#endif

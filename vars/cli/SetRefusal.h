/** @file
  The messages and exit statuses of the writes that the variable store
  refuses for a reason the user can act on.
**/

#ifndef SET_REFUSAL_H_
#define SET_REFUSAL_H_

#include "nvram/VariableStore.h"

#include <string>

/**
  Describes why the store refused the last write of an edit.

  @param[in]  Store    The store after the write.
  @param[in]  Refusal  The edit's refusal.
  @param[out] Message  Receives one line without the file's name, when refused.

  @retval 0                         The write was not refused for such a reason.
  @retval VarsExitAttributesDiffer  The stored variable has other attributes.
  @retval VarsExitTooLarge          The value passes the firmware's limit.
  @retval VarsExitStoreFull         The store is full even when compacted.
  @retval VarsExitNotAStore         A compaction is due, and the file has no
                                    spare area to make it through.
**/
int
DescribeSetRefusal (const NVRAM_STORE *Store, const NVRAM_REFUSAL *Refusal, std::string *Message);

/**
  The name that UEFI, and the shell's dmpstore, give an attribute bit.

  @param[in] Bit  The bit's number, from 0 (non-volatile) on.

  @return "NV", "BS", "RT", "HR", "AW", "AT" or "AP"; NULL past the last.
**/
const char *AttributeName (UINTN Bit);

/**
  The names of the attribute bits set in Attributes, lowest bit first, each
  between Quote and Quote, joined with Separator.

  @param[in] Attributes  The attributes.
  @param[in] Quote       What goes before and after each name ("" for none).
  @param[in] Separator   What goes between two names.

  @return The names joined; "" for none.
**/
std::string JoinAttributeNames (UINT32 Attributes, const char *Quote, const char *Separator);

#endif

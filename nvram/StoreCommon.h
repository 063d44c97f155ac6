/** @file
  What every part of the store library shares, and nothing outside it uses:
  comparing GUIDs, telling erased bytes, and noting why a file is refused.
**/

#ifndef NVRAM_STORE_COMMON_H_
#define NVRAM_STORE_COMMON_H_

#include "nvram/StoreOpen.h"
#include "nvram/VariableStoreFormat.h"

#include <string.h>

// CompareGuid.
static inline BOOLEAN
IsSameGuid (const EFI_GUID *First, const EFI_GUID *Second)
{
  return memcmp (First, Second, sizeof (EFI_GUID)) == 0;
}

// IsErasedFlashBuffer: every byte 0xFF, each compared with the next by memcmp, which is fast.
static inline BOOLEAN
NvramIsErased (const UINT8 *Bytes, UINTN Size)
{
  return (Size == 0) ||
         ((Bytes[0] == NVRAM_ERASED_BYTE) && (memcmp (Bytes, Bytes + 1, Size - 1) == 0));
}

// Notes where a check failed, for the caller's message to name.
static inline NVRAM_STORE_CHECK
Refuse (NVRAM_STORE *Store, UINTN Offset, NVRAM_STORE_CHECK Check)
{
  Store->CheckOffset = Offset;
  return Check;
}

#endif

/** @file
  The compaction of a full store (Reclaim.cpp), which a write calls when its
  record does not fit.
**/

#ifndef NVRAM_RECLAIM_H_
#define NVRAM_RECLAIM_H_

#include "nvram/RecordWrites.h"

/**
  Compacts the store to its live records with a new record at the end, as
  Reclaim does when a write does not fit, and writes the result through the
  fault-tolerant write areas; the store is changed only when the whole
  result fits. A refusal is noted in Edit->Refusal.

  @param[in, out] Store     The opened store.
  @param[in]      Replaced  The lookup of the variable being written, whose
                            live record is marked in transition first.
  @param[in]      New       The new record; the records of its variable
                            are left out.
  @param[in, out] Edit      Receives the writes and the refusal; may be NULL.

  @retval EFI_SUCCESS           The store is compacted, the new record last.
  @retval EFI_OUT_OF_RESOURCES  No memory, no spare area, or the live
                                records and the new one do not fit; the
                                store and the plan are unchanged.
**/
EFI_STATUS
NvramReclaim (
    NVRAM_STORE            *Store,
    const NVRAM_LOOKUP     *Replaced,
    const NVRAM_NEW_RECORD *New,
    NVRAM_EDIT             *Edit);

#endif

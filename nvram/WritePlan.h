/** @file
  What an edit of a variable store gives its caller: the plan of its writes,
  the firmware's writes on flash in their order with the flushes between
  them, for the caller to replay on the file; and why an operation refused.
**/

#ifndef NVRAM_WRITE_PLAN_H_
#define NVRAM_WRITE_PLAN_H_

#include "platform/PlatformTypes.h"

///
/// One step of a write plan: Size bytes at Offset in the file, or, with a
/// Size of 0, a flush of every earlier write to the disk before any later
/// one is made.
///
typedef struct {
  UINTN Offset;
  UINTN Size;
  UINTN Data; ///< Where the step's bytes start in the plan's Bytes.
} NVRAM_WRITE;

///
/// The writes of one or more edits, in order. Zero it before first use and
/// release it with NvramFreeWritePlan.
///
typedef struct {
  NVRAM_WRITE *Steps;
  UINTN        Count;
  UINTN        Capacity;
  UINT8       *Bytes;
  UINTN        BytesSize;
  UINTN        BytesCapacity;
  /// Steps were lost: an edit recorded more than the room it reserved before
  /// its first write, or a write fell outside the volume, each a fault of
  /// this library. The plan must not be replayed.
  BOOLEAN Incomplete;
} NVRAM_WRITE_PLAN;

///
/// Why NvramStoreSetVariable refused a write, beyond its status, for a
/// message that says it.
///
typedef enum {
  NvramNotRefused,
  NvramRefusedAttributes, ///< The stored variable has other attributes.
  NvramRefusedTooLarge,   ///< The record passes the firmware's limit.
  NvramRefusedStoreFull,  ///< No room even with the store compacted.
  NvramRefusedNoSpare,    ///< A compaction is due, but the file has no spare area.
} NVRAM_REFUSAL_REASON;

typedef struct {
  NVRAM_REFUSAL_REASON Reason;
  UINT32               StoredAttributes; ///< NvramRefusedAttributes: the variable's own.
  UINTN                Needed;           ///< The record's size: with its header and name for
                ///< NvramRefusedTooLarge, its place in the store otherwise.
  UINTN Available; ///< NvramRefusedTooLarge: the limit; NvramRefusedStoreFull:
                   ///< the free space of the compacted store.
} NVRAM_REFUSAL;

///
/// What an edit of a store gives its caller: one or more operations on the
/// store, each passed the same edit. Zero it before first use.
///
typedef struct {
  NVRAM_WRITE_PLAN *Plan;    ///< Receives every write when not NULL.
  NVRAM_REFUSAL     Refusal; ///< Set by each NvramStoreSetVariable and
                             ///< NvramStoreRefusesSize: why it refused, or
                             ///< NvramNotRefused.
} NVRAM_EDIT;

/**
  Releases a write plan's memory and leaves it empty, ready for reuse.

  @param[in, out] Plan  A plan, zeroed or used.
**/
VOID NvramFreeWritePlan (NVRAM_WRITE_PLAN *Plan);

/// Lets every allocation through, as at start.
#define NVRAM_ALL_ALLOCATIONS ((UINTN)-1)

/**
  Makes allocations fail, for the tests of the refusals it causes: the
  library's next Allowed allocations are made and every later one fails,
  until the next call.

  @param[in] Allowed  How many to make, or NVRAM_ALL_ALLOCATIONS.

  @return How many allocations failed since the last call.
**/
UINTN
NvramLimitAllocations (UINTN Allowed);

#endif

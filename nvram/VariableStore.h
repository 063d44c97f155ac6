/** @file
  The variable store of an OVMF NVRAM file, edited in memory the way EDK II's
  variable driver edits it on flash: a lookup finds the live record, a write
  appends a new record and retires the old one, a deletion retires it, and a
  write that does not fit compacts the store first.

  Nothing here touches the file itself: the caller reads the whole file into
  a buffer and opens the store over it. Every edit is made to the buffer
  and, when the caller passes an edit (NVRAM_EDIT) with a plan, also
  recorded in that write plan: the writes the firmware would make on
  flash, in its order, with the flushes that keep a file interrupted
  between any two of them readable as before or after the edit. The caller
  replays the plan on the file itself.

  An operation either succeeds whole or is refused. A refused one leaves
  the buffer, the opened store, and the steps and bytes of the edit's plan
  as they were (the plan may keep more room): everything an edit can fail
  on, memory included (the plan's room for its writes, the compaction's
  buffer), is checked before its first write; the one check that can only
  follow writes, that of the store a recovery leaves, takes them back.
**/

#ifndef VARIABLE_STORE_H_
#define VARIABLE_STORE_H_

#include "platform/PlatformTypes.h"

///
/// Why a file is not a variable store this code edits. Every reason but
/// NvramStoreValid refuses the file as a whole.
///
typedef enum {
  NvramStoreValid,
  NvramTruncatedVolumeHeader,
  NvramNotFirmwareVolume,
  NvramUnknownVolumeRevision,
  NvramBadVolumeHeaderLength,
  NvramBadVolumeChecksum,
  NvramNotNvDataVolume,
  NvramVolumeLengthMismatch,
  NvramPaddingNotZero,
  NvramUnformattedFlash,
  NvramBadBlockMap,
  NvramUnknownErasePolarity,
  NvramTruncatedStoreHeader,
  NvramUnauthenticatedStore,
  NvramUnknownStoreSignature,
  NvramStoreNotHealthy,
  NvramBadStoreSize,
  NvramNoWorkingBlock,
  NvramBadWorkingBlock,
  NvramWriteInProgress,
  NvramRecordPastEnd,
  NvramRepeatedVariable,
} NVRAM_STORE_CHECK;

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

///
/// The fault-tolerant write areas of the volume, where the firmware's FTW
/// driver finds them (FindFvbForFtw, InitFtwProtocol): a working block that
/// queues the writes, and the spare area that holds a write's new blocks
/// until they are in place. Offsets into the image.
///
typedef struct {
  UINTN BlockSize;        ///< The volume's block size.
  UINTN WorkingBase;      ///< The working block's header, then its write queue.
  UINTN WorkingSize;      ///< The header and the queue.
  UINTN LastWrite;        ///< The queue's last write header (FtwGetLastWriteHeader),
                          ///< from WorkingBase; WorkingSize when the queue is used up.
  UINTN   SpareBase;      ///< Right after the working block, as OVMF lays it out.
  UINTN   SpareSize;      ///< To the end of the volume; 0 when no usable spare area.
  BOOLEAN SpareHasVolume; ///< A write cut short left a copy of the volume's
                          ///< first blocks there, a second store to readers.
} NVRAM_FTW_AREAS;

///
/// An opened store: offsets into the caller's buffer, which it does not own.
///
typedef struct {
  UINT8 *Image;
  UINTN  ImageSize;
  UINTN  VolumeSize;  ///< The firmware volume's length; zero padding fills the rest.
  UINTN  StoreBase;   ///< The variable store header.
  UINTN  FirstRecord; ///< The first record, right after the header.
  UINTN  StoreEnd;    ///< The end of the store, StoreBase + its Size.
  UINTN  FreeOffset;  ///< The end of the last record, where the next one goes.
  UINTN  CheckOffset; ///< Where the fault that refused the file was found.
  /// FALSE when bytes after the last record are not erased, as a write cut
  /// short leaves them; the next write compacts the store first, as the
  /// variable driver does when it starts (VariableWriteServiceInitialize).
  BOOLEAN FreeSpaceErased;
  /// The most bytes a variable without authentication takes, its record
  /// header and name included: PcdMaxVariableSize of the OVMF build whose
  /// layout the file has, or of the 2 MB build when the layout is unknown.
  UINTN           MaxVariableSize;
  const char     *Layout; ///< The build's name, or NULL when unknown.
  NVRAM_FTW_AREAS Ftw;
} NVRAM_STORE;

/**
  Checks that a buffer holds a whole NVRAM file in a form this code edits
  safely, and opens its variable store.

  The checks: a firmware volume of non-volatile data at the start of the
  buffer, with a valid header checksum and block map and erased bytes of 1,
  followed by zeros only up to the end of the buffer (AAVMF's file is its
  whole flash device, the volume padded with zeros);
  the authenticated variable store, formatted and healthy, as its first
  region; the fault-tolerant write working block after it, valid and with no
  write pending; and live variable records that lie within the store, with
  no more of one variable than an interrupted write leaves (a record that
  is not live and runs past the store, a header torn in its sizes, ends
  the records, as it ends the firmware's walk). The buffer is not changed.

  @param[in]  Image      The whole file.
  @param[in]  ImageSize  Its size in bytes.
  @param[out] Store      Receives the opened store; on refusal, CheckOffset
                         says where in the file the fault lies.

  @retval NvramStoreValid  The store is open.
  @return                  The first reason found to refuse the file.
**/
NVRAM_STORE_CHECK
OpenNvramStore (UINT8 *Image, UINTN ImageSize, NVRAM_STORE *Store);

/**
  Opens the store as OpenNvramStore does, after completing what an
  interrupted fault-tolerant write left pending, as the firmware's FTW
  driver does when it starts (InitFtwProtocol): a compaction whose new
  store had reached the spare area is finished, an earlier one abandoned,
  and a working block caught while being rewritten is restored from the
  spare area. A copy of the volume left in the spare area is erased.

  A refusal leaves the buffer and the edit's plan as they were, a recovery
  whose result fails the checks included: its writes are taken back.

  @param[in]      Image      The whole file.
  @param[in]      ImageSize  Its size in bytes.
  @param[out]     Store      Receives the opened store.
  @param[in, out] Edit       Its plan receives the writes of the recovery,
                             if any; may be NULL.

  @retval NvramStoreValid       The store is open; the plan holds what the
                                recovery wrote in the buffer.
  @retval NvramWriteInProgress  A pending write that only the firmware can
                                complete, or no memory to complete it.
  @return                       The first reason found to refuse the file.
**/
NVRAM_STORE_CHECK
RecoverNvramStore (UINT8 *Image, UINTN ImageSize, NVRAM_STORE *Store, NVRAM_EDIT *Edit);

/**
  Releases a write plan's memory and leaves it empty, ready for reuse.

  @param[in, out] Plan  A plan, zeroed or used.
**/
VOID NvramFreeWritePlan (NVRAM_WRITE_PLAN *Plan);

/**
  Tells whether a variable with a name of NameSize bytes (with its NUL) and
  DataSize bytes of data passes the store's MaxVariableSize, and notes the
  outcome in Edit->Refusal.

  @param[in]      Store     The opened store.
  @param[in]      NameSize  The name's size in bytes.
  @param[in]      DataSize  The value's size in bytes.
  @param[in, out] Edit      Its Refusal receives the outcome; may be NULL.

  @retval TRUE   Too large: the firmware would refuse the variable.
  @retval FALSE  It fits the limit.
**/
BOOLEAN
NvramStoreRefusesSize (const NVRAM_STORE *Store, UINTN NameSize, UINTN DataSize, NVRAM_EDIT *Edit);

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

/**
  Reads a variable, as the firmware's GetVariable does.

  @param[in]      Store         The opened store.
  @param[in]      VariableName  The name.
  @param[in]      VendorGuid    The vendor GUID.
  @param[out]     Attributes    Receives the attributes; may be NULL.
  @param[in, out] DataSize      The size of Data; receives the value's size.
  @param[out]     Data          Receives the value.

  @retval EFI_SUCCESS            The value is in Data.
  @retval EFI_NOT_FOUND          No live record has this name and GUID.
  @retval EFI_BUFFER_TOO_SMALL   DataSize is smaller than the value.
  @retval EFI_INVALID_PARAMETER  A required pointer is NULL.
**/
EFI_STATUS
NvramStoreGetVariable (
    const NVRAM_STORE *Store,
    const UCS2_CHAR   *VariableName,
    const EFI_GUID    *VendorGuid,
    UINT32            *Attributes,
    UINTN             *DataSize,
    VOID              *Data);

/**
  Writes or deletes a variable, as the firmware's SetVariable does for a
  non-volatile variable without authentication: a new record is appended and
  the old one marked deleted; a DataSize of 0, or attributes without any
  access, delete; when the free space is too small, or not erased, the
  store is compacted to its live records through the fault-tolerant write
  areas, the new record last.

  @param[in, out] Store         The opened store; its buffer is changed on
                                success only.
  @param[in]      VariableName  The name.
  @param[in]      VendorGuid    The vendor GUID.
  @param[in]      Attributes    Non-volatile and boot-service access, with or
                                without runtime access, or 0 to delete.
  @param[in]      DataSize      The size of Data in bytes.
  @param[in]      Data          The value.
  @param[in, out] Edit          Its plan receives the writes, on success
                                only; its Refusal says why a write was
                                refused. NULL, the default, when neither
                                is wanted, as by a caller without a file.

  @retval EFI_SUCCESS            Written, deleted, or already held this value.
  @retval EFI_NOT_FOUND          A deletion of a variable that does not exist.
  @retval EFI_INVALID_PARAMETER  A bad argument, attributes that differ from
                                 the stored variable's, or a variable larger
                                 than the firmware allows.
  @retval EFI_UNSUPPORTED        Volatile, authenticated, hardware error
                                 record or append writes, which need the
                                 firmware itself.
  @retval EFI_OUT_OF_RESOURCES   The store is full even when compacted, the
                                 file has no spare area to compact it through,
                                 or no memory for the compaction or the plan.
**/
EFI_STATUS
NvramStoreSetVariable (
    NVRAM_STORE     *Store,
    const UCS2_CHAR *VariableName,
    const EFI_GUID  *VendorGuid,
    UINT32           Attributes,
    UINTN            DataSize,
    const VOID      *Data,
    NVRAM_EDIT      *Edit = NULL);

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

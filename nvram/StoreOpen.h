/** @file
  Opening an NVRAM file's variable store: the reasons a file is refused, the
  opened store with the fault-tolerant write areas after it, and the
  opening after a recovery from an interrupted write.
**/

#ifndef NVRAM_STORE_OPEN_H_
#define NVRAM_STORE_OPEN_H_

#include "nvram/WritePlan.h"

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
  NvramStoreCheckCount, ///< The number of reasons above, for tables indexed by them.
} NVRAM_STORE_CHECK;

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

#endif

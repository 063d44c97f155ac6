/** @file
  The variable store of an OVMF NVRAM file, edited in memory the way EDK II's
  variable driver edits it on flash: a lookup finds the live record, a write
  appends a new record and retires the old one, a deletion retires it, and a
  write that does not fit compacts the store first.

  Nothing here touches the file itself: the caller reads the whole file into
  a buffer, opens the store over it, and writes the buffer back when it has
  changed. A failed operation leaves the buffer as it was.
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
  NvramFreeSpaceNotErased,
  NvramRepeatedVariable,
} NVRAM_STORE_CHECK;

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
  write pending; and variable records that lie within the store, followed by
  erased free space only, with no more live records of one variable than an
  interrupted write leaves.

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
  access, delete; when the free space is too small the store is compacted
  to its live records first.

  @param[in, out] Store         The opened store; its buffer is changed on
                                success only.
  @param[in]      VariableName  The name.
  @param[in]      VendorGuid    The vendor GUID.
  @param[in]      Attributes    Non-volatile and boot-service access, with or
                                without runtime access, or 0 to delete.
  @param[in]      DataSize      The size of Data in bytes.
  @param[in]      Data          The value.

  @retval EFI_SUCCESS            Written, deleted, or already held this value.
  @retval EFI_NOT_FOUND          A deletion of a variable that does not exist.
  @retval EFI_INVALID_PARAMETER  A bad argument, attributes that differ from
                                 the stored variable's, or a variable larger
                                 than the firmware allows.
  @retval EFI_UNSUPPORTED        Volatile, authenticated, hardware error
                                 record or append writes, which need the
                                 firmware itself.
  @retval EFI_OUT_OF_RESOURCES   The store is full even when compacted, or no
                                 memory for the compaction.
**/
EFI_STATUS
NvramStoreSetVariable (
    NVRAM_STORE     *Store,
    const UCS2_CHAR *VariableName,
    const EFI_GUID  *VendorGuid,
    UINT32           Attributes,
    UINTN            DataSize,
    const VOID      *Data);

#endif

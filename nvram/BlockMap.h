/** @file
  The firmware volume's block map, walked once for every reader: the store's
  checks over the buffer they hold, and a medium that reads the volume's
  header from a device to learn how far the store reaches before it reads
  the store.
**/

#ifndef NVRAM_BLOCK_MAP_H_
#define NVRAM_BLOCK_MAP_H_

#include "nvram/VariableStoreFormat.h"

/**
  Reads Size bytes at Offset of the medium that holds the volume.

  @param[in]  Context  The reader's own, passed through.
  @param[in]  Offset   From the start of the volume.
  @param[out] Bytes    Receives them.
  @param[in]  Size     How many.

  @return 0, or an errno when not all of them could be read.
**/
typedef int (*NVRAM_READ_AT) (VOID *Context, UINT64 Offset, VOID *Bytes, UINTN Size);

///
/// What a walk of the block map found.
///
typedef struct {
  UINT64 Blocks; ///< The bytes of the blocks the entries give, up to the end of the map.
  UINTN  End;    ///< The entry that ends the map (a Length of 0), or where the walk stopped: an
                 ///< entry past the volume header's length, or one the reader failed to read.
  UINTN Fault;   ///< The first entry the store's checks refuse (an end that is no entry of
                 ///< zeros, an entry of no blocks, or blocks past Limit); 0 when none.
} NVRAM_BLOCK_MAP;

/**
  Walks the block map that follows the volume header, as FvbInitialize
  does: entry after entry up to the one of Length 0, within the header's
  HeaderLength.

  @param[in]  ReadAt   Reads the volume.
  @param[in]  Context  Passed to ReadAt.
  @param[in]  Volume   The volume header, already read.
  @param[in]  Limit    The most bytes the blocks may give before an entry is a Fault.
  @param[out] Map      Receives what the walk found.
**/
VOID NvramWalkBlockMap (
    NVRAM_READ_AT          ReadAt,
    VOID                  *Context,
    const NVRAM_FV_HEADER *Volume,
    UINT64                 Limit,
    NVRAM_BLOCK_MAP       *Map);

/**
  Tells how far a variable store on a medium of Size bytes reaches: its
  firmware volume's length, or, when its block map gives more (AAVMF's map
  covers its whole flash device), the blocks of the map.

  @param[in] ReadAt   Reads the medium.
  @param[in] Context  Passed to ReadAt.
  @param[in] Size     The medium's size in bytes.

  @return The extent in bytes, or 0 when the medium starts with no firmware
          volume header; it may pass Size, which the store's checks refuse.
**/
UINT64
NvramVolumeExtent (NVRAM_READ_AT ReadAt, VOID *Context, UINT64 Size);

/**
  An NVRAM_READ_AT over a buffer that is all in memory.

  @param[in] Context  The buffer's NVRAM_BUFFER.
**/
int NvramReadBuffer (VOID *Context, UINT64 Offset, VOID *Bytes, UINTN Size);

///
/// A buffer for NvramReadBuffer to read.
///
typedef struct {
  const UINT8 *Bytes;
  UINTN        Size;
} NVRAM_BUFFER;

#endif

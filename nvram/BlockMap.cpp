/** @file
  The walk of the firmware volume's block map, and the extent of a volume
  on a medium that it gives.
**/

#include "nvram/BlockMap.h"

#include <errno.h>
#include <string.h>

// The first fault is the one the store's checks name.
static VOID
NoteFault (NVRAM_BLOCK_MAP *Map, UINTN Offset)
{
  if (Map->Fault == 0) {
    Map->Fault = Offset;
  }
}

/**
  The walk goes on past a fault, as a medium sizing the store reads every
  entry up to the end; the checks then refuse the first fault.
**/
VOID
NvramWalkBlockMap (
    NVRAM_READ_AT          ReadAt,
    VOID                  *Context,
    const NVRAM_FV_HEADER *Volume,
    UINT64                 Limit,
    NVRAM_BLOCK_MAP       *Map)
{
  NVRAM_FV_BLOCK_MAP_ENTRY Entry;

  memset (Map, 0, sizeof (*Map));
  for (UINTN Offset = sizeof (*Volume);; Offset += sizeof (Entry)) {
    Map->End = Offset;
    if ((Offset + sizeof (Entry) > Volume->HeaderLength) ||
        (ReadAt (Context, Offset, &Entry, sizeof (Entry)) != 0)) {
      NoteFault (Map, Offset);
      return;
    }

    if (Entry.Length == 0) {
      if (Entry.NumBlocks != 0) {
        NoteFault (Map, Offset);
      }

      return;
    }

    Map->Blocks += (UINT64)Entry.NumBlocks * Entry.Length;
    if ((Entry.NumBlocks == 0) || (Map->Blocks > Limit)) {
      NoteFault (Map, Offset);
    }
  }
}

UINT64
NvramVolumeExtent (NVRAM_READ_AT ReadAt, VOID *Context, UINT64 Size)
{
  NVRAM_FV_HEADER Volume;
  NVRAM_BLOCK_MAP Map;

  if ((Size < sizeof (Volume)) || (ReadAt (Context, 0, &Volume, sizeof (Volume)) != 0) ||
      (Volume.Signature != NVRAM_FVH_SIGNATURE)) {
    return 0;
  }

  NvramWalkBlockMap (ReadAt, Context, &Volume, Size, &Map);
  return (Map.Blocks > Volume.FvLength) ? Map.Blocks : Volume.FvLength;
}

int
NvramReadBuffer (VOID *Context, UINT64 Offset, VOID *Bytes, UINTN Size)
{
  const NVRAM_BUFFER *Buffer = static_cast<const NVRAM_BUFFER *> (Context);

  if ((Offset > Buffer->Size) || (Size > Buffer->Size - Offset)) {
    return EIO;
  }

  memcpy (Bytes, Buffer->Bytes + Offset, Size);
  return 0;
}

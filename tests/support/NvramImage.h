/** @file
  NVRAM files laid out as OVMF lays out its own, for every test that needs a
  variable store: a firmware volume of 4 KiB blocks holding the variable
  store region, an event log block, the fault-tolerant write working block
  and a spare region the size of the store region. Also the variable's
  vendor GUID and value encoding, written here once for all the tests.
**/

#ifndef NVRAM_IMAGE_H_
#define NVRAM_IMAGE_H_

#include "nvram/VariableStore.h"
#include "nvram/VariableStoreFormat.h"

#include <string.h>

#include <string>
#include <vector>

typedef std::vector<UINT8> BYTES;

inline bool
operator== (const EFI_GUID &First, const EFI_GUID &Second)
{
  return memcmp (&First, &Second, sizeof (EFI_GUID)) == 0;
}

///
/// One record to lay into a store, with the authentication fields that
/// variables written by the firmware may carry.
///
struct RECORD {
  std::u16string Name;
  EFI_GUID       Guid;
  UINT32         Attributes = 0x7;
  BYTES          Data;
  UINT8          State          = NVRAM_VAR_ADDED;
  UINT64         MonotonicCount = 0;
  UINT32         PubKeyIndex    = 0;
  UINT16         Year           = 0;
};

#define STORE_IMAGE_BLOCK 0x1000

/**
  The UEFI Shell's vendor GUID, typed here apart from the product's own.
**/
EFI_GUID
ShellGuid (VOID);

EFI_GUID
OtherGuid (UINT8 Tag);

/**
  Text as the variable holds it: UCS-2 code units, little-endian, and a NUL.
**/
BYTES
Ucs2Bytes (const std::u16string &Text);

/**
  A whole file whose store region is RegionSize bytes (a multiple of the
  block size), holding Records in order from the first record offset.
**/
BYTES
BuildImage (UINTN RegionSize, const std::vector<RECORD> &Records);

/**
  Lays Record out at Offset and gives the offset of the next record.
**/
UINTN
PutRecord (BYTES &Image, UINTN Offset, const RECORD &Record);

/**
  The size of Record's place in the store, padding included.
**/
UINTN
RecordSpan (const RECORD &Record);

/**
  Makes the volume header's checksum right again after an edit.
**/
VOID FixChecksum (BYTES &Image);

/**
  Gives the working block of an image from BuildImage a queue of QueueSize
  bytes after its header, which is written whole, as the driver writes it.
**/
VOID SetWriteQueueSize (BYTES &Image, UINTN RegionSize, UINTN QueueSize);

/**
  The offset of the working block in an image from BuildImage.
**/
UINTN
WorkingBlockOffset (UINTN RegionSize);

/**
  The whole of a file, or nothing when it cannot be read.
**/
BYTES
ReadFile (const std::string &Path);

VOID WriteFile (const std::string &Path, const BYTES &Bytes);

#endif

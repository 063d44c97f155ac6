/** @file
  What the brisvane-vars tests share: NVRAM files laid out as OVMF lays out
  its own (a firmware volume of 4 KiB blocks holding the variable store
  region, an event log block, the fault-tolerant write working block and a
  spare region the size of the store region), a scratch folder, and runs of
  the front end with its output captured.
**/

#ifndef TEST_SUPPORT_H_
#define TEST_SUPPORT_H_

#include "varstore/VariableStore.h"
#include "varstore/VariableStoreFormat.h"

#include <string>
#include <vector>

typedef std::vector<UINT8> BYTES;

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

EFI_GUID
ShellGuid (VOID);

EFI_GUID
OtherGuid (UINT8 Tag);

/**
  The value the set action stores for Text: UCS-2 with its NUL.
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
  The offset of the working block in an image from BuildImage.
**/
UINTN
WorkingBlockOffset (UINTN RegionSize);

BYTES
ReadFile (const std::string &Path);

VOID WriteFile (const std::string &Path, const BYTES &Bytes);

///
/// A folder of its own for a test, removed with everything in it.
///
class SCRATCH_FOLDER {
public:
  SCRATCH_FOLDER ();
  ~SCRATCH_FOLDER ();
  SCRATCH_FOLDER (const SCRATCH_FOLDER &)            = delete;
  SCRATCH_FOLDER &operator= (const SCRATCH_FOLDER &) = delete;

  std::string Path;

  /**
    The names in the folder, to see that no temporary file was left.
  **/
  std::vector<std::string> Names (VOID) const;
};

///
/// The outcome of one run of brisvane-vars.
///
struct VARS_RUN {
  int         Code;
  std::string Out;
  std::string Err;
};

/**
  Runs "brisvane-vars File Words..." in this process.
**/
VARS_RUN
RunVars (const std::string &File, const std::vector<std::string> &Words);

#endif

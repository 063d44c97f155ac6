/** @file
  The on-disk layout of an OVMF NVRAM file, as EDK II defines it: a firmware
  volume (PiFirmwareVolume.h) whose first region is the variable store
  (MdeModulePkg's Guid/VariableFormat.h, authenticated format) and which
  further on holds the fault-tolerant write working block
  (Guid/SystemNvDataGuid.h). Every multi-byte field is little-endian.

  The structures are packed copies of EDK II's, for copying in and out of a
  byte buffer with memcpy; nothing is ever accessed in place. Copied as they
  lie in memory, they need a little-endian host.
**/

#ifndef VARIABLE_STORE_FORMAT_H_
#define VARIABLE_STORE_FORMAT_H_

#include "platform/PlatformTypes.h"

#pragma pack(1)

///
/// EFI_FV_BLOCK_MAP_ENTRY.
///
typedef struct {
  UINT32 NumBlocks;
  UINT32 Length;
} NVRAM_FV_BLOCK_MAP_ENTRY;

///
/// EFI_FIRMWARE_VOLUME_HEADER up to its block map, which follows it and ends
/// with an entry of zeros.
///
typedef struct {
  UINT8    ZeroVector[16];
  EFI_GUID FileSystemGuid;
  UINT64   FvLength;
  UINT32   Signature;
  UINT32   Attributes;
  UINT16   HeaderLength;
  UINT16   Checksum;
  UINT16   ExtHeaderOffset;
  UINT8    Reserved[1];
  UINT8    Revision;
} NVRAM_FV_HEADER;

///
/// VARIABLE_STORE_HEADER.
///
typedef struct {
  EFI_GUID Signature;
  UINT32   Size;
  UINT8    Format;
  UINT8    State;
  UINT16   Reserved;
  UINT32   Reserved1;
} NVRAM_STORE_HEADER;

///
/// EFI_TIME.
///
typedef struct {
  UINT16 Year;
  UINT8  Month;
  UINT8  Day;
  UINT8  Hour;
  UINT8  Minute;
  UINT8  Second;
  UINT8  Pad1;
  UINT32 Nanosecond;
  UINT16 TimeZone;
  UINT8  Daylight;
  UINT8  Pad2;
} NVRAM_TIME;

///
/// AUTHENTICATED_VARIABLE_HEADER; the name (NameSize bytes) and the data
/// (DataSize bytes) follow it, and the next record starts at the next
/// multiple of NVRAM_HEADER_ALIGNMENT.
///
typedef struct {
  UINT16     StartId;
  UINT8      State;
  UINT8      Reserved;
  UINT32     Attributes;
  UINT64     MonotonicCount;
  NVRAM_TIME TimeStamp;
  UINT32     PubKeyIndex;
  UINT32     NameSize;
  UINT32     DataSize;
  EFI_GUID   VendorGuid;
} NVRAM_VARIABLE_HEADER;

///
/// EFI_FAULT_TOLERANT_WORKING_BLOCK_HEADER, with its bit fields as one byte.
///
typedef struct {
  EFI_GUID Signature;
  UINT32   Crc;
  UINT8    ValidBits;
  UINT8    Reserved3[3];
  UINT64   WriteQueueSize;
} NVRAM_FTW_WORKING_HEADER;

#pragma pack()

///
/// EFI_FAULT_TOLERANT_WRITE_HEADER and EFI_FAULT_TOLERANT_WRITE_RECORD are
/// not packed; these are their sizes and the offsets of their fields. Their
/// first byte holds state bits, each set by clearing it (FTW_VALID_STATE is
/// 0), as flash allows without an erase.
///
#define NVRAM_FTW_WRITE_HEADER_SIZE    40
#define NVRAM_FTW_WRITE_HEADER_CALLER  4
#define NVRAM_FTW_WRITE_HEADER_WRITES  24
#define NVRAM_FTW_WRITE_HEADER_PRIVATE 32
#define NVRAM_FTW_WRITE_RECORD_SIZE    40
#define NVRAM_FTW_WRITE_RECORD_LBA     8
#define NVRAM_FTW_WRITE_RECORD_OFFSET  16
#define NVRAM_FTW_WRITE_RECORD_LENGTH  24
#define NVRAM_FTW_WRITE_RECORD_SPARE   32 ///< RelativeOffset: the target less the spare area.
#define NVRAM_FTW_HEADER_ALLOCATED_BIT 0x01
#define NVRAM_FTW_WRITES_ALLOCATED_BIT 0x02
#define NVRAM_FTW_COMPLETE_BIT         0x04
#define NVRAM_FTW_BOOT_BLOCK_BIT       0x01
#define NVRAM_FTW_SPARE_COMPLETE_BIT   0x02
#define NVRAM_FTW_DEST_COMPLETE_BIT    0x04
#define NVRAM_FTW_WORKING_VALID_BIT    0x01
#define NVRAM_FTW_WORKING_INVALID_BIT  0x02
#define NVRAM_FTW_WORKING_VALID_BITS   0xFE

static_assert (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the file is little-endian");
static_assert (sizeof (NVRAM_FV_HEADER) == 56, "EFI_FIRMWARE_VOLUME_HEADER less its block map");
static_assert (sizeof (NVRAM_STORE_HEADER) == 28, "VARIABLE_STORE_HEADER");
static_assert (sizeof (NVRAM_TIME) == 16, "EFI_TIME");
static_assert (sizeof (NVRAM_VARIABLE_HEADER) == 60, "AUTHENTICATED_VARIABLE_HEADER");
static_assert (sizeof (NVRAM_FTW_WORKING_HEADER) == 32, "EFI_FAULT_TOLERANT_WORKING_BLOCK_HEADER");

#define NVRAM_FVH_SIGNATURE       0x4856465F // "_FVH"
#define NVRAM_FVH_REVISION        0x02
#define NVRAM_FVB2_ERASE_POLARITY 0x00000800

#define NVRAM_STORE_FORMATTED  0x5A
#define NVRAM_STORE_HEALTHY    0xFE
#define NVRAM_VARIABLE_DATA    0x55AA
#define NVRAM_HEADER_ALIGNMENT 4
#define NVRAM_ERASED_BYTE      0xFF

///
/// Record states: each step of a record's life clears bits of the erased
/// State byte, as flash allows without an erase.
///
#define NVRAM_VAR_IN_DELETED_TRANSITION 0xFE
#define NVRAM_VAR_DELETED               0xFD
#define NVRAM_VAR_HEADER_VALID_ONLY     0x7F
#define NVRAM_VAR_ADDED                 0x3F
#define NVRAM_VAR_ADDED_IN_TRANSITION   (NVRAM_VAR_ADDED & NVRAM_VAR_IN_DELETED_TRANSITION)

#define EFI_VARIABLE_HARDWARE_ERROR_RECORD                 0x00000008
#define EFI_VARIABLE_AUTHENTICATED_WRITE_ACCESS            0x00000010
#define EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS 0x00000020
#define EFI_VARIABLE_APPEND_WRITE                          0x00000040

///
/// gEfiSystemNvDataFvGuid, the file system GUID of the NVRAM volume.
///
#define NVRAM_SYSTEM_NV_DATA_FV_GUID                                                               \
  {                                                                                                \
    0xFFF12B8D, 0x7696, 0x4C8B,                                                                    \
    {                                                                                              \
      0xA9, 0x85, 0x27, 0x47, 0x07, 0x5B, 0x4F, 0x50                                               \
    }                                                                                              \
  }

///
/// gEfiAuthenticatedVariableGuid, the signature of the authenticated store.
///
#define NVRAM_AUTHENTICATED_VARIABLE_GUID                                                          \
  {                                                                                                \
    0xAAF32C78, 0x947B, 0x439A,                                                                    \
    {                                                                                              \
      0xA1, 0x80, 0x2E, 0x14, 0x4E, 0xC3, 0x77, 0x92                                               \
    }                                                                                              \
  }

///
/// gEfiVariableGuid, the signature of the store without authentication fields.
///
#define NVRAM_VARIABLE_GUID                                                                        \
  {                                                                                                \
    0xDDCF3616, 0x3275, 0x4164,                                                                    \
    {                                                                                              \
      0x98, 0xB6, 0xFE, 0x85, 0x70, 0x7F, 0xFE, 0x7D                                               \
    }                                                                                              \
  }

///
/// The FILE_GUID of OVMF's FaultTolerantWriteDxe, which FtwWrite records as
/// the caller (gEfiCallerIdGuid) of the writes it allocates itself.
///
#define NVRAM_FTW_CALLER_GUID                                                                      \
  {                                                                                                \
    0xFE5CEA76, 0x4F72, 0x49E8,                                                                    \
    {                                                                                              \
      0x98, 0x6F, 0x2C, 0xD8, 0x99, 0xDF, 0xFE, 0x5D                                               \
    }                                                                                              \
  }

///
/// gEdkiiWorkingBlockSignatureGuid, the signature of the FTW working block.
///
#define NVRAM_WORKING_BLOCK_SIGNATURE_GUID                                                         \
  {                                                                                                \
    0x9E58292B, 0x7C68, 0x497D,                                                                    \
    {                                                                                              \
      0xA0, 0xCE, 0x65, 0x00, 0xFD, 0x9F, 0x1B, 0x95                                               \
    }                                                                                              \
  }

#endif

/** @file
  NVRAM files as OVMF lays them out, built record by record.
**/

#include "tests/support/NvramImage.h"

#include <fstream>

EFI_GUID
ShellGuid (VOID)
{
  return { 0x158DEF5A, 0xF656, 0x419C, { 0xB0, 0x27, 0x7A, 0x31, 0x92, 0xC0, 0x79, 0xD2 } };
}

EFI_GUID
OtherGuid (UINT8 Tag)
{
  return { 0x8BE4DF61, 0x93CA, 0x11D2, { 0xAA, 0x0D, 0x00, 0xE0, 0x98, 0x03, 0x2B, Tag } };
}

BYTES
Ucs2Bytes (const std::u16string &Text)
{
  BYTES Bytes ((Text.size () + 1) * 2, 0);

  memcpy (Bytes.data (), Text.c_str (), Text.size () * 2);
  return Bytes;
}

UINTN
RecordSpan (const RECORD &Record)
{
  return (sizeof (NVRAM_VARIABLE_HEADER) + (Record.Name.size () + 1) * 2 + Record.Data.size () +
          3) &
         ~(UINTN)3;
}

UINTN
PutRecord (BYTES &Image, UINTN Offset, const RECORD &Record)
{
  NVRAM_VARIABLE_HEADER Header;
  BYTES                 Name = Ucs2Bytes (Record.Name);

  memset (&Header, 0, sizeof (Header));
  Header.StartId        = NVRAM_VARIABLE_DATA;
  Header.State          = Record.State;
  Header.Attributes     = Record.Attributes;
  Header.MonotonicCount = Record.MonotonicCount;
  Header.TimeStamp.Year = Record.Year;
  Header.PubKeyIndex    = Record.PubKeyIndex;
  Header.NameSize       = (UINT32)Name.size ();
  Header.DataSize       = (UINT32)Record.Data.size ();
  Header.VendorGuid     = Record.Guid;
  memcpy (&Image[Offset], &Header, sizeof (Header));
  memcpy (&Image[Offset + sizeof (Header)], Name.data (), Name.size ());
  memcpy (
      &Image[Offset + sizeof (Header) + Name.size ()], Record.Data.data (), Record.Data.size ());
  return Offset + RecordSpan (Record);
}

VOID
FixChecksum (BYTES &Image)
{
  NVRAM_FV_HEADER Volume;
  UINT16          Sum = 0;

  memcpy (&Volume, Image.data (), sizeof (Volume));
  Volume.Checksum = 0;
  memcpy (Image.data (), &Volume, sizeof (Volume));
  for (UINTN Offset = 0; Offset < Volume.HeaderLength; Offset += 2) {
    Sum = (UINT16)(Sum + (Image[Offset] | (Image[Offset + 1] << 8)));
  }

  Volume.Checksum = (UINT16)(0x10000 - Sum);
  memcpy (Image.data (), &Volume, sizeof (Volume));
}

UINTN
WorkingBlockOffset (UINTN RegionSize)
{
  return RegionSize + STORE_IMAGE_BLOCK;
}

static UINT32
Crc32 (const UINT8 *Bytes, UINTN Size)
{
  UINT32 Crc = 0xFFFFFFFF;

  for (UINTN Index = 0; Index < Size; Index++) {
    Crc ^= Bytes[Index];
    for (int Bit = 0; Bit < 8; Bit++) {
      Crc = (Crc & 1) ? (Crc >> 1) ^ 0xEDB88320 : Crc >> 1;
    }
  }

  return ~Crc;
}

// The header the fault-tolerant write driver writes: CRC with its own field and the valid bits
// erased.
VOID
SetWriteQueueSize (BYTES &Image, UINTN RegionSize, UINTN QueueSize)
{
  NVRAM_FTW_WORKING_HEADER Working;

  memset (&Working, 0xFF, sizeof (Working));
  Working.Signature      = NVRAM_WORKING_BLOCK_SIGNATURE_GUID;
  Working.WriteQueueSize = QueueSize;
  Working.Crc            = Crc32 (reinterpret_cast<UINT8 *> (&Working), sizeof (Working));
  Working.ValidBits      = NVRAM_FTW_WORKING_VALID_BITS;
  memcpy (&Image[WorkingBlockOffset (RegionSize)], &Working, sizeof (Working));
}

BYTES
BuildImage (UINTN RegionSize, const std::vector<RECORD> &Records)
{
  const UINTN     HeaderLength = sizeof (NVRAM_FV_HEADER) + 2 * sizeof (NVRAM_FV_BLOCK_MAP_ENTRY);
  const UINTN     Length       = 2 * RegionSize + 2 * STORE_IMAGE_BLOCK;
  BYTES           Image (Length, 0xFF);
  NVRAM_FV_HEADER Volume;
  NVRAM_FV_BLOCK_MAP_ENTRY Map[2] = { { (UINT32)(Length / STORE_IMAGE_BLOCK), STORE_IMAGE_BLOCK },
                                      { 0, 0 } };
  NVRAM_STORE_HEADER       Store  = { NVRAM_AUTHENTICATED_VARIABLE_GUID,
                                      (UINT32)(RegionSize - HeaderLength),
                                      NVRAM_STORE_FORMATTED,
                                      NVRAM_STORE_HEALTHY,
                                      0,
                                      0 };
  UINTN                    Offset;

  memset (&Volume, 0, sizeof (Volume));
  Volume.FileSystemGuid = NVRAM_SYSTEM_NV_DATA_FV_GUID;
  Volume.FvLength       = Length;
  Volume.Signature      = NVRAM_FVH_SIGNATURE;
  Volume.Attributes     = 0x0004FEFF;
  Volume.HeaderLength   = (UINT16)HeaderLength;
  Volume.Revision       = NVRAM_FVH_REVISION;
  memcpy (Image.data (), &Volume, sizeof (Volume));
  memcpy (&Image[sizeof (Volume)], Map, sizeof (Map));
  FixChecksum (Image);
  memcpy (&Image[HeaderLength], &Store, sizeof (Store));

  SetWriteQueueSize (Image, RegionSize, STORE_IMAGE_BLOCK - sizeof (NVRAM_FTW_WORKING_HEADER));

  Offset = HeaderLength + sizeof (Store);
  for (const RECORD &Record : Records) {
    Offset = PutRecord (Image, Offset, Record);
  }

  return Image;
}

BYTES
ReadFile (const std::string &Path)
{
  std::ifstream Stream (Path, std::ios::binary | std::ios::ate);
  BYTES         Bytes (Stream ? (size_t)Stream.tellg () : 0);

  Stream.seekg (0);
  Stream.read (reinterpret_cast<char *> (Bytes.data ()), (std::streamsize)Bytes.size ());
  return Bytes;
}

VOID
WriteFile (const std::string &Path, const BYTES &Bytes)
{
  std::ofstream Stream (Path, std::ios::binary | std::ios::trunc);

  Stream.write (reinterpret_cast<const char *> (Bytes.data ()), (std::streamsize)Bytes.size ());
}

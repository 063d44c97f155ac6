/** @file
  The firmware's reading of an NVRAM file after a cut, written from EDK II's
  sources (FaultTolerantWriteDxe's FtwMisc.c, the variable driver's
  VariableParsing.c, VariableNonVolatile.c and Variable.c) by raw offsets,
  sharing nothing with the store library but the file.
**/

#include "CutReader.h"

#include <algorithm>

// The working block's signature, gEdkiiWorkingBlockSignatureGuid, as it lies in the file.
static const UINT8 mWorkingSignature[16] = { 0x2b, 0x29, 0x58, 0x9e, 0x68, 0x7c, 0x7d, 0x49,
                                             0xa0, 0xce, 0x65, 0x00, 0xfd, 0x9f, 0x1b, 0x95 };

static UINT64
Field (const BYTES &Image, UINTN Offset, UINTN Size)
{
  UINT64 Value = 0;

  if (Offset + Size <= Image.size ()) {
    memcpy (&Value, &Image[Offset], Size);
  }

  return Value;
}

CUT_KEY
CutKey (const std::u16string &Name, const EFI_GUID &Guid)
{
  const UINT8 *Bytes = reinterpret_cast<const UINT8 *> (&Guid);

  return { Ucs2Bytes (Name), BYTES (Bytes, Bytes + sizeof (Guid)) };
}

// EFI_FAULT_TOLERANT_WORKING_BLOCK_HEADER valid: its signature, WorkingBlockValid set (0) and
// WorkingBlockInvalid not (1).
static bool
IsValidWorkingHeader (const BYTES &Image, UINTN Offset)
{
  return (Offset + 32 <= Image.size ()) &&
         (memcmp (&Image[Offset], mWorkingSignature, sizeof (mWorkingSignature)) == 0) &&
         ((Image[Offset + 20] & 0x03) == 0x02);
}

/**
  InitFtwProtocol: the working block restored from the spare area when it
  was caught being rewritten (FlushSpareBlockToWorkingBlock), then the last
  write (FtwGetLastWriteHeader, FtwGetLastWriteRecord) restarted when its
  record is SpareComplete, not DestinationComplete, and the write not
  Complete (FtwRestart): the spare area's blocks over its target.
**/
static void
RestartFtw (BYTES &Image, UINTN StoreEnd, UINTN Block, UINTN VolumeSize)
{
  UINTN Working = (StoreEnd + Block - 1) / Block * Block;

  while ((Working < VolumeSize) &&
         (memcmp (&Image[Working], mWorkingSignature, sizeof (mWorkingSignature)) != 0)) {
    Working += Block;
  }

  UINTN Size  = 32 + (UINTN)Field (Image, Working + 24, 8);
  UINTN Spare = (Working + Size + Block - 1) / Block * Block;

  if ((Working >= VolumeSize) || (Spare >= VolumeSize) || (Size > Spare - Working)) {
    return;
  }

  if (!IsValidWorkingHeader (Image, Working) && IsValidWorkingHeader (Image, Spare)) {
    std::copy (&Image[Spare], &Image[Spare] + Size, &Image[Working]);
  }

  UINTN Header = Working + 32;
  while ((Header + 40 <= Working + Size) && ((Image[Header] & 0x04) == 0)) {
    Header += 40 + (UINTN)(Field (Image, Header + 24, 8) * (40 + Field (Image, Header + 32, 8)));
  }

  UINT64 Writes  = Field (Image, Header + 24, 8);
  UINT64 Private = Field (Image, Header + 32, 8);
  if ((Header + 40 > Working + Size) || ((Image[Header] & 0x01) != 0) || (Writes == 0) ||
      (Writes * (40 + Private) > Size)) {
    return;
  }

  UINTN Record = Header + 40;
  for (UINT64 Index = 1; (Index < Writes) && ((Image[Record] & 0x04) == 0); Index++) {
    Record += 40 + (UINTN)Private;
  }

  UINTN Target = (UINTN)Field (Image, Record + 8, 8) * Block;
  UINTN Span   = (UINTN)(Field (Image, Record + 16, 8) + Field (Image, Record + 24, 8));
  Span         = (Span + Block - 1) / Block * Block;
  if (((Image[Record] & 0x07) == 0x05) && (Span <= VolumeSize - Spare) &&
      (Target + Span <= Spare)) {
    std::copy (&Image[Spare], &Image[Spare] + Span, &Image[Target]);
  }
}

///
/// A record as the walk finds it.
///
struct CUT_RECORD {
  UINTN  Offset;
  UINT8  State;
  UINT32 Attributes;
  UINTN  NameSize;
  UINTN  DataSize;
};

std::string
ReadAsFirmware (const BYTES &File, CUT_VARIABLES *Variables)
{
  // The restart is made on a copy, kept from one reading to the next.
  static BYTES Image;

  Image.assign (File.begin (), File.end ());
  UINTN VolumeSize = (UINTN)Field (Image, 0x20, 8);
  UINTN Base       = (UINTN)Field (Image, 0x30, 2);
  UINTN Block      = (UINTN)Field (Image, 0x3C, 4);
  UINTN End        = Base + (UINTN)Field (Image, Base + 16, 4);

  Variables->clear ();
  if ((VolumeSize > Image.size ()) || (Block == 0) || (End > VolumeSize) || (Base + 28 > End)) {
    return "no variable store";
  }

  RestartFtw (Image, End, Block, VolumeSize);

  // IsValidVariableHeader, NameSizeOfVariable, DataSizeOfVariable and GetNextVariablePtr.
  std::vector<CUT_RECORD> Records;
  UINT64                  Offset = Base + 28;
  while ((Offset + 60 <= End) && (Field (Image, (UINTN)Offset, 2) == 0x55AA)) {
    CUT_RECORD Record = { (UINTN)Offset, Image[(UINTN)Offset + 2],
                          (UINT32)Field (Image, (UINTN)Offset + 4, 4),
                          (UINTN)Field (Image, (UINTN)Offset + 36, 4),
                          (UINTN)Field (Image, (UINTN)Offset + 40, 4) };

    if ((Record.State == 0xFF) || (Record.Attributes == 0xFFFFFFFF) ||
        (Record.NameSize == 0xFFFFFFFF) || (Record.DataSize == 0xFFFFFFFF)) {
      Record.NameSize = 0;
      Record.DataSize = 0;
    }

    Records.push_back (Record);
    Offset = (Offset + 60 + Record.NameSize + Record.DataSize + 3) & ~(UINT64)3;
  }

  // A reclaim at start when the free space is not erased; none when the walk ended past the store.
  bool Reclaimed = (Offset < End) && (std::count (&Image[(UINTN)Offset], &Image[End], 0xFF) !=
                                      (INTN)(End - (UINTN)Offset));
  std::map<CUT_KEY, CUT_RECORD> Added;
  std::map<CUT_KEY, CUT_RECORD> InTransition;
  for (const CUT_RECORD &Record : Records) {
    if ((Record.State != NVRAM_VAR_ADDED) && (Record.State != NVRAM_VAR_ADDED_IN_TRANSITION)) {
      continue;
    }

    UINTN Name = Record.Offset + 60;
    if (Name + Record.NameSize + Record.DataSize > End) {
      return "a live record runs past the store";
    }

    CUT_KEY Key = { BYTES (&Image[Name], &Image[Name] + Record.NameSize),
                    BYTES (&Image[Record.Offset + 44], &Image[Record.Offset + 60]) };
    if (Record.State == NVRAM_VAR_ADDED) {
      Added.emplace (Key, Record);
    } else if (!Reclaimed || (InTransition.count (Key) == 0)) {
      InTransition[Key] = Record;
    }
  }

  for (const auto &Pair : InTransition) {
    Added.emplace (Pair);
  }

  for (const auto &[Key, Record] : Added) {
    UINTN Data = Record.Offset + 60 + Record.NameSize;

    (*Variables)[Key] = { Record.Attributes, BYTES (&Image[Data], &Image[Data] + Record.DataSize) };
  }

  return "";
}

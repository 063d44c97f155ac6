/** @file
  A libFuzzer target over the variable store library: an NVRAM file of any
  bytes is opened, and the steps of a script (StoreFuzzer.h) write and delete
  variables in it, compacting the store when a value does not fit. Whatever
  the file holds:

  - a refused file, and a refused write, are left byte for byte as they were;
  - an edited store opens again, its records ending where the edit left them;
  - every other live variable keeps its name, GUID, attributes and data;
  - a read after a write gives what was written, and nothing after a deletion;
  - the headers before the first record and the padding after the volume are
    never changed.

  The live variables are read twice: by a walk of the records here, as the
  firmware's FindVariableEx would find them, and through the library.
**/

#include "StoreFuzzer.h"

#include "nvram/VariableStore.h"
#include "nvram/VariableStoreFormat.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#define CHECK(Condition)                                                                           \
  do {                                                                                             \
    if (!(Condition)) {                                                                            \
      fprintf (stderr, "invariant broken (line %d, step %d): %s\n", __LINE__, mStep, #Condition);  \
      abort ();                                                                                    \
    }                                                                                              \
  } while (0)

typedef std::vector<UINT8> BYTES;

static int mStep;

///
/// The names a step may write besides the live ones: the store's usual
/// neighbours, and names no store holds.
///
static const struct {
  const UCS2_CHAR *Name;
  EFI_GUID         Guid;
} mNewNames[] = {
  { u"Brisvane",
    { 0x158DEF5A, 0xF656, 0x419C, { 0xB0, 0x27, 0x7A, 0x31, 0x92, 0xC0, 0x79, 0xD2 } } },
  { u"Boot0000",
    { 0x8BE4DF61, 0x93CA, 0x11D2, { 0xAA, 0x0D, 0x00, 0xE0, 0x98, 0x03, 0x2B, 0x8C } } },
  { u"X", { 0, 0, 0, { 0, 0, 0, 0, 0, 0, 0, 0 } } },
  { u"AVariableWithALongerNameThanMost", { 1, 2, 3, { 4, 5, 6, 7, 8, 9, 10, 11 } } },
};

// What the store writes, what the firmware refuses, and what only the firmware may write.
static const UINT32 mAttributes[] = { 0x3, 0x7, 0x1, 0x2, 0x5, 0x6, 0x23, 0x43, 0x27, 0x0B, 0x103 };

///
/// A live variable as the walk finds it.
///
struct VARIABLE {
  BYTES    Name; ///< NameSize bytes, as stored.
  EFI_GUID Guid;
  UINT32   Attributes;
  BYTES    Data;
  bool     Added; ///< Its record is added, not in transition to deletion.
};

///
/// The live variables by GUID and name.
///
typedef std::map<std::string, VARIABLE> LIVE;

static std::string
KeyOf (const BYTES &Name, const EFI_GUID &Guid)
{
  std::string Key (reinterpret_cast<const char *> (&Guid), sizeof (Guid));

  return Key.append (reinterpret_cast<const char *> (Name.data ()), Name.size ());
}

// The stored name as the string a caller passes, or empty when no caller can name it.
static std::u16string
CallableName (const BYTES &Name)
{
  std::u16string Text (Name.size () / 2, u'\0');

  if ((Name.size () < 4) || (Name.size () % 2 != 0)) {
    return u"";
  }

  memcpy (&Text[0], Name.data (), Name.size ());
  if (Text.find (u'\0') != Text.size () - 1) {
    return u"";
  }

  Text.pop_back ();
  return Text;
}

/**
  Walks the records as the variable driver does: a header with State or a
  size still erased is a bare header; a variable's first added record is the
  one read, or failing that its last in transition. The walk must end where
  the store says its records end.
**/
static LIVE
ReadLive (const NVRAM_STORE *Store)
{
  LIVE                  Live;
  NVRAM_VARIABLE_HEADER Header;
  UINT16                StartId;
  UINTN                 Offset;

  for (Offset = Store->FirstRecord; Store->StoreEnd - Offset >= sizeof (StartId);) {
    memcpy (&StartId, Store->Image + Offset, sizeof (StartId));
    if (StartId != NVRAM_VARIABLE_DATA) {
      break;
    }

    CHECK (Store->StoreEnd - Offset >= sizeof (Header));
    memcpy (&Header, Store->Image + Offset, sizeof (Header));
    if ((Header.State == 0xFF) || (Header.NameSize == 0xFFFFFFFF) ||
        (Header.DataSize == 0xFFFFFFFF) || (Header.Attributes == 0xFFFFFFFF)) {
      Header.NameSize = Header.DataSize = 0;
    }

    const UINT8 *Name = Store->Image + Offset + sizeof (Header);
    const UINT8 *Data = Name + Header.NameSize;

    CHECK ((UINTN)Header.NameSize + Header.DataSize <= Store->StoreEnd - Offset - sizeof (Header));
    Offset = (Offset + sizeof (Header) + Header.NameSize + Header.DataSize + 3) & ~(UINTN)3;
    if ((Header.State != NVRAM_VAR_ADDED) && (Header.State != NVRAM_VAR_ADDED_IN_TRANSITION)) {
      continue;
    }

    BYTES       NameBytes (Name, Name + Header.NameSize);
    std::string Key = KeyOf (NameBytes, Header.VendorGuid);

    if ((Live.count (Key) != 0) && Live[Key].Added) {
      continue;
    }

    Live[Key] = { NameBytes, Header.VendorGuid, Header.Attributes,
                  BYTES (Data, Data + Header.DataSize), Header.State == NVRAM_VAR_ADDED };
  }

  CHECK (Offset == Store->FreeOffset);
  return Live;
}

// Every live variable a caller can name reads back as the walk found it, whole or not at all.
static void
CheckReads (const NVRAM_STORE *Store, const LIVE &Live)
{
  for (const auto &Entry : Live) {
    const VARIABLE &Variable = Entry.second;
    std::u16string  Name     = CallableName (Variable.Name);
    BYTES           Read (Variable.Data.size () + 1);
    UINTN           Size = Variable.Data.size ();
    UINT32          Attributes;

    if (Name.empty ()) {
      continue;
    }

    CHECK (
        NvramStoreGetVariable (
            Store, Name.c_str (), &Variable.Guid, &Attributes, &Size, Read.data ()) == EFI_SUCCESS);
    CHECK ((Attributes == Variable.Attributes) && (Size == Variable.Data.size ()));
    CHECK ((Size == 0) || (memcmp (Read.data (), Variable.Data.data (), Size) == 0));
    if (Size > 0) {
      Size--;
      CHECK (
          NvramStoreGetVariable (Store, Name.c_str (), &Variable.Guid, NULL, &Size, Read.data ()) ==
          EFI_BUFFER_TOO_SMALL);
      CHECK (Size == Variable.Data.size ());
    }
  }
}

///
/// One write of a step, as the script spells it.
///
struct WRITE {
  std::u16string  Name;
  BYTES           NameBytes; ///< With its NUL, as a record holds it.
  EFI_GUID        Guid;
  UINT32          Attributes;
  BYTES           Value;
  const VARIABLE *Stored; ///< The live variable of that name, if any.
};

static WRITE
DecodeStep (const uint8_t *Step, const LIVE &Live)
{
  std::vector<const VARIABLE *> Callable;
  UINTN                         Which = Step[0] & 0x3F;
  UINTN                         Index = Step[1] & 0x0F;
  WRITE                         Write;

  for (const auto &Entry : Live) {
    if (!CallableName (Entry.second.Name).empty ()) {
      Callable.push_back (&Entry.second);
    }
  }

  if (Which < Callable.size ()) {
    Write.Name = CallableName (Callable[Which]->Name);
    Write.Guid = Callable[Which]->Guid;
  } else {
    Which      = (Which - Callable.size ()) % (sizeof (mNewNames) / sizeof (mNewNames[0]));
    Write.Name = mNewNames[Which].Name;
    Write.Guid = mNewNames[Which].Guid;
  }

  Write.NameBytes.resize ((Write.Name.size () + 1) * 2);
  memcpy (Write.NameBytes.data (), Write.Name.c_str (), Write.NameBytes.size ());
  auto Found   = Live.find (KeyOf (Write.NameBytes, Write.Guid));
  Write.Stored = (Found == Live.end ()) ? NULL : &Found->second;

  Write.Attributes = (Index < sizeof (mAttributes) / sizeof (mAttributes[0])) ? mAttributes[Index]
                     : (Write.Stored != NULL) ? Write.Stored->Attributes
                                              : 0x7;
  Write.Value.resize ((Step[2] | (Step[3] << 8)) % STORE_FUZZ_SIZE_RANGE);
  for (UINTN Byte = 0; Byte < Write.Value.size (); Byte++) {
    Write.Value[Byte] = (UINT8)((Step[1] >> 4) + Byte);
  }

  switch ((STORE_FUZZ_ACTION)(Step[0] >> 6)) {
  case StoreFuzzWrite:
    break;
  case StoreFuzzRewrite:
    if (Write.Stored != NULL) {
      Write.Value = Write.Stored->Data;
    }

    break;
  case StoreFuzzDelete:
    Write.Value.clear ();
    break;
  case StoreFuzzDeleteByAttributes:
    Write.Attributes = 0;
    break;
  }

  return Write;
}

/**
  Carries out one step and checks what it did; Live is the store's live
  variables before it, and after.
**/
static void
RunStep (NVRAM_STORE *Store, BYTES &Image, LIVE &Live, const uint8_t *Step)
{
  const WRITE Write    = DecodeStep (Step, Live);
  const bool  Deletion = Write.Value.empty () || ((Write.Attributes & 0x6) == 0);
  const BYTES Before   = Image;
  const UINTN Free     = Store->FreeOffset;
  NVRAM_STORE Reopened;
  EFI_STATUS  Status;

  Status = NvramStoreSetVariable (
      Store, Write.Name.c_str (), &Write.Guid, Write.Attributes, Write.Value.size (),
      Write.Value.data ());
  if (EFI_ERROR (Status)) {
    CHECK ((Image == Before) && (Store->FreeOffset == Free));
    CHECK ((Status != EFI_NOT_FOUND) || (Deletion && (Write.Stored == NULL)));
    return;
  }

  CHECK (!Deletion || (Write.Stored != NULL));
  CHECK (OpenNvramStore (Image.data (), Image.size (), &Reopened) == NvramStoreValid);
  CHECK ((Reopened.FreeOffset == Store->FreeOffset) && (Reopened.StoreEnd == Store->StoreEnd));
  CHECK (std::equal (Image.begin (), Image.begin () + Store->FirstRecord, Before.begin ()));
  CHECK (std::equal (
      Image.begin () + Store->VolumeSize, Image.end (), Before.begin () + Store->VolumeSize));

  LIVE              After  = ReadLive (&Reopened);
  const std::string Target = KeyOf (Write.NameBytes, Write.Guid);

  for (const auto &Entry : Live) {
    auto Kept = After.find (Entry.first);

    if (Entry.first != Target) {
      CHECK (Kept != After.end ());
      CHECK (Kept->second.Attributes == Entry.second.Attributes);
      CHECK (Kept->second.Data == Entry.second.Data);
    }
  }

  CHECK (After.size () == Live.size () + !Deletion - (Write.Stored != NULL));
  if (Deletion) {
    UINTN Size = 0;

    CHECK (
        NvramStoreGetVariable (&Reopened, Write.Name.c_str (), &Write.Guid, NULL, &Size, NULL) ==
        EFI_NOT_FOUND);
  } else {
    CHECK (After.count (Target) == 1);
    CHECK (After[Target].Attributes == Write.Attributes);
    CHECK (After[Target].Data == Write.Value);
  }

  CheckReads (&Reopened, After);
  Live = After;
}

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *Data, size_t Size)
{
  NVRAM_STORE       Store;
  NVRAM_STORE_CHECK Check;
  char              Reason[256];

  if (Size < STORE_FUZZ_SCRIPT_SIZE) {
    return 0;
  }

  BYTES       Image (Data + STORE_FUZZ_SCRIPT_SIZE, Data + Size);
  const BYTES Original = Image;

  mStep = 0;
  Check = OpenNvramStore (Image.data (), Image.size (), &Store);
  CHECK (Image == Original);
  if (Check != NvramStoreValid) {
    DescribeNvramStoreCheck (Check, Store.CheckOffset, Reason, sizeof (Reason));
    CHECK ((Reason[0] != 0) && (strchr (Reason, '%') == NULL));
    return 0;
  }

  LIVE Live = ReadLive (&Store);

  CheckReads (&Store, Live);
  for (mStep = 1; mStep <= STORE_FUZZ_STEPS; mStep++) {
    RunStep (&Store, Image, Live, Data + (mStep - 1) * STORE_FUZZ_STEP_SIZE);
  }

  return 0;
}

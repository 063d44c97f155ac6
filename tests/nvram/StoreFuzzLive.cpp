/** @file
  The store fuzzer's own walk of the records, as the variable driver walks
  them, to judge the library's lookup and edits by.
**/

#include "StoreFuzzLive.h"

#include "nvram/VariableStoreFormat.h"

#include <string.h>

#include <algorithm>

std::string
KeyOf (const BYTES &Name, const EFI_GUID &Guid)
{
  std::string Key (reinterpret_cast<const char *> (&Guid), sizeof (Guid));

  return Key.append (reinterpret_cast<const char *> (Name.data ()), Name.size ());
}

std::u16string
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
  A header with State or a size still erased is a bare header; one that is
  not live and runs past the store (torn in its sizes) ends the walk, as
  the driver's next pointer then does. A variable's first added record is
  the one read; failing that, of those in transition, the first when the
  free space after the walk is not erased (the driver reclaims at boot),
  else the last.
**/
LIVE
ReadLive (const NVRAM_STORE *Store)
{
  LIVE                  Live;
  std::vector<VARIABLE> Walked;
  NVRAM_VARIABLE_HEADER Header;
  UINT16                StartId;
  UINTN                 Offset;
  bool                  Erased = true;

  for (Offset = Store->FirstRecord; Store->StoreEnd - Offset >= 4;) {
    memcpy (&StartId, Store->Image + Offset, sizeof (StartId));
    if (StartId != NVRAM_VARIABLE_DATA) {
      break;
    }

    const UINT8 State  = Store->Image[Offset + offsetof (NVRAM_VARIABLE_HEADER, State)];
    const bool  IsLive = (State == NVRAM_VAR_ADDED) || (State == NVRAM_VAR_ADDED_IN_TRANSITION);

    memset (&Header, 0xFF, sizeof (Header));
    memcpy (&Header, Store->Image + Offset, std::min (sizeof (Header), Store->StoreEnd - Offset));

    if ((Header.State == 0xFF) || (Header.NameSize == 0xFFFFFFFF) ||
        (Header.DataSize == 0xFFFFFFFF) || (Header.Attributes == 0xFFFFFFFF)) {
      Header.NameSize = Header.DataSize = 0;
    }

    if ((Store->StoreEnd - Offset < sizeof (Header)) ||
        ((UINTN)Header.NameSize + Header.DataSize > Store->StoreEnd - Offset - sizeof (Header))) {
      CHECK (!IsLive);
      Erased = false;
      break;
    }

    const UINT8 *Name = Store->Image + Offset + sizeof (Header);
    const UINT8 *Data = Name + Header.NameSize;

    Offset = (Offset + sizeof (Header) + Header.NameSize + Header.DataSize + 3) & ~(UINTN)3;
    if (IsLive) {
      Walked.push_back ({ BYTES (Name, Name + Header.NameSize), Header.VendorGuid,
                          Header.Attributes, BYTES (Data, Data + Header.DataSize),
                          State == NVRAM_VAR_ADDED });
    }
  }

  for (UINTN Byte = Offset; Erased && (Byte < Store->StoreEnd); Byte++) {
    Erased = (Store->Image[Byte] == 0xFF);
  }

  CHECK ((Offset == Store->FreeOffset) && (Erased == (bool)Store->FreeSpaceErased));
  for (const VARIABLE &Variable : Walked) {
    std::string Key   = KeyOf (Variable.Name, Variable.Guid);
    auto        Found = Live.find (Key);

    if ((Found == Live.end ()) || (!Found->second.Added && (Variable.Added || Erased))) {
      Live[Key] = Variable;
    }
  }

  return Live;
}

void
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

/** @file
  The store fuzzer's own walk of the records, as the variable driver walks
  them, to judge the library's lookup and edits by.
**/

#include "StoreFuzzLive.h"

#include "nvram/VariableStoreFormat.h"

#include <string.h>

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

// A header with State or a size still erased is a bare header; a variable's first added record is
// the one read, or failing that its last in transition.
LIVE
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

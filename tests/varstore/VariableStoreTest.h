/** @file
  What the variable store tests share: stores of two blocks laid out as
  OVMF lays them out, the start-up option variable and neighbours of it,
  and short ways to open a store and to set, clear and read the variable.
**/

#ifndef VARIABLE_STORE_TEST_H_
#define VARIABLE_STORE_TEST_H_

#include "TestSupport.h"

#include <gtest/gtest.h>

static const EFI_GUID Shell  = ShellGuid ();
static const UINTN    Region = 2 * STORE_IMAGE_BLOCK;
// The first record: after the volume header, its block map and the store header.
static const UINTN FirstSlot = 0x64;

inline RECORD
Startup (const std::u16string &Value, UINT8 State = NVRAM_VAR_ADDED)
{
  return { u"Brisvane", Shell, 0x3, Ucs2Bytes (Value), State };
}

// Neighbours carry authentication fields, which must survive every rewrite.
inline RECORD
Neighbour (const std::u16string &Name, UINT8 Tag, UINTN Size, UINT8 State = NVRAM_VAR_ADDED)
{
  return { Name, OtherGuid (Tag), 0x7, BYTES (Size, Tag), State, 0x1122334455667788ull, Tag, 2024 };
}

inline EFI_STATUS
Set (NVRAM_STORE *Store, const std::u16string &Value, UINT32 Attributes = 0x3)
{
  BYTES Data = Ucs2Bytes (Value);

  return NvramStoreSetVariable (Store, u"Brisvane", &Shell, Attributes, Data.size (), Data.data ());
}

inline EFI_STATUS
Clear (NVRAM_STORE *Store)
{
  return NvramStoreSetVariable (Store, u"Brisvane", &Shell, 0x3, 0, NULL);
}

inline std::u16string
Get (const NVRAM_STORE *Store)
{
  UINT8  Data[256];
  UINTN  DataSize = sizeof (Data);
  UINT32 Attributes;

  if (NvramStoreGetVariable (Store, u"Brisvane", &Shell, &Attributes, &DataSize, Data) !=
      EFI_SUCCESS) {
    return u"<absent>";
  }

  EXPECT_EQ (Attributes, 0x3u);
  return std::u16string (reinterpret_cast<char16_t *> (Data), DataSize / 2 - 1);
}

inline UINT8
StateAt (const BYTES &Image, UINTN Record)
{
  return Image[Record + offsetof (NVRAM_VARIABLE_HEADER, State)];
}

inline void
Open (BYTES &Image, NVRAM_STORE *Store)
{
  ASSERT_EQ (OpenNvramStore (Image.data (), Image.size (), Store), NvramStoreValid);
}

#endif

/** @file
  What the variable store tests share: stores of two blocks laid out as
  OVMF lays them out, the start-up option variable and neighbours of it,
  and short ways to open a store and to set, clear and read the variable.
**/

#ifndef VARIABLE_STORE_TEST_H_
#define VARIABLE_STORE_TEST_H_

#include "tests/support/NvramImage.h"

#include <gtest/gtest.h>

#include <string.h>

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
Set (NVRAM_STORE *Store, const std::u16string &Value, NVRAM_EDIT *Edit = NULL)
{
  BYTES Data = Ucs2Bytes (Value);

  return NvramStoreSetVariable (Store, u"Brisvane", &Shell, 0x3, Data.size (), Data.data (), Edit);
}

inline EFI_STATUS
Clear (NVRAM_STORE *Store, NVRAM_EDIT *Edit = NULL)
{
  return NvramStoreSetVariable (Store, u"Brisvane", &Shell, 0x3, 0, NULL, Edit);
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

// Adds records in State after Records until the store is full to its last byte.
inline void
Fill (std::vector<RECORD> &Records, UINT8 State)
{
  const UINTN Bare = RecordSpan (Neighbour (u"Fill", 0, 0));
  UINTN       Used = FirstSlot;

  for (const RECORD &Record : Records) {
    Used += RecordSpan (Record);
  }

  for (UINT8 Tag = 10; Used + RecordSpan (Neighbour (u"Fill", Tag, 200)) + Bare <= Region; Tag++) {
    Records.push_back (Neighbour (u"Fill", Tag, 200, State));
    Used += RecordSpan (Records.back ());
  }

  Records.push_back (Neighbour (u"Fill", 0xFF, Region - Used - Bare, State));
}

// Fills the working block's queue with Count finished writes; gives the offset of the next slot.
inline UINTN
QueueFinishedWrites (BYTES &Image, UINTN Count)
{
  UINT64 One   = 1;
  UINTN  Queue = WorkingBlockOffset (Region) + sizeof (NVRAM_FTW_WORKING_HEADER);

  for (UINTN Write = 0; Write < Count; Write++, Queue += 80) {
    Image[Queue] = 0xF8;
    memcpy (&Image[Queue + 24], &One, sizeof (One));
    memset (&Image[Queue + 32], 0, 8);
    Image[Queue + 40] = 0xF9;
  }

  return Queue;
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

/** @file
  Writes the store fuzzer's seeds into the folder it is given: NVRAM files
  laid out as OVMF lays out its own at a small scale, and AAVMF's padded
  layout, each behind a script of writes, deletions and a compaction.
**/

#include "StoreFuzzer.h"
#include "tests/support/NvramImage.h"

#include <stdio.h>
#include <string.h>

#include <string>

static const UINTN Region = 2 * STORE_IMAGE_BLOCK;

static BYTES
Step (STORE_FUZZ_ACTION Action, UINT8 Variable, UINT8 Attributes, UINT16 Size)
{
  return { (UINT8)((Action << 6) | Variable), Attributes, (UINT8)Size, (UINT8)(Size >> 8) };
}

// Variable 0 is the first live one; 63 is past them, one of the fuzzer's own names; attributes
// 0 are 0x3 and 15 the stored ones.
static BYTES
Script (UINT16 FirstSize)
{
  BYTES Script;

  for (const BYTES &Part :
       { Step (StoreFuzzWrite, 0, 15, FirstSize), Step (StoreFuzzWrite, 63, 0x30, 300),
         Step (StoreFuzzDelete, 1, 15, 0), Step (StoreFuzzRewrite, 0, 15, 0) }) {
    Script.insert (Script.end (), Part.begin (), Part.end ());
  }

  return Script;
}

static RECORD
Variable (const std::u16string &Name, UINT8 Tag, UINTN Size, UINT8 State = NVRAM_VAR_ADDED)
{
  return { Name, OtherGuid (Tag), 0x7, BYTES (Size, Tag), State, 0x1122334455667788ull, Tag, 2024 };
}

// Records that fill the store to about Left bytes short of its end.
static std::vector<RECORD>
Filled (UINTN Left)
{
  std::vector<RECORD> Records;
  UINTN               Used = 0x64;

  for (UINT8 Tag = 10; Used + RecordSpan (Variable (u"Fill", Tag, 200)) + Left <= Region; Tag++) {
    Records.push_back (Variable (u"Fill", Tag, 200, (Tag % 3 == 0) ? 0x3C : NVRAM_VAR_ADDED));
    Used += RecordSpan (Records.back ());
  }

  return Records;
}

// The volume padded with zeros to twice its length, its block map over the whole, as AAVMF's.
static BYTES
Padded (BYTES Image)
{
  UINT32 Blocks = (UINT32)(2 * Image.size () / STORE_IMAGE_BLOCK);

  Image.resize (2 * Image.size (), 0);
  memcpy (&Image[sizeof (NVRAM_FV_HEADER)], &Blocks, sizeof (Blocks));
  FixChecksum (Image);
  return Image;
}

/**
  Image with its volume mapped as blocks of BlockSize over Length bytes and
  the working block's queue QueueSize bytes long: geometries the firmware
  never lays out, whose sizes reach the checks of the working block, the
  spare area and the queue.
**/
static BYTES
Reblocked (BYTES Image, UINT32 BlockSize, UINTN Length, UINTN QueueSize)
{
  UINT64                   FvLength = Image.size ();
  NVRAM_FV_BLOCK_MAP_ENTRY Map      = { (UINT32)(Length / BlockSize), BlockSize };

  Image.resize (Length, (Length > FvLength) ? 0 : 0xFF);
  memcpy (&Image[sizeof (NVRAM_FV_HEADER)], &Map, sizeof (Map));
  FixChecksum (Image);
  SetWriteQueueSize (Image, Region, QueueSize);
  return Image;
}

// Image grown by Blocks erased blocks of its volume, its working block widened over them.
static BYTES
Widened (BYTES Image, UINTN Blocks)
{
  UINT64 Length = Image.size () + Blocks * STORE_IMAGE_BLOCK;

  Image.resize (Length, 0xFF);
  memcpy (&Image[offsetof (NVRAM_FV_HEADER, FvLength)], &Length, sizeof (Length));
  return Reblocked (
      Image, STORE_IMAGE_BLOCK, Length,
      (Blocks + 1) * STORE_IMAGE_BLOCK - sizeof (NVRAM_FTW_WORKING_HEADER));
}

// Image with a byte of its working block's queue, at Offset from the block, not erased.
static BYTES
Stray (BYTES Image, UINTN Offset)
{
  Image[WorkingBlockOffset (Region) + Offset] = 0;
  return Image;
}

/**
  Image as a compaction for a value of Size bytes leaves it when cut short
  after its Flushes-th flush: a pending write that the next opening
  abandons (the first) or finishes (the second, after the new store is
  marked complete in the spare area).
**/
static BYTES
CutCompaction (BYTES Image, UINTN Size, UINTN Flushes)
{
  const EFI_GUID   Shell = ShellGuid ();
  BYTES            Cut   = Image;
  BYTES            Value (Size, 0x41);
  NVRAM_STORE      Store;
  NVRAM_WRITE_PLAN Plan = {};
  NVRAM_EDIT       Edit = { &Plan, {} };

  if ((OpenNvramStore (Image.data (), Image.size (), &Store) == NvramStoreValid) &&
      (NvramStoreSetVariable (&Store, u"Brisvane", &Shell, 0x3, Size, Value.data (), &Edit) ==
       EFI_SUCCESS)) {
    for (UINTN Step = 0; (Step < Plan.Count) && (Flushes > 0); Step++) {
      memcpy (
          &Cut[Plan.Steps[Step].Offset], Plan.Bytes + Plan.Steps[Step].Data, Plan.Steps[Step].Size);
      Flushes -= (Plan.Steps[Step].Size == 0) ? 1 : 0;
    }
  }

  NvramFreeWritePlan (&Plan);
  return Cut;
}

int
main (int Argc, char **Argv)
{
  const EFI_GUID            Shell = ShellGuid ();
  const std::vector<RECORD> Mixed = {
    Variable (u"Boot0000", 1, 30),
    Variable (u"Gone", 2, 40, 0x3C),
    Variable (u"Moving", 3, 5, NVRAM_VAR_ADDED_IN_TRANSITION),
    { u"Brisvane", Shell, 0x3, Ucs2Bytes (u"-nomap"), NVRAM_VAR_ADDED_IN_TRANSITION },
    { u"Brisvane", Shell, 0x3, Ucs2Bytes (u"-exit") },
    Variable (u"Half", 5, 9, NVRAM_VAR_HEADER_VALID_ONLY),
  };
  const struct {
    const char *Name;
    BYTES       Script;
    BYTES       Image;
  } Seeds[] = {
    { "empty", Script (16), BuildImage (Region, {}) },
    { "mixed", Script (0x1E00), BuildImage (Region, Mixed) },
    { "nearly-full", Script (900), BuildImage (Region, Filled (400)) },
    { "larger", Script (0x1800), BuildImage (2 * Region, Mixed) },
    { "aavmf-padded", Script (700), Padded (BuildImage (Region, Mixed)) },
    { "compaction-abandoned", Script (300),
      CutCompaction (BuildImage (Region, Filled (400)), 900, 1) },
    { "compaction-finished", Script (300),
      CutCompaction (BuildImage (Region, Filled (400)), 900, 2) },
    // Two files a guest could plant: a working block larger than the spare area, its queue not
    // erased; 1-byte blocks mapped past the volume, no working block.
    { "spare-smaller-than-working", Script (900),
      Stray (Widened (BuildImage (Region, Filled (400)), 3), 200) },
    { "byte-blocks-past-volume", Script (16),
      Stray (Reblocked (BuildImage (Region, Mixed), 1, 6 * STORE_IMAGE_BLOCK + 16, 0xFE0), 0) },
    { "tiny-queue", Script (900),
      Reblocked (BuildImage (Region, Filled (400)), 16, 6 * STORE_IMAGE_BLOCK, 64) },
    { "small-blocks", Script (900),
      Reblocked (BuildImage (Region, Filled (400)), 512, 6 * STORE_IMAGE_BLOCK, 480) },
    { "small-blocks-finished", Script (300),
      CutCompaction (
          Reblocked (BuildImage (Region, Filled (400)), 512, 6 * STORE_IMAGE_BLOCK, 480), 900, 2) },
  };

  if (Argc != 2) {
    fprintf (stderr, "usage: %s FOLDER\n", Argv[0]);
    return 2;
  }

  for (const auto &Seed : Seeds) {
    BYTES Input = Seed.Script;

    Input.insert (Input.end (), Seed.Image.begin (), Seed.Image.end ());
    WriteFile (std::string (Argv[1]) + "/" + Seed.Name, Input);
  }

  return 0;
}

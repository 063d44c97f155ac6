/** @file
  The cut simulator: the stores it starts from, the plans of brisvane-vars'
  runs, and the check of each file a cut leaves.
**/

#include "CutSimulator.h"

const char *const CutFaultNames[CutFaultKinds] = {
  "held",
  "refused by the library",
  "unreadable to the firmware",
  "the library and the firmware read different values",
  "a value neither old nor new",
  "another variable changed",
  "the next write refused",
  "the old value after the new one",
};

// The store library's faults as the simulator finds them, until the fix is merged.
static const EFI_GUID  mShell    = ShellGuid ();
static const char16_t *mBrisvane = u"Brisvane";

static CUT_KEY
BrisvaneKey (VOID)
{
  return CutKey (mBrisvane, mShell);
}

static EFI_STATUS
Write (NVRAM_STORE *Store, const CUT_ACTION &Action, NVRAM_EDIT *Edit)
{
  BYTES Data = Ucs2Bytes (Action.Value);

  return NvramStoreSetVariable (
      Store, mBrisvane, &mShell, 0x3, (Action.Kind == CutSet) ? Data.size () : 0, Data.data (),
      Edit);
}

// Fills the working block's queue with finished writes, as fifty compactions leave it.
static VOID
FillQueue (BYTES &Image, const NVRAM_FTW_AREAS &Ftw)
{
  UINT64 One = 1;

  for (UINTN At = Ftw.WorkingBase + Ftw.LastWrite; At + 80 <= Ftw.WorkingBase + Ftw.WorkingSize;
       At += 80) {
    Image[At] = 0xF8;
    memcpy (&Image[At + 24], &One, sizeof (One));
    memset (&Image[At + 32], 0, 8);
    Image[At + 40] = 0xF9;
  }
}

BYTES
CutBase (const std::string &Path, CUT_BASE Kind)
{
  BYTES       Image = ReadFile (Path);
  NVRAM_STORE Store;
  UINT64      Length;
  UINT32      Blocks[2];

  if (Image.size () < 0x28) {
    return {};
  }

  // The volume alone, its block map cut to it: AAVMF pads it with zeros that no edit touches.
  memcpy (&Length, &Image[0x20], sizeof (Length));
  memcpy (&Blocks[0], &Image[0x38], sizeof (Blocks));
  Image.resize (Length);
  Blocks[0] = (UINT32)(Length / Blocks[1]);
  memcpy (&Image[0x38], &Blocks[0], sizeof (Blocks));
  FixChecksum (Image);
  if (OpenNvramStore (Image.data (), Image.size (), &Store) != NvramStoreValid) {
    return {};
  }

  UINTN At = Store.FreeOffset;
  for (UINT8 Tag : { 1, 2 }) {
    At = PutRecord (
        Image, At,
        { Tag == 1 ? u"Boot0000" : u"Lang", OtherGuid (Tag), 0x27, BYTES (30 * Tag, Tag),
          NVRAM_VAR_ADDED, 0x1122334455667788ull, Tag, 2024 });
  }

  OpenNvramStore (Image.data (), Image.size (), &Store);
  Write (&Store, { CutSet, u"-old" }, NULL);
  for (UINT8 Fill = 0; (Kind != CutPlain) && (Store.StoreEnd - Store.FreeOffset >= 0x400); Fill++) {
    BYTES    Data (std::min<UINTN> (0xE00, Store.StoreEnd - Store.FreeOffset - 80), Fill);
    EFI_GUID Guid = OtherGuid (9);

    NvramStoreSetVariable (&Store, u"Fill", &Guid, 0x3, Data.size (), Data.data ());
  }

  if (Kind == CutFullQueue) {
    FillQueue (Image, Store.Ftw);
  }

  return Image;
}

static VOID
Append (CUT_PLAN *Plan, const NVRAM_WRITE_PLAN &Made)
{
  for (UINTN Step = 0; Step < Made.Count; Step++) {
    const NVRAM_WRITE &Write = Made.Steps[Step];

    Plan->push_back (
        { Write.Offset, BYTES (Made.Bytes + Write.Data, Made.Bytes + Write.Data + Write.Size) });
  }
}

BOOLEAN
PlanRun (const BYTES &Image, const CUT_ACTION &Action, CUT_PLAN *Plan)
{
  BYTES            Copy      = Image;
  NVRAM_WRITE_PLAN Recovery  = {};
  NVRAM_WRITE_PLAN Edit      = {};
  NVRAM_EDIT       Recovered = { &Recovery, {} };
  NVRAM_EDIT       Edited    = { &Edit, {} };
  NVRAM_STORE      Store;
  BOOLEAN          Made;

  Made = RecoverNvramStore (Copy.data (), Copy.size (), &Store, &Recovered) == NvramStoreValid;
  if (Made && (Action.Kind >= CutSet)) {
    Made = Write (&Store, Action, &Edited) == EFI_SUCCESS;
  }

  Made = Made && !Recovery.Incomplete && !Edit.Incomplete;
  Plan->clear ();
  Append (Plan, Recovery);
  Append (Plan, Edit);
  NvramFreeWritePlan (&Recovery);
  NvramFreeWritePlan (&Edit);
  return Made;
}

CUT_VALUE
ValueAfter (const CUT_ACTION &Action, const CUT_VALUE &Before)
{
  if (Action.Kind == CutSet) {
    return Ucs2Bytes (Action.Value);
  }

  return (Action.Kind == CutClear) ? CUT_VALUE () : Before;
}

BOOLEAN
ReadExpected (const BYTES &Image, CUT_VALUE *Value, CUT_VARIABLES *Others)
{
  if (!ReadAsFirmware (Image, Others).empty ()) {
    return FALSE;
  }

  auto Found = Others->find (BrisvaneKey ());
  *Value     = (Found != Others->end ()) ? CUT_VALUE (Found->second.second) : CUT_VALUE ();
  if (Found != Others->end ()) {
    Others->erase (Found);
  }

  return TRUE;
}

// What the library reads of the variable of Key, its attributes first; empty when absent.
static BYTES
LibraryRead (const NVRAM_STORE *Store, const CUT_KEY &Key)
{
  std::u16string Name (Key.first.size () / 2, 0);
  EFI_GUID       Guid;
  BYTES          Data (0x10000);
  UINTN          Size = Data.size ();
  UINT32         Attributes;

  memcpy (&Name[0], Key.first.data (), Key.first.size ());
  memcpy (&Guid, Key.second.data (), sizeof (Guid));
  if (NvramStoreGetVariable (Store, Name.c_str (), &Guid, &Attributes, &Size, Data.data ()) !=
      EFI_SUCCESS) {
    return {};
  }

  BYTES Read (reinterpret_cast<UINT8 *> (&Attributes), reinterpret_cast<UINT8 *> (&Attributes + 1));
  Read.insert (Read.end (), Data.begin (), Data.begin () + Size);
  return Read;
}

// The library's store after its recovery takes the next write, and leaves no second store behind.
static BOOLEAN
TakesNextWrite (BYTES &Image, NVRAM_STORE *Store)
{
  BYTES Wanted = { 3, 0, 0, 0 };
  BYTES Next   = Ucs2Bytes (u"-next");

  if ((OpenNvramStore (Image.data (), Image.size (), Store) != NvramStoreValid) ||
      Store->Ftw.SpareHasVolume) {
    return FALSE;
  }

  Wanted.insert (Wanted.end (), Next.begin (), Next.end ());
  return (Write (Store, { CutSet, u"-next" }, NULL) == EFI_SUCCESS) &&
         (LibraryRead (Store, BrisvaneKey ()) == Wanted);
}

CUT_FAULT
CheckCut (const BYTES &Image, const CUT_EXPECTED &Expected, BOOLEAN WriteNext, CUT_VALUE *Read)
{
  // Kept from one check to the next: a buffer the size of the file each time costs more than the
  // check.
  static BYTES  Recovered;
  NVRAM_STORE   Store;
  CUT_VALUE     Firmware;
  CUT_VARIABLES Others;

  Recovered.assign (Image.begin (), Image.end ());
  if (RecoverNvramStore (Recovered.data (), Recovered.size (), &Store, NULL) != NvramStoreValid) {
    return CutToolRefused;
  }

  BYTES Library = LibraryRead (&Store, BrisvaneKey ());
  *Read =
      Library.empty () ? CUT_VALUE () : CUT_VALUE (BYTES (Library.begin () + 4, Library.end ()));
  if (!ReadExpected (Image, &Firmware, &Others)) {
    return CutReaderRefused;
  }

  if (Firmware != *Read) {
    return CutReadersDisagree;
  }

  if ((*Read != Expected.Old) && (*Read != Expected.New)) {
    return CutNotOldOrNew;
  }

  if (Others != Expected.Others) {
    return CutOtherChanged;
  }

  for (const auto &[Key, Value] : Expected.Others) {
    BYTES Wanted (
        reinterpret_cast<const UINT8 *> (&Value.first),
        reinterpret_cast<const UINT8 *> (&Value.first + 1));

    Wanted.insert (Wanted.end (), Value.second.begin (), Value.second.end ());
    if (LibraryRead (&Store, Key) != Wanted) {
      return CutOtherChanged;
    }
  }

  return (!WriteNext || TakesNextWrite (Recovered, &Store)) ? CutHeld : CutNextWriteRefused;
}

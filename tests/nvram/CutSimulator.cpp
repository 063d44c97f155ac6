/** @file
  The cut simulator: plans, the files their cuts leave, and their check.
**/

#include "CutSimulator.h"

#include <random>

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
const CUT_KNOWN_UNSAFE KNOWN_UNSAFE[CUT_KNOWN_UNSAFE_COUNT] = {
  { "set, then clear", CutNotOldOrNew,
    "fault 1: the set's last write unflushed, -c's two State bytes unflushed: the value from "
    "two edits ago" },
  { "set, then a set", CutReadersDisagree,
    "fault 3: two records in transition, free space not erased: the firmware reclaims and "
    "keeps the first, the library reads the last" },
  { NULL, CutToolRefused,
    "fault 4: a header torn inside DataSize, which the firmware boots, is refused" },
};

const char *
IsKnownUnsafe (const char *Family, CUT_FAULT Fault, BOOLEAN *Hit)
{
  for (UINTN Index = 0; Index < CUT_KNOWN_UNSAFE_COUNT; Index++) {
    const CUT_KNOWN_UNSAFE &Known = KNOWN_UNSAFE[Index];

    if ((Known.Fault == Fault) &&
        ((Known.Family == NULL) || (strcmp (Known.Family, Family) == 0))) {
      Hit[Index] = TRUE;
      return Known.Why;
    }
  }

  return NULL;
}

static const EFI_GUID       mShell    = ShellGuid ();
static const std::u16string mBrisvane = u"Brisvane";
static const CUT_KEY        mKey      = CutKey (mBrisvane, mShell);
static const UINTN          mSector   = 512;
static const UINTN          mPage     = 4096;

static EFI_STATUS
Write (NVRAM_STORE *Store, const CUT_ACTION &Action, NVRAM_EDIT *Edit)
{
  BYTES Data = Ucs2Bytes (Action.Value);

  return NvramStoreSetVariable (
      Store, mBrisvane.c_str (), &mShell, 0x3, (Action.Kind == CutSet) ? Data.size () : 0,
      Data.data (), Edit);
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
        { Tag == 1 ? u"Boot0000" : u"Lang", OtherGuid (Tag), 0x7, BYTES (30 * Tag, Tag),
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

  Made = Made && !Recovery.OutOfMemory && !Edit.OutOfMemory;
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

///
/// The enumeration of one interval between flushes: the image flushed before it and its writes.
///
struct CUT_INTERVAL {
  const BYTES                                                          &Flushed;
  std::vector<const CUT_STEP *>                                         Writes;
  const CUT_OPTIONS                                                    &Options;
  std::mt19937                                                         &Random;
  const std::function<void (const std::string &, const BYTES &, INTN)> &Visit;
};

// Write torn after its first Size bytes, as a write made byte by byte is cut.
static VOID
TearAfter (BYTES &Image, const CUT_STEP &Write, UINTN Size)
{
  std::copy (Write.Bytes.begin (), Write.Bytes.begin () + Size, &Image[Write.Offset]);
}

// Write torn into the sectors that landed, drawn at random, as a disk cut mid-write leaves it.
static VOID
TearSectors (BYTES &Image, const CUT_STEP &Write, std::mt19937 &Random)
{
  for (UINTN At = 0; At < Write.Bytes.size (); At += mSector) {
    UINTN End = std::min (At + mSector, Write.Bytes.size ());

    if ((Random () & 1) != 0) {
      std::copy (&Write.Bytes[At], Write.Bytes.data () + End, &Image[Write.Offset + At]);
    }
  }
}

static std::string
Label (const CUT_INTERVAL &Interval, UINTN Index, const char *How)
{
  const CUT_STEP *Write = Interval.Writes[Index];
  char            Text[96];

  snprintf (
      Text, sizeof (Text), "write of %zu bytes at 0x%zx %s", Write->Bytes.size (), Write->Offset,
      How);
  return Text;
}

// The points at which a write of Size bytes is torn: every byte of a small one when exhaustive,
// every sector of one of a few or page of a larger one with EveryPage; and sampled points.
static std::vector<UINTN>
TearPoints (const CUT_INTERVAL &Interval, UINTN Size)
{
  std::vector<UINTN> Points;
  UINTN              Unit = (Size <= mSector) ? 1 : (Size <= 8 * mSector) ? mSector : mPage;

  for (UINTN At = Unit;
       (At < Size) && ((Unit == 1) ? Interval.Options.Exhaustive : Interval.Options.EveryPage);
       At += Unit) {
    Points.push_back (At);
  }

  for (UINTN Sample = 0; (Size > 1) && (Sample < Interval.Options.Samples); Sample++) {
    UINTN At = 1 + Interval.Random () % (Size - 1);

    Points.push_back ((Unit == 1) ? At : std::max<UINTN> (mSector, At / mSector * mSector));
  }

  return Points;
}

static VOID
Apply (BYTES &Image, const CUT_STEP &Write)
{
  std::copy (Write.Bytes.begin (), Write.Bytes.end (), &Image[Write.Offset]);
}

// Every prefix of the interval's writes, and each write torn after the writes before it.
static VOID
CutInOrder (const CUT_INTERVAL &Interval, BOOLEAN First, INTN *Rank)
{
  BYTES Image = Interval.Flushed;
  BYTES Torn;

  for (UINTN Done = 0; Done <= Interval.Writes.size (); Done++) {
    if ((Done > 0) || First) {
      Interval.Visit (
          (Done > 0) ? Label (Interval, Done - 1, "done") : "nothing written", Image, (*Rank)++);
    }

    if (Done == Interval.Writes.size ()) {
      break;
    }

    for (UINTN At : TearPoints (Interval, Interval.Writes[Done]->Bytes.size ())) {
      Torn.assign (Image.begin (), Image.end ());
      TearAfter (Torn, *Interval.Writes[Done], At);
      Interval.Visit (
          Label (Interval, Done, ("torn after " + std::to_string (At)).c_str ()), Torn, -1);
    }

    Apply (Image, *Interval.Writes[Done]);
  }
}

// Subsets of the interval's writes on the disk: all of a small interval's, and random ones in
// which each write is missing, whole or torn at random.
static VOID
CutOutOfOrder (const CUT_INTERVAL &Interval)
{
  UINTN Count   = Interval.Writes.size ();
  UINTN Subsets = (Count <= Interval.Options.Subsets) ? ((UINTN)1 << Count) : 0;
  BYTES Image;

  for (UINTN Subset = 0; Subset < Subsets + Interval.Options.Samples; Subset++) {
    std::string How = "writes landed:";

    Image.assign (Interval.Flushed.begin (), Interval.Flushed.end ());
    for (UINTN Index = 0; Index < Count; Index++) {
      UINTN Fate = (Subset < Subsets) ? ((Subset >> Index) & 1) : Interval.Random () % 3;

      How += " " + std::to_string (Fate);
      if (Fate == 1) {
        Apply (Image, *Interval.Writes[Index]);
      } else if ((Fate == 2) && (Interval.Writes[Index]->Bytes.size () > mSector)) {
        TearSectors (Image, *Interval.Writes[Index], Interval.Random);
      } else if (Fate == 2) {
        TearAfter (
            Image, *Interval.Writes[Index],
            Interval.Random () % Interval.Writes[Index]->Bytes.size ());
      }
    }

    Interval.Visit (Label (Interval, 0, "and those after it") + ", " + How, Image, -1);
  }
}

VOID
ForEachCut (
    const BYTES                                                          &Base,
    const CUT_PLAN                                                       &Plan,
    const CUT_OPTIONS                                                    &Options,
    const std::function<void (const std::string &, const BYTES &, INTN)> &Visit)
{
  std::mt19937 Random (Options.Seed);
  BYTES        Flushed = Base;
  INTN         Rank    = 0;
  UINTN        First   = 0;

  for (UINTN Step = 0; Step <= Plan.size (); Step++) {
    if ((Step < Plan.size ()) && !Plan[Step].Bytes.empty ()) {
      continue;
    }

    CUT_INTERVAL Interval = { Flushed, {}, Options, Random, Visit };
    for (UINTN Write = First; Write < Step; Write++) {
      Interval.Writes.push_back (&Plan[Write]);
    }

    CutInOrder (Interval, First == 0, &Rank);
    if (Interval.Writes.size () > 1) {
      CutOutOfOrder (Interval);
    }

    for (const CUT_STEP *Write : Interval.Writes) {
      Apply (Flushed, *Write);
    }

    First = Step + 1;
  }
}

BOOLEAN
ReadExpected (const BYTES &Image, CUT_VALUE *Value, CUT_VARIABLES *Others)
{
  if (!ReadAsFirmware (Image, Others).empty ()) {
    return FALSE;
  }

  auto Found = Others->find (mKey);
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
         (LibraryRead (Store, mKey) == Wanted);
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

  BYTES Library = LibraryRead (&Store, mKey);
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

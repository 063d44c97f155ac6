/** @file
  The files a cut of a replayed plan leaves: after each write, with any
  subset of the writes since the last flush, and with writes torn as a
  write made byte by byte, or a disk cut mid-write, leaves them.
**/

#include "CutSimulator.h"

#include <random>

static const UINTN mSector = 512;
static const UINTN mPage   = 4096;

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

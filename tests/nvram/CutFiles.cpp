/** @file
  Writes the firmware suite's sample of cut files: from an NVRAM file the
  firmware wrote, a few files that cuts of brisvane-vars' runs leave, the
  ambiguous states among them, each with what it must read as.

    brisvane-cut-files NVRAM-FILE FOLDER

  Writes FOLDER/NAME.fd for each sample, and FOLDER/index with a line per
  sample: NAME, how it was cut, the old and the new value, the value the
  independent reader reads, and the known fault of the library it shows or
  "-", tab-separated; values as hexadecimal data, or "absent".
**/

#include "CutSimulator.h"

#include <stdio.h>

///
/// A sample: the first cut of a run that fails with Fault, or else the first whose
/// label holds Label.
///
struct CUT_SAMPLE {
  const char *Name;
  CUT_BASE    Base;
  CUT_ACTION  First;
  CUT_ACTION  Second;
  CUT_FAULT   Fault;
  const char *Label;
  CUT_OPTIONS Options;
};

static const CUT_SAMPLE mSamples[] = {
  { "torn-header",
    CutPlain,
    { CutSet, u"-exit -nomap" },
    { CutNothing, u"" },
    CutToolRefused,
    "torn after 41",
    { 0, 0, TRUE, FALSE, 1 } },
  { "two-in-transition",
    CutPlain,
    { CutSet, u"-exit -nomap" },
    { CutSet, u"-nostartup" },
    CutReadersDisagree,
    "landed: 1 0 1",
    { 0, 4, FALSE, FALSE, 1 } },
  { "compaction-copy-torn",
    CutFull,
    { CutSet, u"-nonest -exit -delay 5" },
    { CutNothing, u"" },
    CutHeld,
    "at 0x0 torn after 32768",
    { 0, 0, FALSE, TRUE, 1 } },
};

static std::string
Hex (const CUT_VALUE &Value)
{
  std::string Text;
  char        Byte[3];

  if (!Value) {
    return "absent";
  }

  for (UINT8 Each : *Value) {
    snprintf (Byte, sizeof (Byte), "%02x", Each);
    Text += Byte;
  }

  return Text;
}

///
/// The cut a sample picks, and what it read as.
///
struct CUT_PICK {
  std::string  How;
  BYTES        Image;
  CUT_EXPECTED Expected;
  CUT_FAULT    Fault = CutHeld;
  BOOLEAN      Exact = FALSE; ///< It fails with the sample's fault.
};

// Looks through the cuts of Action's run on Start for the sample's cut.
static VOID
Pick (const CUT_SAMPLE &Sample, const BYTES &Start, const CUT_ACTION &Action, CUT_PICK *Picked)
{
  CUT_PLAN     Plan;
  CUT_EXPECTED Expected;

  if (!ReadExpected (Start, &Expected.Old, &Expected.Others) || !PlanRun (Start, Action, &Plan)) {
    return;
  }

  Expected.New = ValueAfter (Action, Expected.Old);
  ForEachCut (Start, Plan, Sample.Options, [&] (const std::string &How, const BYTES &Image, INTN) {
    if (Picked->Exact || ((Sample.Fault == CutHeld) && !Picked->Image.empty ())) {
      return;
    }

    CUT_VALUE Read;
    CUT_FAULT Fault = CheckCut (Image, Expected, FALSE, &Read);
    BOOLEAN   Exact = (Fault == Sample.Fault) && (Fault != CutHeld);

    if (!Picked->Exact &&
        (Exact || (Picked->Image.empty () && (How.find (Sample.Label) != std::string::npos)))) {
      *Picked = { How, Image, Expected, Fault, Exact };
    }

    if ((Sample.Second.Kind != CutNothing) && (&Action == &Sample.First) && (Fault == CutHeld)) {
      Pick (Sample, Image, Sample.Second, Picked);
    }
  });
}

// The cut file as the firmware's flash holds it: padded as the original, and with its volume
// header, which the simulator cut to the volume, as the original's wherever a copy of it lies (at
// the start, and in the spare area when a compaction of the first block was cut).
static BYTES
Whole (const BYTES &Original, const BYTES &Cut)
{
  BYTES  File = Original;
  UINT16 Header;
  UINT32 Block;

  memcpy (&Header, &Original[0x30], sizeof (Header));
  memcpy (&Block, &Original[0x3C], sizeof (Block));
  std::copy (Cut.begin (), Cut.end (), File.begin ());
  for (UINTN At = 0; At + Header <= Cut.size (); At += Block) {
    if (std::equal (Cut.begin (), Cut.begin () + Header, Cut.begin () + At)) {
      std::copy (Original.begin (), Original.begin () + Header, File.begin () + At);
    }
  }

  return File;
}

int
main (int Count, char **Arguments)
{
  if (Count != 3) {
    fprintf (stderr, "usage: brisvane-cut-files NVRAM-FILE FOLDER\n");
    return 2;
  }

  BYTES       Original = ReadFile (Arguments[1]);
  std::string Folder   = Arguments[2];
  FILE       *Index    = fopen ((Folder + "/index").c_str (), "w");

  for (const CUT_SAMPLE &Sample : mSamples) {
    BYTES    Base = CutBase (Arguments[1], Sample.Base);
    CUT_PICK Picked;

    if (!Base.empty ()) {
      Pick (Sample, Base, Sample.First, &Picked);
    }

    CUT_VALUE     Reader;
    CUT_VARIABLES Others;
    if ((Index == NULL) || Picked.Image.empty () ||
        !ReadExpected (Picked.Image, &Reader, &Others)) {
      fprintf (stderr, "brisvane-cut-files: no cut for %s\n", Sample.Name);
      return 1;
    }

    WriteFile (Folder + "/" + Sample.Name + ".fd", Whole (Original, Picked.Image));
    fprintf (
        Index, "%s\t%s\t%s\t%s\t%s\n", Sample.Name, Picked.How.c_str (),
        Hex (Picked.Expected.Old).c_str (), Hex (Picked.Expected.New).c_str (),
        Hex (Reader).c_str ());
  }

  fclose (Index);
  return 0;
}

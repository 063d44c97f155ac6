/** @file
  Every edit of brisvane-vars, on each firmware's template, cut in every way
  the simulator knows (CutSimulator.h), alone and as the first of two runs:
  each file left must read as before or after the run, to the store library
  and to the firmware alike, with every other variable intact.

  BRISVANE_CUT_SAMPLES sets the random cuts per flush interval and torn
  write (default 1, a few seconds); make fuzz runs many more.
**/

#include "CutSimulator.h"

#include <gtest/gtest.h>

#include <stdlib.h>

///
/// A run, or two: the second starts from each state a cut of the first leaves.
///
struct CUT_FAMILY {
  const char *Name;
  CUT_BASE    Base;
  CUT_ACTION  First;
  CUT_ACTION  Second;
};

// A value of 600 characters, whose record does not fit the room a full store has left.
#define CUT_WORDS u"-nonest -exit -nomap -delay 9 "
#define CUT_LONG                                                                                   \
  CUT_WORDS CUT_WORDS CUT_WORDS CUT_WORDS CUT_WORDS CUT_WORDS CUT_WORDS CUT_WORDS CUT_WORDS        \
      CUT_WORDS CUT_WORDS CUT_WORDS CUT_WORDS CUT_WORDS CUT_WORDS CUT_WORDS CUT_WORDS CUT_WORDS    \
          CUT_WORDS CUT_WORDS

static const CUT_FAMILY mFamilies[] = {
  { "set", CutPlain, { CutSet, u"-exit -nomap" }, { CutNothing, u"" } },
  { "clear", CutPlain, { CutClear, u"" }, { CutNothing, u"" } },
  { "compacting set", CutFull, { CutSet, CUT_LONG }, { CutNothing, u"" } },
  { "compacting set, the queue full", CutFullQueue, { CutSet, CUT_LONG }, { CutNothing, u"" } },
  { "compacting set, then its recovery", CutFull, { CutSet, CUT_LONG }, { CutRecoverOnly, u"" } },
  { "compacting set, then a set", CutFull, { CutSet, CUT_LONG }, { CutSet, u"-noversion" } },
  { "set, then a set", CutPlain, { CutSet, u"-exit -nomap" }, { CutSet, u"-nostartup" } },
  { "set, then clear", CutPlain, { CutSet, u"-exit -nomap" }, { CutClear, u"" } },
  { "clear, then a set", CutPlain, { CutClear, u"" }, { CutSet, u"-delay 9" } },
};

struct CUT_TEMPLATE {
  const char *Name;
  const char *Path;
};

///
/// The cuts of one family on one template, by fault, and the first of each.
///
struct CUT_TALLY {
  UINTN       Cases                 = 0;
  UINTN       Faults[CutFaultKinds] = {};
  std::string First[CutFaultKinds];
};

static UINTN
Samples (VOID)
{
  const char *Text = getenv ("BRISVANE_CUT_SAMPLES");

  return (Text != NULL) ? strtoul (Text, NULL, 10) : 1;
}

static VOID
Count (CUT_TALLY *Tally, CUT_FAULT Fault, const std::string &How)
{
  Tally->Cases++;
  if ((Fault != CutHeld) && (Tally->Faults[Fault]++ == 0)) {
    Tally->First[Fault] = How;
  }
}

// Every cut of Action's run on Start, checked against the value Old it read before.
static VOID
CutRun (
    const BYTES                                                  &Start,
    const CUT_ACTION                                             &Action,
    const CUT_OPTIONS                                            &Options,
    const std::string                                            &Prefix,
    CUT_TALLY                                                    *Tally,
    const std::function<void (const BYTES &, const CUT_VALUE &)> &Then = NULL)
{
  CUT_PLAN     Plan;
  CUT_EXPECTED Expected;

  if (!ReadExpected (Start, &Expected.Old, &Expected.Others) || !PlanRun (Start, Action, &Plan)) {
    return;
  }

  // Writes after the last flush may still be lost once the tool has said it is done.
  EXPECT_TRUE (Plan.empty () || Plan.back ().Bytes.empty ())
      << Prefix << "a run not flushed at its end";
  Expected.New    = ValueAfter (Action, Expected.Old);
  BOOLEAN Arrived = FALSE;
  ForEachCut (Start, Plan, Options, [&] (const std::string &How, const BYTES &Image, INTN Rank) {
    CUT_VALUE Read;
    CUT_FAULT Fault = CheckCut (Image, Expected, Options.Exhaustive, &Read);

    if ((Fault == CutHeld) && Arrived && (Rank >= 0) && (Read != Expected.New)) {
      Fault = CutBackToOld;
    }

    Arrived = Arrived || ((Rank >= 0) && (Read == Expected.New) && (Fault == CutHeld));
    Count (Tally, Fault, Prefix + How);
    if ((Fault == CutHeld) && Then) {
      Then (Image, Read);
    }
  });
}

// Cuts one family's runs on Base and reports its faults.
static VOID
CutFamily (const CUT_FAMILY &Family, const BYTES &Base, UINT32 Seed, CUT_TALLY *Tally)
{
  CUT_OPTIONS Options = { Samples (), 8, TRUE, Samples () > 2, Seed };
  CUT_OPTIONS Start   = { Samples (), 0, FALSE, FALSE, Seed };

  if (Family.Second.Kind == CutNothing) {
    CutRun (Base, Family.First, Options, "", Tally);
  } else {
    CUT_TALLY First;

    CutRun (Base, Family.First, Start, "", &First, [&] (const BYTES &Cut, const CUT_VALUE &) {
      CutRun (Cut, Family.Second, { Samples (), 4, FALSE, FALSE, Seed }, "second run: ", Tally);
    });
  }

  for (UINTN Fault = CutHeld + 1; Fault < CutFaultKinds; Fault++) {
    if (Tally->Faults[Fault] == 0) {
      continue;
    }

    ADD_FAILURE () << Tally->Faults[Fault] << " cuts: " << CutFaultNames[Fault]
                   << "; the first: " << Tally->First[Fault];
  }
}

class CutSimulatorTest : public testing::TestWithParam<CUT_TEMPLATE> {};

TEST_P (CutSimulatorTest, EveryCutReadsAsBeforeOrAfterToTheLibraryAndTheFirmware)
{
  UINTN  Cases = 0;
  UINT32 Seed  = 1;

  for (const CUT_FAMILY &Family : mFamilies) {
    SCOPED_TRACE (Family.Name);
    BYTES     Base = CutBase (GetParam ().Path, Family.Base);
    CUT_TALLY Tally;

    ASSERT_FALSE (Base.empty ()) << "missing or unreadable " << GetParam ().Path;
    CutFamily (Family, Base, Seed++, &Tally);
    Cases += Tally.Cases;
  }

  printf (
      "%s: %zu cut files checked (BRISVANE_CUT_SAMPLES=%zu)\n", GetParam ().Path, Cases,
      Samples ());
}

INSTANTIATE_TEST_SUITE_P (
    Templates,
    CutSimulatorTest,
    testing::Values (
        CUT_TEMPLATE { "Ovmf2M", OVMF_VARS_2M },
        CUT_TEMPLATE { "Ovmf4M", OVMF_VARS_4M },
        CUT_TEMPLATE { "Aavmf", AAVMF_DIR "AAVMF_VARS.ms.fd" }),
    [] (const testing::TestParamInfo<CUT_TEMPLATE> &Info) { return Info.param.Name; });

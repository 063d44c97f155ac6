/** @file
  The cut simulator: a run of brisvane-vars on an NVRAM file (a recovery,
  then an edit) as the write plan it replays, every file a cut of that
  replay can leave (cut after any write, any subset of the writes since the
  last flush on the disk, writes torn at byte, sector and page level), and
  the check of each such file by the store library and by an independent
  reading of the store (CutReader.h).
**/

#ifndef CUT_SIMULATOR_H_
#define CUT_SIMULATOR_H_

#include "CutReader.h"

#include <functional>
#include <optional>

///
/// One step of a replayed plan: Bytes at Offset, or a flush when Bytes is empty.
///
struct CUT_STEP {
  UINTN Offset;
  BYTES Bytes;
};

typedef std::vector<CUT_STEP> CUT_PLAN;

typedef enum { CutNothing, CutRecoverOnly, CutSet, CutClear } CUT_ACTION_KIND;

///
/// What a run of the tool does after its recovery: nothing more, set Value, or clear.
///
struct CUT_ACTION {
  CUT_ACTION_KIND Kind;
  const char16_t *Value;
};

typedef std::optional<BYTES> CUT_VALUE; ///< Brisvane's data, or nothing when absent.

///
/// What a cut file must read as: the old or the new value, and every other
/// variable as the independent reader read it before the edit.
///
struct CUT_EXPECTED {
  CUT_VALUE     Old;
  CUT_VALUE     New;
  CUT_VARIABLES Others;
};

///
/// How a cut file failed its check; CutHeld when it passed.
///
typedef enum {
  CutHeld,
  CutToolRefused,      ///< The library refuses the file the firmware boots.
  CutReaderRefused,    ///< The firmware would not read the file.
  CutReadersDisagree,  ///< The library reads another value than the firmware.
  CutNotOldOrNew,      ///< Both read a value neither old nor new.
  CutOtherChanged,     ///< Another variable changed, appeared or went.
  CutNextWriteRefused, ///< The recovered store does not take the next write.
  CutBackToOld,        ///< A later cut reads the old value after an earlier read the new one.
  CutFaultKinds
} CUT_FAULT;

extern const char *const CutFaultNames[CutFaultKinds];

///
/// How far the enumeration goes: Samples random cuts per flush interval
/// and torn write; every subset of an interval of up to Subsets writes;
/// with Exhaustive, every byte at which a small write can tear, with
/// EveryPage every sector or page at which a large one can.
///
struct CUT_OPTIONS {
  UINTN   Samples;
  UINTN   Subsets;
  BOOLEAN Exhaustive;
  BOOLEAN EveryPage;
  UINT32  Seed;
};

typedef enum {
  CutPlain,     ///< Room for a set.
  CutFull,      ///< The next set of a value of 1 KiB or more compacts the store.
  CutFullQueue, ///< And the fault-tolerant write queue is full too.
} CUT_BASE;

/**
  A store to edit from a template: the volume of the file at Path, with two
  neighbours carrying authentication fields and Brisvane set to "-old";
  then, as Kind says, filled with retired records, and its write queue
  with finished writes. Empty when Path cannot be read.
**/
BYTES
CutBase (const std::string &Path, CUT_BASE Kind);

/**
  The plan brisvane-vars replays on Image for Action: its recovery's steps,
  then the edit's. FALSE when the library refuses the file or the edit.
**/
BOOLEAN
PlanRun (const BYTES &Image, const CUT_ACTION &Action, CUT_PLAN *Plan);

/**
  The value Action leaves, given the value Before it.
**/
CUT_VALUE
ValueAfter (const CUT_ACTION &Action, const CUT_VALUE &Before);

/**
  Calls Visit for each file a cut of Plan on Base leaves, with a label
  saying how, and for cuts after a whole write (in plan order) its rank
  from 0, otherwise -1.
**/
VOID ForEachCut (
    const BYTES                                                          &Base,
    const CUT_PLAN                                                       &Plan,
    const CUT_OPTIONS                                                    &Options,
    const std::function<void (const std::string &, const BYTES &, INTN)> &Visit);

/**
  Checks a cut file: the library recovers and opens it and the independent
  reader reads it; both read the same value of Brisvane, old or new, and
  every other variable as before; with WriteNext, the store takes the next
  write.

  @param[in]  Image      The cut file.
  @param[in]  Expected   What it must read as.
  @param[in]  WriteNext  Whether to check the next write too.
  @param[out] Read       Receives the value the library read.
**/
CUT_FAULT
CheckCut (const BYTES &Image, const CUT_EXPECTED &Expected, BOOLEAN WriteNext, CUT_VALUE *Read);

/**
  What a file reads as to the independent reader: Brisvane's value in
  Value, every other variable in Others. FALSE when it reads no store.
**/
BOOLEAN
ReadExpected (const BYTES &Image, CUT_VALUE *Value, CUT_VARIABLES *Others);

#endif

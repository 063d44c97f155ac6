/** @file
  A libFuzzer target over the variable store library: an NVRAM file of any
  bytes is opened, completing a fault-tolerant write left pending, and the
  steps of a script (StoreFuzzer.h) write and delete variables in it,
  compacting the store when a value does not fit, each into one plan of
  writes. Each opening and each step is tried first with the library's
  allocations failing from the first on, then from the second, and so on.
  Whatever the file holds:

  - a refused file, and a refused write, out of memory or not, are left byte
    for byte as they were, and the plan with the same steps and bytes;
  - the plan of a recovery or a write, replayed on the file before it, gives
    the file after it, and no step of it was lost;
  - a write that succeeds was refused for no reason;
  - an edited store opens again, its records ending where the edit left them;
  - every other live variable keeps its name, GUID, attributes and data;
  - a read after a write gives what was written, and nothing after a deletion;
  - the headers before the first record and the padding after the volume are
    never changed.

  The live variables are read twice: by a walk of the records
  (StoreFuzzLive.cpp), as the firmware's FindVariableEx would find them, and
  through the library.
**/

#include "StoreFuzzer.h"
#include "StoreFuzzLive.h"

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

int gStoreFuzzStep;

///
/// What a plan held before an operation, for a refusal to leave it so.
///
struct PLAN_COPY {
  std::vector<NVRAM_WRITE> Steps;
  BYTES                    Bytes;
};

static PLAN_COPY
CopyPlan (const NVRAM_WRITE_PLAN &Plan)
{
  return { std::vector<NVRAM_WRITE> (Plan.Steps, Plan.Steps + Plan.Count),
           BYTES (Plan.Bytes, Plan.Bytes + Plan.BytesSize) };
}

static bool
PlanIs (const NVRAM_WRITE_PLAN &Plan, const PLAN_COPY &Copy)
{
  return (Plan.Count == Copy.Steps.size ()) && (Plan.BytesSize == Copy.Bytes.size ()) &&
         std::equal (Copy.Bytes.begin (), Copy.Bytes.end (), Plan.Bytes) &&
         std::equal (
             Copy.Steps.begin (), Copy.Steps.end (), Plan.Steps,
             [] (const NVRAM_WRITE &First, const NVRAM_WRITE &Second) {
               return (First.Offset == Second.Offset) && (First.Size == Second.Size) &&
                      (First.Data == Second.Data);
             });
}

/**
  Runs Operation, which tells whether it was refused, with the allocations
  failing from the first on, then the second, and so on, each refusal
  leaving Image and the plan as they were, until a run makes every
  allocation it asks for. Then checks that a run refused left them so too,
  and that the steps a run that went through added give Image when
  replayed on the bytes before it. Gives whether that run was refused.
**/
template <typename OPERATION>
static bool
Attempt (const BYTES &Image, const NVRAM_WRITE_PLAN &Plan, OPERATION Operation)
{
  const BYTES     Before = Image;
  const PLAN_COPY Kept   = CopyPlan (Plan);
  bool            Refused;

  for (UINTN Allowed = 0;; Allowed++) {
    NvramLimitAllocations (Allowed);
    Refused = Operation ();
    if (NvramLimitAllocations (NVRAM_ALL_ALLOCATIONS) == 0) {
      break;
    }

    CHECK (Refused && (Image == Before) && PlanIs (Plan, Kept));
  }

  CHECK (!Plan.Incomplete);
  if (Refused) {
    CHECK ((Image == Before) && PlanIs (Plan, Kept));
    return true;
  }

  BYTES Replayed = Before;

  for (UINTN Step = Kept.Steps.size (); Step < Plan.Count; Step++) {
    memcpy (
        &Replayed[Plan.Steps[Step].Offset], Plan.Bytes + Plan.Steps[Step].Data,
        Plan.Steps[Step].Size);
  }

  CHECK (Replayed == Image);
  return false;
}

///
/// The names a step may write besides the live ones: the store's usual
/// neighbours, and names no store holds.
///
static const struct {
  const UCS2_CHAR *Name;
  EFI_GUID         Guid;
} mNewNames[] = {
  { u"Brisvane",
    { 0x158DEF5A, 0xF656, 0x419C, { 0xB0, 0x27, 0x7A, 0x31, 0x92, 0xC0, 0x79, 0xD2 } } },
  { u"Boot0000",
    { 0x8BE4DF61, 0x93CA, 0x11D2, { 0xAA, 0x0D, 0x00, 0xE0, 0x98, 0x03, 0x2B, 0x8C } } },
  { u"X", { 0, 0, 0, { 0, 0, 0, 0, 0, 0, 0, 0 } } },
  { u"AVariableWithALongerNameThanMost", { 1, 2, 3, { 4, 5, 6, 7, 8, 9, 10, 11 } } },
};

// What the store writes, what the firmware refuses, and what only the firmware may write.
static const UINT32 mAttributes[] = { 0x3, 0x7, 0x1, 0x2, 0x5, 0x6, 0x23, 0x43, 0x27, 0x0B, 0x103 };

///
/// One write of a step, as the script spells it.
///
struct WRITE {
  std::u16string  Name;
  BYTES           NameBytes; ///< With its NUL, as a record holds it.
  EFI_GUID        Guid;
  UINT32          Attributes;
  BYTES           Value;
  const VARIABLE *Stored; ///< The live variable of that name, if any.
};

static WRITE
DecodeStep (const uint8_t *Step, const LIVE &Live)
{
  std::vector<const VARIABLE *> Callable;
  UINTN                         Which = Step[0] & 0x3F;
  UINTN                         Index = Step[1] & 0x0F;
  WRITE                         Write;

  for (const auto &Entry : Live) {
    if (!CallableName (Entry.second.Name).empty ()) {
      Callable.push_back (&Entry.second);
    }
  }

  if (Which < Callable.size ()) {
    Write.Name = CallableName (Callable[Which]->Name);
    Write.Guid = Callable[Which]->Guid;
  } else {
    Which      = (Which - Callable.size ()) % (sizeof (mNewNames) / sizeof (mNewNames[0]));
    Write.Name = mNewNames[Which].Name;
    Write.Guid = mNewNames[Which].Guid;
  }

  Write.NameBytes.resize ((Write.Name.size () + 1) * 2);
  memcpy (Write.NameBytes.data (), Write.Name.c_str (), Write.NameBytes.size ());
  auto Found   = Live.find (KeyOf (Write.NameBytes, Write.Guid));
  Write.Stored = (Found == Live.end ()) ? NULL : &Found->second;

  Write.Attributes = (Index < sizeof (mAttributes) / sizeof (mAttributes[0])) ? mAttributes[Index]
                     : (Write.Stored != NULL) ? Write.Stored->Attributes
                                              : 0x7;
  Write.Value.resize ((Step[2] | (Step[3] << 8)) % STORE_FUZZ_SIZE_RANGE);
  for (UINTN Byte = 0; Byte < Write.Value.size (); Byte++) {
    Write.Value[Byte] = (UINT8)((Step[1] >> 4) + Byte);
  }

  switch ((STORE_FUZZ_ACTION)(Step[0] >> 6)) {
  case StoreFuzzWrite:
    break;
  case StoreFuzzRewrite:
    if (Write.Stored != NULL) {
      Write.Value = Write.Stored->Data;
    }

    break;
  case StoreFuzzDelete:
    Write.Value.clear ();
    break;
  case StoreFuzzDeleteByAttributes:
    Write.Attributes = 0;
    break;
  }

  return Write;
}

/**
  Carries out one step and checks what it did; Live is the store's live
  variables before it, and after.
**/
static void
RunStep (NVRAM_STORE *Store, NVRAM_EDIT *Edit, BYTES &Image, LIVE &Live, const uint8_t *Step)
{
  const WRITE Write    = DecodeStep (Step, Live);
  const bool  Deletion = Write.Value.empty () || ((Write.Attributes & 0x6) == 0);
  const BYTES Before   = Image;
  const UINTN Free     = Store->FreeOffset;
  NVRAM_STORE Reopened;
  EFI_STATUS  Status;

  if (Attempt (Image, *Edit->Plan, [&] () {
        Status = NvramStoreSetVariable (
            Store, Write.Name.c_str (), &Write.Guid, Write.Attributes, Write.Value.size (),
            Write.Value.data (), Edit);
        return EFI_ERROR (Status);
      })) {
    CHECK (Store->FreeOffset == Free);
    CHECK ((Status != EFI_NOT_FOUND) || (Deletion && (Write.Stored == NULL)));
    return;
  }

  CHECK (Edit->Refusal.Reason == NvramNotRefused);
  CHECK (!Deletion || (Write.Stored != NULL));
  CHECK (OpenNvramStore (Image.data (), Image.size (), &Reopened) == NvramStoreValid);
  CHECK ((Reopened.FreeOffset == Store->FreeOffset) && (Reopened.StoreEnd == Store->StoreEnd));
  CHECK (std::equal (Image.begin (), Image.begin () + Store->FirstRecord, Before.begin ()));
  CHECK (std::equal (
      Image.begin () + Store->VolumeSize, Image.end (), Before.begin () + Store->VolumeSize));

  LIVE              After  = ReadLive (&Reopened);
  const std::string Target = KeyOf (Write.NameBytes, Write.Guid);

  for (const auto &Entry : Live) {
    auto Kept = After.find (Entry.first);

    if (Entry.first != Target) {
      CHECK (Kept != After.end ());
      CHECK (Kept->second.Attributes == Entry.second.Attributes);
      CHECK (Kept->second.Data == Entry.second.Data);
    }
  }

  CHECK (After.size () == Live.size () + !Deletion - (Write.Stored != NULL));
  if (Deletion) {
    UINTN Size = 0;

    CHECK (
        NvramStoreGetVariable (&Reopened, Write.Name.c_str (), &Write.Guid, NULL, &Size, NULL) ==
        EFI_NOT_FOUND);
  } else {
    CHECK (After.count (Target) == 1);
    CHECK (After[Target].Attributes == Write.Attributes);
    CHECK (After[Target].Data == Write.Value);
  }

  CheckReads (&Reopened, After);
  Live = After;
}

// Opens the store of Image after a recovery, and runs the script on it.
static void
RunScript (BYTES &Image, NVRAM_EDIT *Edit, const uint8_t *Script)
{
  NVRAM_STORE       Store;
  NVRAM_STORE_CHECK Check;

  if (Attempt (Image, *Edit->Plan, [&] () {
        Check = RecoverNvramStore (Image.data (), Image.size (), &Store, Edit);
        return Check != NvramStoreValid;
      })) {
    // A reason the front end has words for, at a place in the file.
    CHECK ((Check < NvramStoreCheckCount) && (Store.CheckOffset <= Image.size ()));
    return;
  }

  LIVE Live = ReadLive (&Store);

  CheckReads (&Store, Live);
  for (gStoreFuzzStep = 1; gStoreFuzzStep <= STORE_FUZZ_STEPS; gStoreFuzzStep++) {
    RunStep (&Store, Edit, Image, Live, Script + (gStoreFuzzStep - 1) * STORE_FUZZ_STEP_SIZE);
  }
}

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *Data, size_t Size)
{
  NVRAM_WRITE_PLAN Plan = {};
  NVRAM_EDIT       Edit = { &Plan, {} };

  if (Size < STORE_FUZZ_SCRIPT_SIZE) {
    return 0;
  }

  BYTES Image (Data + STORE_FUZZ_SCRIPT_SIZE, Data + Size);

  gStoreFuzzStep = 0;
  RunScript (Image, &Edit, Data);
  NvramFreeWritePlan (&Plan);
  return 0;
}

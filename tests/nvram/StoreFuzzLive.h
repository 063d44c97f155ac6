/** @file
  What the store fuzzer's files share: its invariant check, and the live
  variables of a store as a walk of its records finds them, apart from the
  library's own lookup.
**/

#ifndef STORE_FUZZ_LIVE_H_
#define STORE_FUZZ_LIVE_H_

#include "nvram/VariableStore.h"

#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <string>
#include <vector>

/// The step of the script being run, 0 while the file is opened.
extern int gStoreFuzzStep;

#define CHECK(Condition)                                                                           \
  do {                                                                                             \
    if (!(Condition)) {                                                                            \
      fprintf (                                                                                    \
          stderr, "invariant broken (%s line %d, step %d): %s\n", __FILE__, __LINE__,              \
          gStoreFuzzStep, #Condition);                                                             \
      abort ();                                                                                    \
    }                                                                                              \
  } while (0)

typedef std::vector<UINT8> BYTES;

///
/// A live variable as the walk finds it.
///
struct VARIABLE {
  BYTES    Name; ///< NameSize bytes, as stored.
  EFI_GUID Guid;
  UINT32   Attributes;
  BYTES    Data;
  bool     Added; ///< Its record is added, not in transition to deletion.
};

///
/// The live variables by GUID and name.
///
typedef std::map<std::string, VARIABLE> LIVE;

/**
  The key of a variable in LIVE: its GUID, then its name as stored.
**/
std::string KeyOf (const BYTES &Name, const EFI_GUID &Guid);

/**
  The stored name as the string a caller passes, or empty when no caller
  can name it.
**/
std::u16string CallableName (const BYTES &Name);

/**
  The live variables as the variable driver's walk of the records finds
  them; the walk must end where the store says its records end.
**/
LIVE ReadLive (const NVRAM_STORE *Store);

/**
  Checks that every live variable a caller can name reads back through the
  library as the walk found it, whole or not at all.
**/
void CheckReads (const NVRAM_STORE *Store, const LIVE &Live);

#endif

/** @file
  A reading of an NVRAM file written apart from the store library, from EDK
  II's rules alone, for the cut simulator to hold the library's reading
  against: what the firmware reads after its next boot.
**/

#ifndef CUT_READER_H_
#define CUT_READER_H_

#include "tests/support/NvramImage.h"

#include <map>
#include <string>

///
/// A variable by its name (UCS-2, NUL included) and vendor GUID.
///
typedef std::pair<BYTES, BYTES> CUT_KEY;

///
/// Every variable the firmware reads, by key, to its attributes and data.
///
typedef std::map<CUT_KEY, std::pair<UINT32, BYTES>> CUT_VARIABLES;

/**
  Reads Image as the firmware does after its next boot: the fault-tolerant
  write driver first completes a write whose new blocks reached the spare
  area (InitFtwProtocol, FtwRestart), restoring a working block caught
  being rewritten; then the variable driver walks the records
  (InitNonVolatileVariableStore), reclaims the store when bytes after the
  last one are not erased (VariableWriteServiceInitialize, Reclaim), and
  each lookup (FindVariableEx) takes the first added record, else the first
  record in transition after a reclaim or the last one without it.

  @param[in]  File       The file.
  @param[out] Variables  Receives every variable read.

  @return An empty string, or why the file is no store the firmware reads.
**/
std::string ReadAsFirmware (const BYTES &File, CUT_VARIABLES *Variables);

/**
  The key of a variable named Name (without its NUL) with Guid.
**/
CUT_KEY
CutKey (const std::u16string &Name, const EFI_GUID &Guid);

#endif

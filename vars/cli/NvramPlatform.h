/** @file
  The platform operations on Linux, over the variable store of an NVRAM file
  held in memory: GetVariable and SetVariable act on the store, Print writes
  UTF-8 with plain line ends to a stream, the shell's error lines to another,
  pool memory is the C heap, and
  LocateProtocol gives a Unicode Collation that lower-cases as the
  firmware's English collation does. There are no handles, so OpenProtocol
  and CloseProtocol answer EFI_UNSUPPORTED.
**/

#ifndef NVRAM_PLATFORM_H_
#define NVRAM_PLATFORM_H_

#include "nvram/VariableStore.h"

#include <stdio.h>

/**
  Points the platform operations at a store, the edit that SetVariable
  makes of it, and the streams of Print until the next call.

  @param[in] Store    The opened store; NULL makes the variable services
                      answer EFI_NOT_READY.
  @param[in] Edit     Receives SetVariable's writes and refusals; may be NULL.
  @param[in] Console  Where Print writes; NULL means standard output.
  @param[in] Errors   Where Print writes a line whose format begins as the
                      shell's error lines do ("ERROR: "), which on Linux is
                      an error message; NULL means standard error.
**/
VOID NvramPlatformAttach (NVRAM_STORE *Store, NVRAM_EDIT *Edit, FILE *Console, FILE *Errors);

#endif

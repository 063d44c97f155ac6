/** @file
  Opening an NVRAM file's variable store, with the checks that the
  firmware's flash, fault-tolerant write and variable drivers make of it when
  they start (FvbInitialize, InitFtwProtocol, InitNonVolatileVariableStore).
**/

#include "nvram/FtwInternal.h"
#include "nvram/StoreChecks.h"
#include "nvram/VariableParsing.h"

// The volume and store checks of InitRealNonVolatileVariableStore, those of the drivers it
// relies on, and the record walk of InitNonVolatileVariableStore.
NVRAM_STORE_CHECK
OpenNvramStore (UINT8 *Image, UINTN ImageSize, NVRAM_STORE *Store)
{
  NVRAM_FV_HEADER   Volume;
  NVRAM_STORE_CHECK Check;

  memset (Store, 0, sizeof (*Store));
  Store->Image     = Image;
  Store->ImageSize = ImageSize;
  Check            = NvramCheckVolumeHeader (Store, &Volume);
  if (Check == NvramStoreValid) {
    Check = NvramCheckStoreHeader (Store, &Volume);
  }

  // A write in progress explains a damaged-looking store better than the records can.
  if (Check == NvramStoreValid) {
    Check = NvramCheckWorkingBlock (Store);
  }

  if (Check == NvramStoreValid) {
    Check = NvramCheckRecords (Store);
  }

  return Check;
}

/** @file
  The checks of the firmware volume header and the variable store header
  that open a store (StoreChecks.cpp).
**/

#ifndef NVRAM_STORE_CHECKS_H_
#define NVRAM_STORE_CHECKS_H_

#include "nvram/StoreOpen.h"
#include "nvram/VariableStoreFormat.h"

/**
  Checks the firmware volume header, its block map and the padding after
  the volume, and sets the store's VolumeSize.

  @param[in, out] Store   The store being opened: Image and ImageSize set.
  @param[out]     Volume  Receives the volume header.
**/
NVRAM_STORE_CHECK
NvramCheckVolumeHeader (NVRAM_STORE *Store, NVRAM_FV_HEADER *Volume);

/**
  Checks the variable store header that follows the volume header, and sets
  the store's StoreBase, FirstRecord and StoreEnd, then its MaxVariableSize
  and Layout from the layout of the file: its volume length and the bounds
  of its store.
**/
NVRAM_STORE_CHECK
NvramCheckStoreHeader (NVRAM_STORE *Store, const NVRAM_FV_HEADER *Volume);

#endif

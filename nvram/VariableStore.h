/** @file
  The variable store of an OVMF NVRAM file, edited in memory the way EDK II's
  variable driver edits it on flash: a lookup finds the live record, a write
  appends a new record and retires the old one, a deletion retires it, and a
  write that does not fit compacts the store first.

  Nothing here touches the file itself: the caller reads the whole file into
  a buffer and opens the store over it. Every edit is made to the buffer
  and, when the caller passes an edit (NVRAM_EDIT) with a plan, also
  recorded in that write plan: the writes the firmware would make on
  flash, in its order, with the flushes that keep a file interrupted
  between any two of them readable as before or after the edit. The caller
  replays the plan on the file itself.

  An operation either succeeds whole or is refused. A refused one leaves
  the buffer, the opened store, and the steps and bytes of the edit's plan
  as they were (the plan may keep more room): everything an edit can fail
  on, memory included (the plan's room for its writes, the compaction's
  buffer), is checked before its first write; the one check that can only
  follow writes, that of the store a recovery leaves, takes them back.
**/

#ifndef VARIABLE_STORE_H_
#define VARIABLE_STORE_H_

#include "nvram/BlockMap.h"
#include "nvram/StoreOpen.h"
#include "nvram/WritePlan.h"

/**
  Tells whether a variable with a name of NameSize bytes (with its NUL) and
  DataSize bytes of data passes the store's MaxVariableSize, and notes the
  outcome in Edit->Refusal.

  @param[in]      Store     The opened store.
  @param[in]      NameSize  The name's size in bytes.
  @param[in]      DataSize  The value's size in bytes.
  @param[in, out] Edit      Its Refusal receives the outcome; may be NULL.

  @retval TRUE   Too large: the firmware would refuse the variable.
  @retval FALSE  It fits the limit.
**/
BOOLEAN
NvramStoreRefusesSize (const NVRAM_STORE *Store, UINTN NameSize, UINTN DataSize, NVRAM_EDIT *Edit);

/**
  Reads a variable, as the firmware's GetVariable does.

  @param[in]      Store         The opened store.
  @param[in]      VariableName  The name.
  @param[in]      VendorGuid    The vendor GUID.
  @param[out]     Attributes    Receives the attributes; may be NULL.
  @param[in, out] DataSize      The size of Data; receives the value's size.
  @param[out]     Data          Receives the value.

  @retval EFI_SUCCESS            The value is in Data.
  @retval EFI_NOT_FOUND          No live record has this name and GUID.
  @retval EFI_BUFFER_TOO_SMALL   DataSize is smaller than the value.
  @retval EFI_INVALID_PARAMETER  A required pointer is NULL.
**/
EFI_STATUS
NvramStoreGetVariable (
    const NVRAM_STORE *Store,
    const UCS2_CHAR   *VariableName,
    const EFI_GUID    *VendorGuid,
    UINT32            *Attributes,
    UINTN             *DataSize,
    VOID              *Data);

/**
  Writes or deletes a variable, as the firmware's SetVariable does for a
  non-volatile variable without authentication: a new record is appended and
  the old one marked deleted; a DataSize of 0, or attributes without any
  access, delete; when the free space is too small, or not erased, the
  store is compacted to its live records through the fault-tolerant write
  areas, the new record last.

  @param[in, out] Store         The opened store; its buffer is changed on
                                success only.
  @param[in]      VariableName  The name.
  @param[in]      VendorGuid    The vendor GUID.
  @param[in]      Attributes    Non-volatile and boot-service access, with or
                                without runtime access, or 0 to delete.
  @param[in]      DataSize      The size of Data in bytes.
  @param[in]      Data          The value.
  @param[in, out] Edit          Its plan receives the writes, on success
                                only; its Refusal says why a write was
                                refused. NULL, the default, when neither
                                is wanted, as by a caller without a file.

  @retval EFI_SUCCESS            Written, deleted, or already held this value.
  @retval EFI_NOT_FOUND          A deletion of a variable that does not exist.
  @retval EFI_INVALID_PARAMETER  A bad argument, attributes that differ from
                                 the stored variable's, or a variable larger
                                 than the firmware allows.
  @retval EFI_UNSUPPORTED        Volatile, authenticated, hardware error
                                 record or append writes, which need the
                                 firmware itself.
  @retval EFI_OUT_OF_RESOURCES   The store is full even when compacted, the
                                 file has no spare area to compact it through,
                                 or no memory for the compaction or the plan.
**/
EFI_STATUS
NvramStoreSetVariable (
    NVRAM_STORE     *Store,
    const UCS2_CHAR *VariableName,
    const EFI_GUID  *VendorGuid,
    UINT32           Attributes,
    UINTN            DataSize,
    const VOID      *Data,
    NVRAM_EDIT      *Edit = NULL);

#endif

/** @file
  Reading, writing and deleting a variable, as the variable driver's
  Variable.c does it for a non-volatile variable without authentication.
**/

#include "nvram/Reclaim.h"
#include "nvram/VariableStore.h"

#define NVRAM_VARIABLE_ATTRIBUTES                                                                  \
  (EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS)
#define NVRAM_KNOWN_ATTRIBUTES                                                                     \
  (NVRAM_VARIABLE_ATTRIBUTES | EFI_VARIABLE_HARDWARE_ERROR_RECORD |                                \
   EFI_VARIABLE_AUTHENTICATED_WRITE_ACCESS | EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS |  \
   EFI_VARIABLE_APPEND_WRITE)

// StrSize: the size of a string in bytes, its NUL included.
static UINTN
StrSizeOf (const UCS2_CHAR *String)
{
  UINTN Length;

  for (Length = 0; String[Length] != 0; Length++) {
  }

  return (Length + 1) * sizeof (UCS2_CHAR);
}

static const UINT8 *
RecordData (const NVRAM_STORE *Store, const NVRAM_RECORD *Record)
{
  return Store->Image + Record->Offset + NVRAM_RECORD_HEADER_SIZE + Record->NameSize;
}

// UpdateVariable's deletion: the variable's other records, then its live one, marked deleted.
static EFI_STATUS
DeleteRecords (NVRAM_STORE *Store, NVRAM_WRITE_PLAN *Plan, const NVRAM_LOOKUP *Lookup)
{
  if (!Lookup->Found) {
    return EFI_NOT_FOUND;
  }

  // The retirals and a flush.
  if (!NvramReserveRoom (
          Plan, { NvramRetireRoom (Lookup).Steps + 1, NvramRetireRoom (Lookup).Bytes })) {
    return EFI_OUT_OF_RESOURCES;
  }

  NvramRetireRecords (Store, Plan, Lookup, NVRAM_VAR_DELETED);
  NvramFlushWrites (Plan);
  return EFI_SUCCESS;
}

/**
  UpdateVariable's steps for a record that fits in the free space: the
  variable's other records retired and the live one marked in transition
  (NvramRetireRecords); the new record's name and data, then, once they are
  on the disk, its header with State still erased, as the driver's first
  step writes it; the record marked added; the old record deleted. A header
  torn anywhere reads as a bare header (NameSizeOfVariable answers 0), and
  one that lands whole is followed by its name, not by erased bytes after
  which the next write would be appended where readers that follow its
  sizes miss it. Until the new record is added the old one is read, in
  transition or not, and after that the new one, by this code and by the
  driver's boot-time Reclaim alike; each flush keeps a write from reaching
  the disk before what it relies on, and the last leaves nothing in
  transition for the next edit.
**/
static EFI_STATUS
AppendRecord (
    NVRAM_STORE            *Store,
    NVRAM_WRITE_PLAN       *Plan,
    const NVRAM_LOOKUP     *Lookup,
    const NVRAM_NEW_RECORD *New)
{
  UINTN                 At     = Store->FreeOffset;
  NVRAM_VARIABLE_HEADER Header = NvramNewRecordHeader (New, NVRAM_ERASED_BYTE);
  NVRAM_ROOM            Retire = NvramRetireRoom (Lookup);
  // The record's three writes and two flushes, its mark and a flush, the old record's and a flush.
  NVRAM_ROOM Room = { Retire.Steps + 9,
                      Retire.Bytes + 2 + sizeof (Header) + New->NameSize + New->DataSize };

  if (!NvramReserveRoom (Plan, Room)) {
    return EFI_OUT_OF_RESOURCES;
  }

  NvramRetireRecords (Store, Plan, Lookup, NVRAM_VAR_IN_DELETED_TRANSITION);
  NvramWriteBytes (Store, Plan, At + sizeof (Header), New->Name, New->NameSize);
  NvramWriteBytes (Store, Plan, At + sizeof (Header) + New->NameSize, New->Data, New->DataSize);
  NvramFlushWrites (Plan);
  NvramWriteBytes (Store, Plan, At, &Header, sizeof (Header));
  NvramFlushWrites (Plan);
  NvramMarkRecord (Store, Plan, At, NVRAM_VAR_ADDED);
  Store->FreeOffset = AlignRecord (At + sizeof (Header) + New->NameSize + New->DataSize);
  if (Lookup->Found) {
    NvramMarkRecord (Store, Plan, Lookup->Live.Offset, NVRAM_VAR_DELETED);
  }

  return EFI_SUCCESS;
}

// VariableServiceGetVariable.
EFI_STATUS
NvramStoreGetVariable (
    const NVRAM_STORE *Store,
    const UCS2_CHAR   *VariableName,
    const EFI_GUID    *VendorGuid,
    UINT32            *Attributes,
    UINTN             *DataSize,
    VOID              *Data)
{
  NVRAM_LOOKUP Lookup;

  if ((VariableName == NULL) || (VendorGuid == NULL) || (DataSize == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  if (VariableName[0] == 0) {
    return EFI_NOT_FOUND;
  }

  NvramFindRecord (Store, VariableName, StrSizeOf (VariableName), VendorGuid, &Lookup);
  if (!Lookup.Found) {
    return EFI_NOT_FOUND;
  }

  if (*DataSize >= Lookup.Live.DataSize) {
    if (Data == NULL) {
      return EFI_INVALID_PARAMETER;
    }

    memcpy (Data, RecordData (Store, &Lookup.Live), Lookup.Live.DataSize);
  }

  if (Attributes != NULL) {
    *Attributes = Lookup.Live.Attributes;
  }

  if (*DataSize < Lookup.Live.DataSize) {
    *DataSize = Lookup.Live.DataSize;
    return EFI_BUFFER_TOO_SMALL;
  }

  *DataSize = Lookup.Live.DataSize;
  return EFI_SUCCESS;
}

BOOLEAN
NvramStoreRefusesSize (const NVRAM_STORE *Store, UINTN NameSize, UINTN DataSize, NVRAM_EDIT *Edit)
{
  UINTN Needed = NVRAM_RECORD_HEADER_SIZE + NameSize;

  Needed = (DataSize > (UINTN)-1 - Needed) ? (UINTN)-1 : Needed + DataSize;
  if (Needed <= Store->MaxVariableSize) {
    NvramNoteRefusal (Edit, { NvramNotRefused, 0, 0, 0 });
    return FALSE;
  }

  NvramNoteRefusal (Edit, { NvramRefusedTooLarge, 0, Needed, Store->MaxVariableSize });
  return TRUE;
}

/**
  The parameter checks of VariableServiceSetVariable but the size, less those
  of the kinds of write that this store does not make.
**/
static EFI_STATUS
CheckSetParameters (
    const UCS2_CHAR *VariableName,
    const EFI_GUID  *VendorGuid,
    UINT32           Attributes,
    UINTN            DataSize,
    const VOID      *Data)
{
  if ((VariableName == NULL) || (VariableName[0] == 0) || (VendorGuid == NULL) ||
      ((DataSize != 0) && (Data == NULL)) || ((Attributes & ~NVRAM_KNOWN_ATTRIBUTES) != 0) ||
      ((Attributes & (EFI_VARIABLE_RUNTIME_ACCESS | EFI_VARIABLE_BOOTSERVICE_ACCESS)) ==
       EFI_VARIABLE_RUNTIME_ACCESS) ||
      (Attributes == EFI_VARIABLE_NON_VOLATILE)) {
    return EFI_INVALID_PARAMETER;
  }

  if (((Attributes & ~NVRAM_VARIABLE_ATTRIBUTES) != 0) ||
      ((Attributes != 0) && ((Attributes & EFI_VARIABLE_NON_VOLATILE) == 0))) {
    return EFI_UNSUPPORTED;
  }

  return EFI_SUCCESS;
}

/**
  VariableServiceSetVariable, then UpdateVariable: a deletion marks the
  record deleted; an unchanged value is left alone; a new value is appended,
  or written by Reclaim when it does not fit or the free space is not
  erased, and the old record retired. Nothing is written before the room
  for every write is reserved.
**/
EFI_STATUS
NvramStoreSetVariable (
    NVRAM_STORE     *Store,
    const UCS2_CHAR *VariableName,
    const EFI_GUID  *VendorGuid,
    UINT32           Attributes,
    UINTN            DataSize,
    const VOID      *Data,
    NVRAM_EDIT      *Edit)
{
  NVRAM_WRITE_PLAN *Plan = (Edit != NULL) ? Edit->Plan : NULL;
  EFI_STATUS        Status;
  NVRAM_LOOKUP      Lookup;
  NVRAM_NEW_RECORD  New;

  NvramNoteRefusal (Edit, { NvramNotRefused, 0, 0, 0 });
  Status = CheckSetParameters (VariableName, VendorGuid, Attributes, DataSize, Data);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  New = { VariableName, StrSizeOf (VariableName), VendorGuid, Attributes, Data, DataSize };
  if (NvramStoreRefusesSize (Store, New.NameSize, DataSize, Edit)) {
    return EFI_INVALID_PARAMETER;
  }

  NvramFindRecord (Store, VariableName, New.NameSize, VendorGuid, &Lookup);
  if (Lookup.Found && (Attributes != 0) && (Attributes != Lookup.Live.Attributes)) {
    NvramNoteRefusal (Edit, { NvramRefusedAttributes, Lookup.Live.Attributes, 0, 0 });
    return EFI_INVALID_PARAMETER;
  }

  if ((DataSize == 0) ||
      ((Attributes & (EFI_VARIABLE_RUNTIME_ACCESS | EFI_VARIABLE_BOOTSERVICE_ACCESS)) == 0)) {
    return DeleteRecords (Store, Plan, &Lookup);
  }

  if (Lookup.Found && (Lookup.Live.DataSize == DataSize) &&
      (memcmp (RecordData (Store, &Lookup.Live), Data, DataSize) == 0)) {
    return EFI_SUCCESS;
  }

  if (!Store->FreeSpaceErased ||
      (NVRAM_RECORD_HEADER_SIZE + New.NameSize + DataSize > Store->StoreEnd - Store->FreeOffset)) {
    return NvramReclaim (Store, &Lookup, &New, Edit);
  }

  return AppendRecord (Store, Plan, &Lookup, &New);
}

/** @file
  Reading, writing and deleting a variable, as the variable driver's
  Variable.c does it for a non-volatile variable without authentication.
**/

#include "varstore/VariableStoreInternal.h"

// PcdMaxVariableSize of OVMF's 2 MB builds, the smallest it is built with, so
// that every OVMF build would have accepted a variable written here.
#define NVRAM_MAX_VARIABLE_SIZE 0x2000

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

/**
  Retires the records a lookup found, as UpdateVariable does. Flash can only
  clear bits, so a state changes by masking: a record in transition becomes
  deleted, and the live one takes LiveMask.
**/
static VOID
RetireRecords (NVRAM_STORE *Store, const NVRAM_LOOKUP *Lookup, UINT8 LiveMask)
{
  if (Lookup->HasInDeleted) {
    Store->Image[Lookup->InDeleted.Offset + NVRAM_RECORD_STATE_OFFSET] &= NVRAM_VAR_DELETED;
  }

  Store->Image[Lookup->Live.Offset + NVRAM_RECORD_STATE_OFFSET] &= LiveMask;
}

// UpdateVariable's layout of a new record.
VOID
NvramWriteRecord (UINT8 *At, const NVRAM_NEW_RECORD *New)
{
  NVRAM_VARIABLE_HEADER Header;

  memset (&Header, 0, sizeof (Header));
  Header.StartId    = NVRAM_VARIABLE_DATA;
  Header.State      = NVRAM_VAR_ADDED;
  Header.Attributes = New->Attributes;
  Header.NameSize   = (UINT32)New->NameSize;
  Header.DataSize   = (UINT32)New->DataSize;
  Header.VendorGuid = *New->VendorGuid;
  memcpy (At, &Header, sizeof (Header));
  memcpy (At + sizeof (Header), New->Name, New->NameSize);
  memcpy (At + sizeof (Header) + New->NameSize, New->Data, New->DataSize);
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

/**
  The parameter checks of VariableServiceSetVariable, less those of the kinds
  of write that this store does not make.
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

  if ((DataSize > NVRAM_MAX_VARIABLE_SIZE) ||
      (StrSizeOf (VariableName) + DataSize > NVRAM_MAX_VARIABLE_SIZE - NVRAM_RECORD_HEADER_SIZE)) {
    return EFI_INVALID_PARAMETER;
  }

  return EFI_SUCCESS;
}

/**
  VariableServiceSetVariable, then UpdateVariable: a deletion marks the
  record deleted; an unchanged value is left alone; a new value is appended,
  or written by Reclaim when it does not fit, and the old record retired.
**/
EFI_STATUS
NvramStoreSetVariable (
    NVRAM_STORE     *Store,
    const UCS2_CHAR *VariableName,
    const EFI_GUID  *VendorGuid,
    UINT32           Attributes,
    UINTN            DataSize,
    const VOID      *Data)
{
  EFI_STATUS       Status;
  NVRAM_LOOKUP     Lookup;
  NVRAM_NEW_RECORD New;
  UINTN            RecordSize;

  Status = CheckSetParameters (VariableName, VendorGuid, Attributes, DataSize, Data);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  New = { VariableName, StrSizeOf (VariableName), VendorGuid, Attributes, Data, DataSize };
  NvramFindRecord (Store, VariableName, New.NameSize, VendorGuid, &Lookup);
  if (Lookup.Found && (Attributes != 0) && (Attributes != Lookup.Live.Attributes)) {
    return EFI_INVALID_PARAMETER;
  }

  if ((DataSize == 0) ||
      ((Attributes & (EFI_VARIABLE_RUNTIME_ACCESS | EFI_VARIABLE_BOOTSERVICE_ACCESS)) == 0)) {
    if (!Lookup.Found) {
      return EFI_NOT_FOUND;
    }

    RetireRecords (Store, &Lookup, NVRAM_VAR_DELETED);
    return EFI_SUCCESS;
  }

  if (Lookup.Found && (Lookup.Live.DataSize == DataSize) &&
      (memcmp (RecordData (Store, &Lookup.Live), Data, DataSize) == 0)) {
    return EFI_SUCCESS;
  }

  RecordSize = NVRAM_RECORD_HEADER_SIZE + New.NameSize + DataSize;
  if (RecordSize > Store->StoreEnd - Store->FreeOffset) {
    return NvramReclaim (Store, &Lookup, &New);
  }

  NvramWriteRecord (Store->Image + Store->FreeOffset, &New);
  Store->FreeOffset = AlignRecord (Store->FreeOffset + RecordSize);
  // The firmware marks the old record in transition before the append and deleted after it.
  if (Lookup.Found) {
    RetireRecords (Store, &Lookup, NVRAM_VAR_IN_DELETED_TRANSITION & NVRAM_VAR_DELETED);
  }

  return EFI_SUCCESS;
}

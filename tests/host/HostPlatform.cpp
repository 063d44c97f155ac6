/** @file
  The platform operations on the host, over a machine that keeps its state
  in this file and answers as EDK II's DXE core, variable driver (through
  the store library), English Unicode Collation driver, BaseLib and UefiLib
  do.
**/

#include "HostMachine.h"

#include "platform/host/FirmwareRoutines.h"

#include <stdio.h>
#include <stdlib.h>

using namespace HostPlatform;

// The store region of OVMF's 2 MB variable file.
#define HOST_STORE_REGION_SIZE 0xE000

static void
AbortOnMisuse (const char *Message)
{
  fprintf (stderr, "host platform misuse: %s\n", Message);
  abort ();
}

HOST_MACHINE Machine;

// Outside the machine, so that each Reset copies into the same buffer.
static BYTES Image;

// Counts the call and tells whether a fault was armed for it.
bool
Faulted (Operation Op, EFI_STATUS *Status)
{
  UINTN Number = ++Machine.Calls[static_cast<int> (Op)];

  for (const FAULT &Fault : Machine.Faults) {
    if ((Fault.Op == Op) && (Fault.CallNumber == Number)) {
      *Status = Fault.Status;
      return true;
    }
  }

  return false;
}

// A fresh store is built and checked once; each Reset takes a copy.
static void
OpenFreshStore (VOID)
{
  static BYTES       Fresh = BuildImage (HOST_STORE_REGION_SIZE, {});
  static NVRAM_STORE Store;
  static bool Opened = OpenNvramStore (Fresh.data (), Fresh.size (), &Store) == NvramStoreValid;

  if (!Opened) {
    Machine.Misuse ("the host's variable store is not valid");
  }

  Image               = Fresh;
  Machine.Store       = Store;
  Machine.Store.Image = Image.data ();
}

void
HostPlatform::Reset (VOID)
{
  for (auto &Buffer : Machine.Pool) {
    free (Buffer.first);
  }

  void (*Misuse) (const char *) = Machine.Misuse;

  Machine        = HOST_MACHINE ();
  Machine.Misuse = (Misuse != NULL) ? Misuse : AbortOnMisuse;
  OpenFreshStore ();
}

void
HostPlatform::SetMisuseHandler (void (*Handler) (const char *Message))
{
  Machine.Misuse = (Handler != NULL) ? Handler : AbortOnMisuse;
}

void
HostPlatform::FailCall (Operation Op, UINTN CallNumber, EFI_STATUS Status)
{
  if ((Op == Operation::StrLwr) || (Op == Operation::FreePool)) {
    Machine.Misuse ("FailCall: this operation cannot fail");
    return;
  }

  Machine.Faults.push_back ({ Op, CallNumber, Status });
}

void
HostPlatform::FailNextCall (Operation Op, EFI_STATUS Status)
{
  FailCall (Op, CallCount (Op) + 1, Status);
}

UINTN
HostPlatform::CallCount (Operation Op)
{
  return Machine.Calls[static_cast<int> (Op)];
}

const char *
HostPlatform::OperationName (Operation Op)
{
  static const char *const Names[] = { "OpenProtocol", "CloseProtocol",    "LocateProtocol",
                                       "StrLwr",       "AllocateZeroPool", "FreePool",
                                       "GetVariable",  "SetVariable",      "Print" };

  return Names[static_cast<int> (Op)];
}

void
HostPlatform::SeedVariable (
    const std::u16string &Name,
    const EFI_GUID       &Guid,
    UINT32                Attributes,
    const BYTES          &Data)
{
  const RECORD Record = { Name, Guid, Attributes, Data };

  if (RecordSpan (Record) > Machine.Store.StoreEnd - Machine.Store.FreeOffset) {
    Machine.Misuse ("SeedVariable: the store is full");
    return;
  }

  Machine.Store.FreeOffset = PutRecord (Image, Machine.Store.FreeOffset, Record);
}

const VARIABLE *
HostPlatform::FindVariable (const std::u16string &Name, const EFI_GUID &Guid)
{
  VARIABLE  &Found    = Machine.Found;
  UINTN      DataSize = 0;
  EFI_STATUS Status;

  Found.Data.assign (1, 0);
  Status = NvramStoreGetVariable (
      &Machine.Store, Name.c_str (), &Guid, &Found.Attributes, &DataSize, Found.Data.data ());
  if (Status == EFI_BUFFER_TOO_SMALL) {
    Found.Data.resize (DataSize);
    Status = NvramStoreGetVariable (
        &Machine.Store, Name.c_str (), &Guid, NULL, &DataSize, Found.Data.data ());
  }

  Found.Data.resize (DataSize);
  return (Status == EFI_SUCCESS) ? &Found : NULL;
}

const HOST_RECORDS &
HostPlatform::Records (VOID)
{
  return Machine.Records;
}

std::u16string
HostPlatform::ConsoleText (VOID)
{
  std::u16string Text;

  for (const std::u16string &Write : Machine.Records.ConsoleWrites) {
    Text += Write;
  }

  return Text;
}

UINTN
HostPlatform::LiveBuffers (VOID)
{
  return Machine.Pool.size ();
}

VOID
Platform::StrLwr (VOID *Collation, UCS2_CHAR *String)
{
  ++Machine.Calls[static_cast<int> (Operation::StrLwr)];
  if (Collation != &Machine.Collation) {
    Machine.Misuse ("StrLwr: not the interface that LocateProtocol gave");
    return;
  }

  for (; *String != 0; String++) {
    *String = FirmwareRoutines::EnglishLower (*String);
  }
}

VOID *
Platform::AllocateZeroPool (UINTN AllocationSize)
{
  EFI_STATUS Status;

  Machine.Records.AllocationSizes.push_back (AllocationSize);
  if (Faulted (Operation::AllocateZeroPool, &Status)) {
    return NULL;
  }

  // Exactly the size asked for, so that AddressSanitizer sees the first byte past it.
  VOID *Buffer = malloc (AllocationSize);

  memset (Buffer, 0, AllocationSize);
  Machine.Pool[Buffer] = AllocationSize;
  return Buffer;
}

VOID
Platform::FreePool (VOID *Buffer)
{
  ++Machine.Calls[static_cast<int> (Operation::FreePool)];
  if (Machine.Pool.erase (Buffer) == 0) {
    Machine.Misuse ("FreePool: not a buffer from AllocateZeroPool, or freed twice");
    return;
  }

  free (Buffer);
}

EFI_STATUS
Platform::GetVariable (
    const UCS2_CHAR *VariableName,
    const EFI_GUID  *VendorGuid,
    UINT32          *Attributes,
    UINTN           *DataSize,
    VOID            *Data)
{
  EFI_STATUS Status;

  if ((VariableName == NULL) || (VendorGuid == NULL) || (DataSize == NULL)) {
    Machine.Misuse ("GetVariable: no name, GUID or DataSize");
    return EFI_INVALID_PARAMETER;
  }

  Machine.Records.GetVariableCalls.push_back (
      { VariableName, *VendorGuid, Attributes == NULL, *DataSize });
  if (Faulted (Operation::GetVariable, &Status)) {
    return Status;
  }

  return NvramStoreGetVariable (
      &Machine.Store, VariableName, VendorGuid, Attributes, DataSize, Data);
}

EFI_STATUS
Platform::SetVariable (
    const UCS2_CHAR *VariableName,
    const EFI_GUID  *VendorGuid,
    UINT32           Attributes,
    UINTN            DataSize,
    const VOID      *Data)
{
  EFI_STATUS   Status;
  const UINT8 *Bytes = static_cast<const UINT8 *> (Data);

  if ((VariableName == NULL) || (VendorGuid == NULL)) {
    Machine.Misuse ("SetVariable: no name or GUID");
    return EFI_INVALID_PARAMETER;
  }

  if (!Faulted (Operation::SetVariable, &Status)) {
    Status = NvramStoreSetVariable (
        &Machine.Store, VariableName, VendorGuid, Attributes, DataSize, Data);
  }

  Machine.Records.SetVariableCalls.push_back (
      { VariableName, *VendorGuid, Attributes, DataSize, Data == NULL,
        (Bytes == NULL) ? BYTES () : BYTES (Bytes, Bytes + DataSize), Status });
  return Status;
}

INTN
Platform::StrCmp (const UCS2_CHAR *FirstString, const UCS2_CHAR *SecondString)
{
  return FirmwareRoutines::StrCmp (FirstString, SecondString);
}

EFI_STATUS
Platform::StrCat (UCS2_CHAR *Destination, UINTN DestMax, const UCS2_CHAR *Source)
{
  return FirmwareRoutines::StrCatS (Destination, DestMax, Source);
}

static VOID
PrintLikeUefiLib (const UCS2_CHAR *Format, const UCS2_CHAR *Argument, BOOLEAN HasArgument)
{
  std::u16string Text;
  EFI_STATUS     Status;

  if (!FirmwareRoutines::FormatLikePrint (Format, Argument, HasArgument, &Text)) {
    Machine.Misuse ("Print: a directive without its argument, or one not modelled");
  }

  // UefiLib writes nothing for empty text; a failing OutputString shows nothing.
  if (!Faulted (Operation::Print, &Status) && !Text.empty ()) {
    Machine.Records.ConsoleWrites.push_back (Text);
  }
}

VOID
Platform::Print (const UCS2_CHAR *Format)
{
  PrintLikeUefiLib (Format, NULL, FALSE);
}

VOID
Platform::Print (const UCS2_CHAR *Format, const UCS2_CHAR *String)
{
  PrintLikeUefiLib (Format, String, TRUE);
}

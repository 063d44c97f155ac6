/** @file
  A host stand-in for what lies behind the platform operations: variables
  that the store library keeps in an NVRAM image in memory, a console, pool
  memory, Unicode Collation and the shell protocols on one image handle,
  each answering as EDK II's firmware answers, plus the controls that tests
  use to set the machine up, break it and look inside.

  Every operation counts its calls from the last Reset, and any call of an
  operation that returns a status (or a buffer) can be made to fail.
**/

#ifndef HOST_PLATFORM_H_
#define HOST_PLATFORM_H_

#include "platform/Platform.h"
#include "tests/support/NvramImage.h"

#include <string>
#include <vector>

namespace HostPlatform {
enum class Operation {
  OpenProtocol,
  CloseProtocol,
  LocateProtocol,
  StrLwr,
  AllocateZeroPool,
  FreePool,
  GetVariable,
  SetVariable,
  Print,
  Count
};

struct VARIABLE {
  UINT32 Attributes;
  BYTES  Data;
};

struct SET_VARIABLE_CALL {
  std::u16string Name;
  EFI_GUID       Guid;
  UINT32         Attributes;
  UINTN          DataSize;
  bool           DataIsNull;
  BYTES          Data;
  EFI_STATUS     Status;
};

struct GET_VARIABLE_CALL {
  std::u16string Name;
  EFI_GUID       Guid;
  bool           AttributesIsNull;
  UINTN          DataSize;
};

struct PROTOCOL_CALL {
  bool       IsOpen;
  EFI_HANDLE Handle;
  EFI_GUID   Guid;
  EFI_HANDLE AgentHandle;
  EFI_HANDLE ControllerHandle;
  EFI_STATUS Status;
};

/**
  Back to a fresh machine: an empty store, no text, no buffers, no faults,
  Unicode Collation present, no shell protocol, all counts zero.
**/
void Reset (VOID);

/**
  Called when the logic uses an operation in a way firmware would not
  survive (an unknown FreePool, a directive Print was given no argument
  for); the default prints the message and aborts.
**/
void SetMisuseHandler (void (*Handler) (const char *Message));

/**
  Makes call number CallNumber (from 1, counted since Reset) of Op fail
  with Status; AllocateZeroPool fails by giving NULL, Print by showing
  nothing, LocateProtocol with EFI_NOT_FOUND as if Unicode Collation were
  absent.
**/
void FailCall (Operation Op, UINTN CallNumber, EFI_STATUS Status);

void FailNextCall (Operation Op, EFI_STATUS Status);

UINTN
CallCount (Operation Op);

const char *OperationName (Operation Op);

/**
  Puts a variable in the store as an earlier boot would have left it, past
  the size that the store's own writes take if need be.
**/
void SeedVariable (
    const std::u16string &Name,
    const EFI_GUID       &Guid,
    UINT32                Attributes,
    const BYTES          &Data);

/**
  @return The variable as GetVariable reads it, valid until the next call, or NULL.
**/
const VARIABLE *FindVariable (const std::u16string &Name, const EFI_GUID &Guid);

///
/// What the machine was asked since the last Reset, in order.
///
struct HOST_RECORDS {
  std::vector<SET_VARIABLE_CALL> SetVariableCalls;
  std::vector<GET_VARIABLE_CALL> GetVariableCalls;
  std::vector<PROTOCOL_CALL>     ProtocolCalls;   ///< Every OpenProtocol and CloseProtocol.
  std::vector<UINTN>             AllocationSizes; ///< Of every AllocateZeroPool, failed or not.
  std::vector<std::u16string>    ConsoleWrites;   ///< Each OutputString the console was given.
};

const HOST_RECORDS &Records (VOID);

/**
  All that the console was given, in one.
**/
std::u16string ConsoleText (VOID);

/**
  Pool buffers given out and not yet freed.
**/
UINTN
LiveBuffers (VOID);

/**
  The one handle the protocol database knows: the application's image.
**/
EFI_HANDLE
ImageHandle (VOID);

/**
  Installs a shell protocol on the image handle with this vector.
**/
void InstallShellParameters (UINTN Argc, UCS2_CHAR **Argv);

void InstallShellInterface (UINTN Argc, UCS2_CHAR **Argv);

/**
  Opens that no CloseProtocol has undone.
**/
UINTN
OpenProtocolEntries (VOID);
} // namespace HostPlatform

#endif

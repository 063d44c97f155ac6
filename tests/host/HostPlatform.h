/** @file
  A host stand-in for what lies behind the platform operations: a variable
  store, a console, pool memory, Unicode Collation and the shell protocols on
  one image handle, each answering as EDK II's firmware answers, plus the
  controls that tests use to set the machine up, break it and look inside.

  Every operation counts its calls from the last Reset, and any call of an
  operation that returns a status (or a buffer) can be made to fail.
**/

#ifndef HOST_PLATFORM_H_
#define HOST_PLATFORM_H_

#include "platform/Platform.h"

#include <string.h>

#include <string>
#include <vector>

inline bool
operator== (const EFI_GUID &First, const EFI_GUID &Second)
{
  return memcmp (&First, &Second, sizeof (EFI_GUID)) == 0;
}

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
  StrCmp,
  StrCat,
  Print,
  Count
};

///
/// EFI_SHELL_PARAMETERS_PROTOCOL with all its members, as the shell lays it out.
///
typedef struct {
  UCS2_CHAR **Argv;
  UINTN       Argc;
  VOID       *StdIn;
  VOID       *StdOut;
  VOID       *StdErr;
} EFI_SHELL_PARAMETERS_PROTOCOL;

typedef struct {
  UINT32 Attributes;
} EFI_SHELL_ARG_INFO;

///
/// The older shell's EFI_SHELL_INTERFACE with all its members.
///
typedef struct {
  EFI_HANDLE          ImageHandle;
  VOID               *Info;
  UCS2_CHAR         **Argv;
  UINTN               Argc;
  UCS2_CHAR         **RedirArgv;
  UINTN               RedirArgc;
  VOID               *StdIn;
  VOID               *StdOut;
  VOID               *StdErr;
  EFI_SHELL_ARG_INFO *ArgInfo;
  BOOLEAN             EchoOn;
} EFI_SHELL_INTERFACE;

struct VARIABLE {
  std::u16string     Name;
  EFI_GUID           Guid;
  UINT32             Attributes;
  std::vector<UINT8> Data;
};

struct SET_VARIABLE_CALL {
  std::u16string     Name;
  EFI_GUID           Guid;
  UINT32             Attributes;
  UINTN              DataSize;
  bool               DataIsNull;
  std::vector<UINT8> Data;
  EFI_STATUS         Status;
};

struct GET_VARIABLE_CALL {
  std::u16string Name;
  EFI_GUID       Guid;
  bool           AttributesIsNull;
  UINTN          DataSize;
  bool           DataIsNull;
  EFI_STATUS     Status;
};

struct PROTOCOL_CALL {
  bool       IsOpen;
  EFI_HANDLE Handle;
  EFI_GUID   Guid;
  EFI_HANDLE AgentHandle;
  EFI_HANDLE ControllerHandle;
  UINT32     Attributes;
  EFI_STATUS Status;
};

/**
  Back to a fresh machine: no variables, no text, no buffers, no faults,
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
  with Status; AllocateZeroPool fails by giving NULL, Print by showing nothing.
**/
void FailCall (Operation Op, UINTN CallNumber, EFI_STATUS Status);

void FailNextCall (Operation Op, EFI_STATUS Status);

UINTN
CallCount (Operation Op);

const char *OperationName (Operation Op);

/**
  Puts a variable in the store as an earlier boot would have left it.
**/
void SeedVariable (
    const std::u16string     &Name,
    const EFI_GUID           &Guid,
    UINT32                    Attributes,
    const std::vector<UINT8> &Data);

/**
  @return The stored variable, or NULL.
**/
const VARIABLE *FindVariable (const std::u16string &Name, const EFI_GUID &Guid);

UINTN
VariableCount (VOID);

const std::vector<SET_VARIABLE_CALL> &SetVariableCalls (VOID);

const std::vector<GET_VARIABLE_CALL> &GetVariableCalls (VOID);

/**
  Everything the console was given, and each OutputString of it apart.
**/
const std::u16string &ConsoleText (VOID);

const std::vector<std::u16string> &ConsoleWrites (VOID);

/**
  Pool buffers given out and not yet freed.
**/
UINTN
LiveBuffers (VOID);

/**
  The size asked of every AllocateZeroPool, failed ones included.
**/
const std::vector<UINTN> &AllocationSizes (VOID);

/**
  Absent, LocateProtocol answers EFI_NOT_FOUND for Unicode Collation 2.
**/
void SetCollationPresent (bool Present);

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
  Every OpenProtocol and CloseProtocol, in order.
**/
const std::vector<PROTOCOL_CALL> &ProtocolCalls (VOID);

/**
  Opens that no CloseProtocol has undone.
**/
UINTN
OpenProtocolEntries (VOID);
} // namespace HostPlatform

#endif

/** @file
  The state of the host machine behind the platform operations, shared by
  the files that implement them; tests use HostPlatform.h instead.
**/

#ifndef HOST_MACHINE_H_
#define HOST_MACHINE_H_

#include "HostPlatform.h"

#include <map>

///
/// The leading members of the shell protocols as the shells lay them out,
/// declared apart from Platform.h's so that a wrong layout there shows.
///
struct SHELL_PARAMETERS {
  UCS2_CHAR **Argv;
  UINTN       Argc;
};

struct SHELL_INTERFACE {
  EFI_HANDLE  ImageHandle;
  VOID       *Info;
  UCS2_CHAR **Argv;
  UINTN       Argc;
};

struct OPEN_ENTRY {
  EFI_HANDLE AgentHandle;
  EFI_HANDLE ControllerHandle;
};

struct INSTALLED_PROTOCOL {
  EFI_GUID                Guid;
  VOID                   *Interface;
  std::vector<OPEN_ENTRY> Opens;
};

struct FAULT {
  HostPlatform::Operation Op;
  UINTN                   CallNumber;
  EFI_STATUS              Status;
};

struct HOST_MACHINE {
  void (*Misuse) (const char *);
  UINTN                           Calls[static_cast<int> (HostPlatform::Operation::Count)];
  std::vector<FAULT>              Faults;
  NVRAM_STORE                     Store;
  HostPlatform::VARIABLE          Found;
  HostPlatform::HOST_RECORDS      Records;
  std::map<VOID *, UINTN>         Pool;
  char                            Collation;
  std::vector<INSTALLED_PROTOCOL> Protocols;
  SHELL_PARAMETERS                Parameters;
  SHELL_INTERFACE                 Shell;
  char                            ImageTag;
};

extern HOST_MACHINE Machine;

/**
  Counts a call of Op and tells whether a fault was armed for it.

  @param[in]  Op      The operation being called.
  @param[out] Status  Receives the armed fault's status.

  @retval true   The call is to fail with Status.
  @retval false  The call goes ahead.
**/
bool Faulted (HostPlatform::Operation Op, EFI_STATUS *Status);

#endif

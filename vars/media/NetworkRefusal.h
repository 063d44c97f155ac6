/** @file
  What refuses a store on the network, or the qemu-nbd that serves it: a
  write where no one who has it open can be seen, and what QEMU says when it
  cannot reach the store, each with its status and reason.
**/

#ifndef NETWORK_REFUSAL_H_
#define NETWORK_REFUSAL_H_

#include "vars/media/StorageDaemon.h"

#include <string>

/**
  Refuses a failed start of qemu-nbd.

  @param[in]  Name     What the store is ("an NBD export").
  @param[in]  Start    How the start failed.
  @param[in]  Message  Why, as the start told it.
  @param[out] Error    Receives the refusal.

  @return VarsExitMissing for a program missing or not runnable,
          VarsExitStorageDaemon otherwise.
**/
int RefuseNetworkStart (
    const char          *Name,
    STORAGE_DAEMON_START Start,
    const std::string   &Message,
    std::string         *Error);

/**
  Refuses a write to a store whose server shows no one who has it open,
  where the caller does not know that no machine uses it.

  @param[in]  Name   What the store is.
  @param[out] Error  Receives the refusal, which says how to write to it.

  @return VarsExitUnseenHolders.
**/
int RefuseUnseenHolders (const char *Name, std::string *Error);

/**
  Refuses a store that qemu-nbd could not open, by what QEMU said.

  @param[in]  Name     What the store is.
  @param[in]  Seconds  The time it was given, when it ran out; 0 otherwise.
  @param[in]  Said     What qemu-nbd wrote, or how it ended.
  @param[out] Error    Receives the refusal.

  @return VarsExitUnreachable, VarsExitNoSuchStore or VarsExitDenied by
          QEMU's reason, VarsExitStorageDaemon for any other.
**/
int RefuseNetworkOpen (const char *Name, int Seconds, const std::string &Said, std::string *Error);

#endif

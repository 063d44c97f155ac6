/** @file
  What refuses a qcow2 image, or the daemon that serves it, with its status
  and reason: QEMU's own account of the image decides, as no reader of the
  format is written here.
**/

#ifndef QCOW2_REFUSAL_H_
#define QCOW2_REFUSAL_H_

#include "vars/dl/Json.h"
#include "vars/media/StorageDaemon.h"

#include <string>

/**
  Judges the image that QEMU opened by what it reports of it: a backing
  file, an external data file, encryption or its corrupt bit refuse it.

  @param[in]  Json          json-c's routines.
  @param[in]  Reply         QEMU's answer to query-named-block-nodes.
  @param[in]  ExternalData  QEMU took a data file for it (STORAGE_DAEMON).
  @param[out] Error         Receives the reason.

  @retval 0  Nothing refuses it.
  @return    A VARS_EXIT status otherwise.
**/
int JudgeQcow2Image (
    const JSON_LIBRARY *Json,
    json_object        *Reply,
    bool                ExternalData,
    std::string        *Error);

/**
  Refuses the image whose daemon did not start serving it: the program
  missing or unrunnable (69), QEMU's refusal of the image (75 for a running
  machine's locks, 80 for encryption, 65 otherwise), or the daemon's own
  failure (70).

  @param[in]  Start    How starting the daemon ended; not ready.
  @param[in]  Message  What it said, as StartStorageDaemon gives it.
  @param[out] Error    Receives the reason.

  @return A VARS_EXIT status.
**/
int RefuseQcow2Start (STORAGE_DAEMON_START Start, const std::string &Message, std::string *Error);

#endif

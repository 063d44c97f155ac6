/** @file
  What refuses a qcow2 image, or the daemon that serves it: what QEMU
  reports of the image it opened, what it says when it cannot open it, and
  how the daemon failed otherwise, each with its status and reason.
**/

#include "vars/media/Qcow2Refusal.h"

#include "vars/base/ExitStatus.h"
#include "vars/media/DaemonMonitor.h"
#include "vars/media/DaemonProcess.h"
#include "vars/media/Holders.h"

#include <stdio.h>
#include <string.h>

///
/// What refuses a qcow2 image, as QEMU tells it: a value at a path in the
/// node's information that QEMU reports, or a phrase in QEMU's message when
/// it cannot open the image; its status, and the refusal, with the value or
/// the message in place of %s.
///
typedef struct {
  const char *Match;
  int         Code;
  const char *Message;
} QCOW2_REFUSAL;

// By a value at a path in the node's information, where it is set (true, or not empty).
static const QCOW2_REFUSAL mRefusals[] = {
  { "image/backing-filename", VarsExitQcow2Feature,
    "it is a qcow2 image over the backing file %s, while an NVRAM file holds its whole store; "
    "make it standalone first (qemu-img convert -O qcow2)" },
  { "image/format-specific/data/data-file", VarsExitQcow2Feature,
    "it is a qcow2 image whose data are in the file %s, while an NVRAM file holds its whole "
    "store; make it standalone first (qemu-img convert -O qcow2)" },
  { "encrypted", VarsExitQcow2Feature,
    "it is an encrypted qcow2 image, and brisvane-vars takes no key" },
  { "image/format-specific/data/corrupt", VarsExitNotAStore,
    "QEMU marks this qcow2 image corrupt; repair it first (qemu-img check -r all)" },
};

// By a phrase in QEMU's message; no message of our own for a running machine's locks, as on a
// raw file.
static const QCOW2_REFUSAL mFailures[] = {
  { "\" lock", VarsExitVirtualMachine, NULL }, // Failed to get [shared] "write" lock
  { "encrypt", VarsExitQcow2Feature,
    "it is an encrypted qcow2 image, and brisvane-vars takes no key (QEMU: %s)" },
  { "", VarsExitNotAStore, "QEMU cannot open it as a qcow2 image: %s" },
};

// The daemon's package, and what to do about it.
#define QCOW2_DAEMON_PACKAGE "install the Debian package qemu-system-common"

static int
Refuse (std::string *Error, int Code, const char *Message, const char *Value)
{
  char Text[1024];

  snprintf (Text, sizeof (Text), Message, Value);
  return VarsRefusal (Error, Code, Text);
}

// The node's information in QEMU's answer to query-named-block-nodes.
static json_object *
NodeOf (const JSON_LIBRARY *Json, json_object *Reply)
{
  json_object *Nodes = JsonAt (Json, Reply, "return");

  for (size_t Index = 0; Index < Json->Length (Nodes); Index++) {
    json_object *Name = JsonAt (Json, Json->At (Nodes, Index), "node-name");

    if ((Name != NULL) && (strcmp (Json->String (Name), STORAGE_DAEMON_NODE) == 0)) {
      return Json->At (Nodes, Index);
    }
  }

  return NULL;
}

int
JudgeQcow2Image (
    const JSON_LIBRARY *Json,
    json_object        *Reply,
    bool                ExternalData,
    std::string        *Error)
{
  json_object *Node = NodeOf (Json, Reply);

  if (Node == NULL) {
    return VarsRefusal (Error, VarsExitCannotRead, "QEMU does not describe the image it opened");
  }

  for (const QCOW2_REFUSAL &Refusal : mRefusals) {
    json_object *Value = JsonAt (Json, Node, Refusal.Match);

    if ((Value != NULL) && Json->Boolean (Value)) {
      return Refuse (Error, Refusal.Code, Refusal.Message, Json->String (Value));
    }
  }

  // An external data file that the header does not name is one still.
  return ExternalData ? Refuse (Error, VarsExitQcow2Feature, mRefusals[1].Message, "it names") : 0;
}

/**
  Refuses the image that QEMU cannot open, by QEMU's message.
**/
static int
Explain (const std::string &Message, std::string *Error)
{
  for (const QCOW2_REFUSAL &Failure : mFailures) {
    if (Message.find (Failure.Match) == std::string::npos) {
      continue;
    }

    return (Failure.Message == NULL)
               ? RefuseRunningMachine (Error)
               : Refuse (Error, Failure.Code, Failure.Message, Message.c_str ());
  }

  return VarsExitNotAStore;
}

int
RefuseQcow2Start (STORAGE_DAEMON_START Start, const std::string &Message, std::string *Error)
{
  return (Start == StorageDaemonRefused) ? Explain (Message, Error)
                                         : RefuseDaemonStart (
                                               "it is a qcow2 image", STORAGE_DAEMON_PROGRAM,
                                               QCOW2_DAEMON_PACKAGE, Start, Message, Error);
}

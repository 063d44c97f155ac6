/** @file
  Who has a Ceph RBD image open: its watchers, one for every client that
  opened it for writing, a running QEMU among them, whose exclusive lock a
  write would take from it. librbd is asked through the image's QEMU name,
  taken apart as QEMU takes it.
**/

#ifndef RBD_HOLDERS_H_
#define RBD_HOLDERS_H_

#include "platform/PlatformTypes.h"

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

///
/// An rbd: name taken apart: rbd:POOL/[NAMESPACE/]IMAGE[@SNAPSHOT][:KEY=VALUE...].
///
typedef struct {
  std::string Pool, Namespace, Image, Snapshot;
  std::string Conf; ///< conf=, the configuration file; "" for Ceph's default search.
  std::string User; ///< id=, without "client."; "" for Ceph's default (admin).
  std::vector<std::pair<std::string, std::string>> Options; ///< The other keys, for librados.
} RBD_NAME;

/**
  Takes an rbd: name apart as QEMU's qemu_rbd_parse_filename (block/rbd.c)
  does: fields split at unescaped '/', '@', ':' and '=', a backslash
  escaping the character after it.

  @param[in]  Path  The name, starting with "rbd:".
  @param[out] Name  Receives its parts.

  @return Whether it has a pool and an image, and every key a value.
**/
bool ParseRbdName (const char *Path, RBD_NAME *Name);

/**
  Makes sure that no client but this run's own has the image open.

  @param[in]     Path     The image's QEMU name.
  @param[in]     Seconds  How long the cluster may take to answer.
  @param[in,out] Ours     NULL before this run opens it: no watcher at all.
                          Once its qemu-nbd has opened it: -1, and the one
                          watcher there is this run's, its client id put
                          here; then that id, and any other watcher refused.
  @param[out]    Error    Receives a message on refusal.

  @retval 0                       No one else's.
  @retval VarsExitVirtualMachine  A QEMU on this host has it open.
  @retval VarsExitOtherHolder     Another client has it open: the message
                                  gives its address.
  @return                         Another VARS_EXIT status when the cluster
                                  cannot be asked.
**/
int FindRbdHolder (const char *Path, int Seconds, int64_t *Ours, std::string *Error);

#endif

/** @file
  The few routines of librados (librados.so.2) and librbd (librbd.so.1) that
  telling who has a Ceph RBD image open needs: its watchers, one for each
  client that has it open for writing (and every QEMU does, whose exclusive
  lock a writer would take). Loaded at run time as the other optional
  libraries are.
**/

#ifndef RBD_H_
#define RBD_H_

#include "platform/PlatformTypes.h"

#include <stddef.h>
#include <stdint.h>

#include <string>

typedef void *RADOS_CLUSTER; ///< rados_t
typedef void *RADOS_IOCTX;   ///< rados_ioctx_t
typedef void *RBD_IMAGE;     ///< rbd_image_t

///
/// rbd_image_watcher_t: a client that has the image open.
///
typedef struct {
  char    *Address;
  int64_t  Id;
  uint64_t Cookie;
} RBD_WATCHER;

///
/// librados' and librbd's routines, as their stable interfaces declare them.
///
typedef struct {
  int (*Create) (RADOS_CLUSTER *Cluster, const char *const Id);
  int (*ConfReadFile) (RADOS_CLUSTER Cluster, const char *Path);
  int (*ConfSet) (RADOS_CLUSTER Cluster, const char *Option, const char *Value);
  int (*Connect) (RADOS_CLUSTER Cluster);
  void (*Shutdown) (RADOS_CLUSTER Cluster);
  int (*IoctxCreate) (RADOS_CLUSTER Cluster, const char *Pool, RADOS_IOCTX *Ioctx);
  void (*IoctxSetNamespace) (RADOS_IOCTX Ioctx, const char *Namespace);
  void (*IoctxDestroy) (RADOS_IOCTX Ioctx);
  int (*OpenReadOnly) (RADOS_IOCTX Ioctx, const char *Name, RBD_IMAGE *Image, const char *Snapshot);
  int (*Close) (RBD_IMAGE Image);
  int (*WatchersList) (RBD_IMAGE Image, RBD_WATCHER *Watchers, size_t *Count);
  void (*WatchersListCleanup) (RBD_WATCHER *Watchers, size_t Count);
} RBD_LIBRARY;

/**
  Loads librados and librbd once per run.

  @param[out] Error  Receives a message naming the Debian package on failure.

  @return Their routines, or NULL when one is missing.
**/
const RBD_LIBRARY *LoadRbdLibrary (std::string *Error);

#endif

/** @file
  The few routines of libnbd (libnbd.so.0) that reading and writing an
  image that QEMU exports needs, loaded at run time as the other optional
  libraries are.
**/

#ifndef NBD_H_
#define NBD_H_

#include "platform/PlatformTypes.h"

#include <stdint.h>

#include <string>

struct nbd_handle;

///
/// libnbd's routines, as its stable interface declares them.
///
typedef struct {
  nbd_handle *(*Create) (void);
  void (*Close) (nbd_handle *Handle);
  const char *(*Error) (void);
  int (*Errno) (void);
  int (*SetExportName) (nbd_handle *Handle, const char *Name);
  int (*ConnectUnix) (nbd_handle *Handle, const char *Socket);
  int64_t (*Size) (nbd_handle *Handle);
  int (*Pread) (nbd_handle *Handle, void *Buffer, size_t Count, uint64_t Offset, uint32_t Flags);
  int (*Pwrite) (
      nbd_handle *Handle,
      const void *Buffer,
      size_t      Count,
      uint64_t    Offset,
      uint32_t    Flags);
  int (*Flush) (nbd_handle *Handle, uint32_t Flags);
  int (*Shutdown) (nbd_handle *Handle, uint32_t Flags);
  int (*IsDead) (nbd_handle *Handle); ///< Whether the connection is lost.
  int (*AioConnectUnix) (nbd_handle *Handle, const char *Socket);
  int (*AioIsConnecting) (nbd_handle *Handle);
  int (*AioIsReady) (nbd_handle *Handle);
  int (*Poll) (nbd_handle *Handle, int Milliseconds);
} NBD_LIBRARY;

/**
  Loads libnbd once per run.

  @param[out] Error  Receives a message naming its Debian package on failure.

  @return Its routines, or NULL when it is missing.
**/
const NBD_LIBRARY *LoadNbdLibrary (std::string *Error);

#endif

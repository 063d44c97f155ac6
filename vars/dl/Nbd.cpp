/** @file
  libnbd loaded at run time.
**/

#include "vars/dl/Nbd.h"

#include "vars/dl/OptionalLibrary.h"

// Filled in by the first load; plain pointers, so no constructor runs.
static NBD_LIBRARY mNbd;

const NBD_LIBRARY *
LoadNbdLibrary (std::string *Error)
{
  static const OPTIONAL_SYMBOL Symbols[] = {
    { "nbd_create", reinterpret_cast<void **> (&mNbd.Create) },
    { "nbd_close", reinterpret_cast<void **> (&mNbd.Close) },
    { "nbd_get_error", reinterpret_cast<void **> (&mNbd.Error) },
    { "nbd_get_errno", reinterpret_cast<void **> (&mNbd.Errno) },
    { "nbd_set_export_name", reinterpret_cast<void **> (&mNbd.SetExportName) },
    { "nbd_connect_unix", reinterpret_cast<void **> (&mNbd.ConnectUnix) },
    { "nbd_get_size", reinterpret_cast<void **> (&mNbd.Size) },
    { "nbd_pread", reinterpret_cast<void **> (&mNbd.Pread) },
    { "nbd_pwrite", reinterpret_cast<void **> (&mNbd.Pwrite) },
    { "nbd_flush", reinterpret_cast<void **> (&mNbd.Flush) },
    { "nbd_shutdown", reinterpret_cast<void **> (&mNbd.Shutdown) },
    { "nbd_aio_is_dead", reinterpret_cast<void **> (&mNbd.IsDead) },
    { "nbd_aio_connect_unix", reinterpret_cast<void **> (&mNbd.AioConnectUnix) },
    { "nbd_aio_is_connecting", reinterpret_cast<void **> (&mNbd.AioIsConnecting) },
    { "nbd_aio_is_ready", reinterpret_cast<void **> (&mNbd.AioIsReady) },
    { "nbd_poll", reinterpret_cast<void **> (&mNbd.Poll) },
  };
  static const OPTIONAL_LIBRARY Library = { "libnbd.so.0", "libnbd0", Symbols,
                                            sizeof (Symbols) / sizeof (Symbols[0]) };

  return LoadOptionalLibrary (&Library, Error) ? &mNbd : NULL;
}

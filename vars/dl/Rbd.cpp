/** @file
  librados and librbd loaded at run time.
**/

#include "vars/dl/Rbd.h"

#include "vars/dl/OptionalLibrary.h"

// Filled in by the first load; plain pointers, so no constructor runs.
static RBD_LIBRARY mRbd;

const RBD_LIBRARY *
LoadRbdLibrary (std::string *Error)
{
  static const OPTIONAL_SYMBOL Rados[] = {
    { "rados_create", reinterpret_cast<void **> (&mRbd.Create) },
    { "rados_conf_read_file", reinterpret_cast<void **> (&mRbd.ConfReadFile) },
    { "rados_conf_set", reinterpret_cast<void **> (&mRbd.ConfSet) },
    { "rados_connect", reinterpret_cast<void **> (&mRbd.Connect) },
    { "rados_shutdown", reinterpret_cast<void **> (&mRbd.Shutdown) },
    { "rados_ioctx_create", reinterpret_cast<void **> (&mRbd.IoctxCreate) },
    { "rados_ioctx_set_namespace", reinterpret_cast<void **> (&mRbd.IoctxSetNamespace) },
    { "rados_ioctx_destroy", reinterpret_cast<void **> (&mRbd.IoctxDestroy) },
  };
  static const OPTIONAL_SYMBOL Rbd[] = {
    { "rbd_open_read_only", reinterpret_cast<void **> (&mRbd.OpenReadOnly) },
    { "rbd_close", reinterpret_cast<void **> (&mRbd.Close) },
    { "rbd_watchers_list", reinterpret_cast<void **> (&mRbd.WatchersList) },
    { "rbd_watchers_list_cleanup", reinterpret_cast<void **> (&mRbd.WatchersListCleanup) },
  };
  static const OPTIONAL_LIBRARY Libraries[] = {
    { "librados.so.2", "librados2", Rados, sizeof (Rados) / sizeof (Rados[0]) },
    { "librbd.so.1", "librbd1", Rbd, sizeof (Rbd) / sizeof (Rbd[0]) },
  };

  return (LoadOptionalLibrary (&Libraries[0], Error) && LoadOptionalLibrary (&Libraries[1], Error))
             ? &mRbd
             : NULL;
}

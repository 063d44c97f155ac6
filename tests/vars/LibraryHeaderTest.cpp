/** @file
  Each optional library's table against the library's own header, where its
  -dev package is installed: every routine's type is that of the header's
  declaration (at compile time), the routine loaded under its name is the
  one of that declaration, and the constants and fields read are the
  header's. The product itself includes none of these headers.
**/

#include "vars/dl/Json.h"
#include "vars/dl/Libvirt.h"
#include "vars/dl/Libxml2.h"
#include "vars/dl/Nbd.h"
#include "vars/dl/Rbd.h"

#include <dlfcn.h>
#include <stddef.h>

#include <type_traits>

#include <gtest/gtest.h>

#ifdef BRISVANE_HAVE_NBD_HEADER
#  include <libnbd.h>
#endif
#ifdef BRISVANE_HAVE_RBD_HEADER
#  include <rbd/librbd.h>
#endif
#ifdef BRISVANE_HAVE_JSON_HEADER
#  include <json-c/json.h>
#endif
#ifdef BRISVANE_HAVE_LIBVIRT_HEADER
#  include <libvirt/libvirt.h>
#  include <libvirt/virterror.h>
#endif
#ifdef BRISVANE_HAVE_LIBXML2_HEADER
#  include <libxml/parser.h>
#  include <libxml/uri.h>
#  include <libxml/xpath.h>
#endif

///
/// A routine as the table loaded it, by the name its header declares.
///
typedef struct {
  const char *Name;
  void       *Loaded;
} DECLARED_ROUTINE;

// The name of a routine whose table entry has the header's type; any other fails to compile.
template <typename ENTRY, typename DECLARATION>
static const char *
DeclaredName (const char *Name)
{
  static_assert (
      std::is_same<ENTRY, DECLARATION>::value,
      "a table's routine differs from its header's declaration");
  return Name;
}

/// One row: the table's entry, checked against the routine the header declares.
#define DECLARED_AS(Table, Member, Routine)                                                        \
  {                                                                                                \
    DeclaredName<decltype (Table->Member), decltype (&Routine)> (#Routine),                        \
        reinterpret_cast<void *> (Table->Member)                                                   \
  }

/// Every entry of a table has a row: the table is its routines alone.
#define EXPECT_ALL_ROWS(Type, Rows)                                                                \
  static_assert (sizeof (Type) == sizeof (Rows) / sizeof (Rows[0]) * sizeof (void *), #Type)

// Each row's routine is the one its header's name finds in the library.
static void
ExpectLoadedByName (const char *Soname, const DECLARED_ROUTINE *Rows, size_t Count)
{
  void *Handle = dlopen (Soname, RTLD_NOW | RTLD_NOLOAD);

  ASSERT_NE (Handle, nullptr) << Soname;
  for (size_t Index = 0; Index < Count; Index++) {
    EXPECT_EQ (Rows[Index].Loaded, dlsym (Handle, Rows[Index].Name)) << Rows[Index].Name;
  }

  dlclose (Handle);
}

TEST (LibraryHeaderTest, NbdTableIsLibnbdHeaders)
{
#ifndef BRISVANE_HAVE_NBD_HEADER
  GTEST_SKIP () << "libnbd.h is not installed (libnbd-dev): the table goes unchecked";
#else
  std::string              Error;
  const NBD_LIBRARY *const Nbd    = LoadNbdLibrary (&Error);
  const DECLARED_ROUTINE   Rows[] = {
      DECLARED_AS (Nbd, Create, nbd_create),
      DECLARED_AS (Nbd, Close, nbd_close),
      DECLARED_AS (Nbd, Error, nbd_get_error),
      DECLARED_AS (Nbd, Errno, nbd_get_errno),
      DECLARED_AS (Nbd, SetExportName, nbd_set_export_name),
      DECLARED_AS (Nbd, ConnectUnix, nbd_connect_unix),
      DECLARED_AS (Nbd, Size, nbd_get_size),
      DECLARED_AS (Nbd, Pread, nbd_pread),
      DECLARED_AS (Nbd, Pwrite, nbd_pwrite),
      DECLARED_AS (Nbd, Flush, nbd_flush),
      DECLARED_AS (Nbd, Shutdown, nbd_shutdown),
      DECLARED_AS (Nbd, IsDead, nbd_aio_is_dead),
      DECLARED_AS (Nbd, AioConnectUnix, nbd_aio_connect_unix),
      DECLARED_AS (Nbd, AioIsConnecting, nbd_aio_is_connecting),
      DECLARED_AS (Nbd, AioIsReady, nbd_aio_is_ready),
      DECLARED_AS (Nbd, Poll, nbd_poll),
  };

  EXPECT_ALL_ROWS (NBD_LIBRARY, Rows);
  ASSERT_NE (Nbd, nullptr) << Error;
  ExpectLoadedByName ("libnbd.so.0", Rows, sizeof (Rows) / sizeof (Rows[0]));
#endif
}

TEST (LibraryHeaderTest, JsonTableIsJsonCHeaders)
{
#ifndef BRISVANE_HAVE_JSON_HEADER
  GTEST_SKIP () << "json-c/json.h is not installed (libjson-c-dev): the table goes unchecked";
#else
  std::string               Error;
  const JSON_LIBRARY *const Json   = LoadJsonLibrary (&Error);
  const DECLARED_ROUTINE    Rows[] = {
       DECLARED_AS (Json, Parse, json_tokener_parse),
       DECLARED_AS (Json, Put, json_object_put),
       DECLARED_AS (Json, Get, json_object_object_get_ex),
       DECLARED_AS (Json, Boolean, json_object_get_boolean),
       DECLARED_AS (Json, String, json_object_get_string),
       DECLARED_AS (Json, Length, json_object_array_length),
       DECLARED_AS (Json, At, json_object_array_get_idx),
  };

  EXPECT_ALL_ROWS (JSON_LIBRARY, Rows);
  ASSERT_NE (Json, nullptr) << Error;
  ExpectLoadedByName ("libjson-c.so.5", Rows, sizeof (Rows) / sizeof (Rows[0]));
#endif
}

TEST (LibraryHeaderTest, LibvirtTableIsLibvirtHeaders)
{
#ifndef BRISVANE_HAVE_LIBVIRT_HEADER
  GTEST_SKIP () << "libvirt/libvirt.h is not installed (libvirt-dev): the table goes unchecked";
#else
  std::string                  Error;
  const LIBVIRT_LIBRARY *const Virt   = LoadLibvirtLibrary (&Error);
  const DECLARED_ROUTINE       Rows[] = {
          DECLARED_AS (Virt, OpenReadOnly, virConnectOpenReadOnly),
          DECLARED_AS (Virt, Close, virConnectClose),
          DECLARED_AS (Virt, GetCapabilities, virConnectGetCapabilities),
          DECLARED_AS (Virt, LookupByName, virDomainLookupByName),
          DECLARED_AS (Virt, GetState, virDomainGetState),
          DECLARED_AS (Virt, HasManagedSaveImage, virDomainHasManagedSaveImage),
          DECLARED_AS (Virt, GetXmlDesc, virDomainGetXMLDesc),
          DECLARED_AS (Virt, FreeDomain, virDomainFree),
          DECLARED_AS (Virt, SetErrorFunc, virSetErrorFunc),
          DECLARED_AS (Virt, GetLastErrorCode, virGetLastErrorCode),
          DECLARED_AS (Virt, GetLastErrorMessage, virGetLastErrorMessage),
  };

  EXPECT_ALL_ROWS (LIBVIRT_LIBRARY, Rows);
  static_assert (LIBVIRT_DOMAIN_SHUTOFF == VIR_DOMAIN_SHUTOFF, "VIR_DOMAIN_SHUTOFF");
  static_assert (LIBVIRT_XML_INACTIVE == VIR_DOMAIN_XML_INACTIVE, "VIR_DOMAIN_XML_INACTIVE");
  static_assert (LIBVIRT_ERR_NO_DOMAIN == VIR_ERR_NO_DOMAIN, "VIR_ERR_NO_DOMAIN");
  ASSERT_NE (Virt, nullptr) << Error;
  ExpectLoadedByName ("libvirt.so.0", Rows, sizeof (Rows) / sizeof (Rows[0]));
#endif
}

TEST (LibraryHeaderTest, Libxml2TableIsLibxml2Headers)
{
#ifndef BRISVANE_HAVE_LIBXML2_HEADER
  GTEST_SKIP () << "libxml/xpath.h is not installed (libxml2-dev): the table goes unchecked";
#else
  std::string                  Error;
  const LIBXML2_LIBRARY *const Xml    = LoadLibxml2Library (&Error);
  const DECLARED_ROUTINE       Rows[] = {
          DECLARED_AS (Xml, ReadMemory, xmlReadMemory),
          DECLARED_AS (Xml, FreeDoc, xmlFreeDoc),
          DECLARED_AS (Xml, NewContext, xmlXPathNewContext),
          DECLARED_AS (Xml, FreeContext, xmlXPathFreeContext),
          DECLARED_AS (Xml, Evaluate, xmlXPathEvalExpression),
          DECLARED_AS (Xml, FreeObject, xmlXPathFreeObject),
          DECLARED_AS (Xml, ParseUri, xmlParseURI),
          DECLARED_AS (Xml, FreeUri, xmlFreeURI),
  };

  EXPECT_ALL_ROWS (LIBXML2_LIBRARY, Rows);
  static_assert (
      LIBXML2_QUIET_OPTIONS == (XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NONET),
      "XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NONET");
  static_assert (LIBXML2_XPATH_STRING == XPATH_STRING, "XPATH_STRING");
  static_assert (
      (offsetof (LIBXML2_XPATH_OBJECT, Type) == offsetof (xmlXPathObject, type)) &&
          (offsetof (LIBXML2_XPATH_OBJECT, StringValue) == offsetof (xmlXPathObject, stringval)) &&
          (sizeof (LIBXML2_XPATH_OBJECT::Type) == sizeof (xmlXPathObject::type)),
      "xmlXPathObject's leading fields");
  static_assert (
      (offsetof (LIBXML2_URI, Scheme) == offsetof (xmlURI, scheme)) &&
          (offsetof (LIBXML2_URI, Server) == offsetof (xmlURI, server)) &&
          (offsetof (LIBXML2_URI, Path) == offsetof (xmlURI, path)),
      "xmlURI's leading fields");
  ASSERT_NE (Xml, nullptr) << Error;
  ExpectLoadedByName ("libxml2.so.2", Rows, sizeof (Rows) / sizeof (Rows[0]));
#endif
}

TEST (LibraryHeaderTest, RbdTableIsLibradosAndLibrbdHeaders)
{
#ifndef BRISVANE_HAVE_RBD_HEADER
  GTEST_SKIP () << "rbd/librbd.h is not installed (librbd-dev): the table goes unchecked";
#else
  std::string              Error;
  const RBD_LIBRARY *const Rbd     = LoadRbdLibrary (&Error);
  const DECLARED_ROUTINE   Rados[] = {
      DECLARED_AS (Rbd, Create, rados_create),
      DECLARED_AS (Rbd, ConfReadFile, rados_conf_read_file),
      DECLARED_AS (Rbd, ConfSet, rados_conf_set),
      DECLARED_AS (Rbd, Connect, rados_connect),
      DECLARED_AS (Rbd, Shutdown, rados_shutdown),
      DECLARED_AS (Rbd, IoctxCreate, rados_ioctx_create),
      DECLARED_AS (Rbd, IoctxSetNamespace, rados_ioctx_set_namespace),
      DECLARED_AS (Rbd, IoctxDestroy, rados_ioctx_destroy),
  };
  const DECLARED_ROUTINE Rbds[] = {
    DECLARED_AS (Rbd, OpenReadOnly, rbd_open_read_only),
    DECLARED_AS (Rbd, Close, rbd_close),
    // Declared over RBD_WATCHER, whose layout is checked below, for rbd_image_watcher_t.
    { "rbd_watchers_list", reinterpret_cast<void *> (Rbd->WatchersList) },
    { "rbd_watchers_list_cleanup", reinterpret_cast<void *> (Rbd->WatchersListCleanup) },
  };

  static_assert (
      sizeof (RBD_LIBRARY) ==
          (sizeof (Rados) + sizeof (Rbds)) / sizeof (Rados[0]) * sizeof (void *),
      "RBD_LIBRARY");
  static_assert (
      (sizeof (RBD_WATCHER) == sizeof (rbd_image_watcher_t)) &&
          (offsetof (RBD_WATCHER, Address) == offsetof (rbd_image_watcher_t, addr)) &&
          (offsetof (RBD_WATCHER, Id) == offsetof (rbd_image_watcher_t, id)),
      "RBD_WATCHER is rbd_image_watcher_t");
  ASSERT_NE (Rbd, nullptr) << Error;
  ExpectLoadedByName ("librados.so.2", Rados, sizeof (Rados) / sizeof (Rados[0]));
  ExpectLoadedByName ("librbd.so.1", Rbds, sizeof (Rbds) / sizeof (Rbds[0]));
#endif
}

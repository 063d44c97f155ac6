/** @file
  What brisvane-vars reads with libxml2 (libxml2.so.2, loaded when --domain
  is used): values out of the XML documents that libvirt gives, by XPath,
  and the parts of a connection URI.
**/

#ifndef DOMAIN_XML_H_
#define DOMAIN_XML_H_

#include "platform/PlatformTypes.h"

#include <string>

///
/// One value to read: an XPath expression whose result is a string (such
/// as "string(/domain/@type)"), and where it goes.
///
typedef struct {
  const char  *Expression;
  std::string *Value;
} XML_QUERY;

/**
  Reads values out of an XML document.

  @param[in]  Text     The document.
  @param[in]  Queries  The values to read.
  @param[in]  Count    How many there are.
  @param[out] Error    Receives a message on failure.

  @retval 0                 Every value read; "" for what the document lacks.
  @retval VarsExitMissing   libxml2 is missing.
  @retval VarsExitNoDomain  The document is not XML.
**/
int QueryXml (const char *Text, const XML_QUERY *Queries, UINTN Count, std::string *Error);

/**
  Tells whether a libvirt URI leads to another host: it names a server, or
  a transport other than the local socket (qemu+ssh://, qemu+tcp://...).

  @param[in]  Uri    The URI, such as qemu:///system.
  @param[out] Error  Receives a message on failure or when it is remote.

  @retval 0                Local.
  @retval VarsExitRemote   Remote, or not a URI that could be told local.
  @retval VarsExitMissing  libxml2 is missing.
**/
int CheckLocalUri (const char *Uri, std::string *Error);

#endif

/** @file
  What brisvane-vars reads with libxml2 (libxml2.so.2, loaded when --domain
  is used): a domain's NVRAM out of its definition and the owner of a new one
  out of libvirt's capabilities, by XPath, and the parts of a connection URI.
**/

#ifndef DOMAIN_XML_H_
#define DOMAIN_XML_H_

#include "platform/PlatformTypes.h"
#include "vars/libvirt/Domain.h"

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

  @param[in]  Uri      The URI, such as qemu:///system.
  @param[out] Session  Receives whether it is a local session daemon's
                       (path /session), which runs QEMU as this user.
  @param[out] Error    Receives a message on failure or when it is remote.

  @retval 0                Local.
  @retval VarsExitRemote   Remote, or not a URI that could be told local.
  @retval VarsExitMissing  libxml2 is missing.
**/
int CheckLocalUri (const char *Uri, bool *Session, std::string *Error);

/**
  Takes a network NVRAM (<nvram type='network'>) out of a domain's
  definition, as QEMU names it: nbd, iscsi and rbd sources, without
  credentials or TLS, which would have to reach QEMU outside its name.

  @param[in]  Xml    The definition, as libvirt gives it.
  @param[out] Name   Receives QEMU's name for the store.
  @param[out] Error  Receives a message on failure.

  @retval 0                     Name is the NVRAM.
  @retval VarsExitNetworkNvram  Another protocol, or credentials or TLS.
  @return                       QueryXml's refusals.
**/
int ReadNetworkNvram (const char *Xml, std::string *Name, std::string *Error);

/**
  Takes the NVRAM out of a domain's inactive definition: <nvram>PATH</nvram>,
  <nvram type='file'><source file='PATH'/> or <nvram type='block'><source
  dev='PATH'/>, with its template.

  @param[in]  Xml         The definition, as libvirt gives it.
  @param[out] Nvram       Receives Path and Template.
  @param[out] DomainType  Receives the domain's type (qemu, kvm).
  @param[out] Error       Receives a message on failure.

  @retval 0                     Path is the NVRAM.
  @retval VarsExitNoDomain      The domain has no NVRAM.
  @retval VarsExitNetworkNvram  Its NVRAM is on the network, where this tool
                                cannot reach it (see ReadNetworkNvram).
  @retval VarsExitCannotRead    Its NVRAM is of no kind this tool opens.
  @return                       QueryXml's refusals.
**/
int
ReadDomainNvram (const char *Xml, DOMAIN_NVRAM *Nvram, std::string *DomainType, std::string *Error);

/**
  The owner that libvirt gives a new NVRAM: the user and group it runs QEMU
  as, which its capabilities give as the DAC security model's base label
  ("+UID:+GID") for the domain's type; none where it runs QEMU as the caller
  (a session), whose own the file is.

  @param[in]  Capabilities  libvirt's capabilities.
  @param[in]  DomainType    The domain's type.
  @param[out] Nvram         Receives Owned, Uid and Gid.
  @param[out] Error         Receives a message on failure.

  @retval 0                 Owned tells whether there is an owner to give it.
  @retval VarsExitNoDomain  DomainType is not a type's name.
  @return                   QueryXml's refusals.
**/
int ReadNvramOwner (
    const char        *Capabilities,
    const std::string &DomainType,
    DOMAIN_NVRAM      *Nvram,
    std::string       *Error);

#endif

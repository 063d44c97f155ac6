/** @file
  libvirt's XML read with libxml2's XPath, and its URIs with libxml2's URI
  parser, loaded at run time (vars/dl/Libxml2.h).
**/

#include "vars/libvirt/DomainXml.h"

#include "vars/base/ExitStatus.h"
#include "vars/dl/Libxml2.h"

#include <stdio.h>
#include <string.h>

// The value of one string() expression, "" for anything else.
static std::string
Evaluate (const LIBXML2_LIBRARY *Xml, xmlXPathContextPtr Context, const char *Expression)
{
  xmlXPathObjectPtr Object =
      Xml->Evaluate (reinterpret_cast<const xmlChar *> (Expression), Context);
  const LIBXML2_XPATH_OBJECT *Fields = reinterpret_cast<const LIBXML2_XPATH_OBJECT *> (Object);
  std::string                 Value;

  if ((Fields != NULL) && (Fields->Type == LIBXML2_XPATH_STRING) && (Fields->StringValue != NULL)) {
    Value = Fields->StringValue;
  }

  if (Object != NULL) {
    Xml->FreeObject (Object);
  }

  return Value;
}

int
QueryXml (const char *Text, const XML_QUERY *Queries, UINTN Count, std::string *Error)
{
  const LIBXML2_LIBRARY *Xml = LoadLibxml2Library (Error);
  xmlDocPtr              Document;
  xmlXPathContextPtr     Context;

  if (Xml == NULL) {
    return VarsExitMissing;
  }

  Document = Xml->ReadMemory (Text, (int)strlen (Text), "libvirt.xml", NULL, LIBXML2_QUIET_OPTIONS);
  Context  = (Document != NULL) ? Xml->NewContext (Document) : NULL;
  for (UINTN Index = 0; (Context != NULL) && (Index < Count); Index++) {
    *Queries[Index].Value = Evaluate (Xml, Context, Queries[Index].Expression);
  }

  if (Context != NULL) {
    Xml->FreeContext (Context);
  }

  if (Document != NULL) {
    Xml->FreeDoc (Document);
  }

  return (Context != NULL)
             ? 0
             : VarsRefusal (Error, VarsExitNoDomain, "libvirt gave XML that libxml2 cannot read");
}

int
CheckLocalUri (const char *Uri, bool *Session, std::string *Error)
{
  const LIBXML2_LIBRARY *Xml = LoadLibxml2Library (Error);
  xmlURIPtr              Handle;
  const LIBXML2_URI     *Parsed;
  const char            *Transport;
  bool                   Local;

  if (Xml == NULL) {
    return VarsExitMissing;
  }

  Handle = Xml->ParseUri (Uri);
  Parsed = reinterpret_cast<const LIBXML2_URI *> (Handle);
  if ((Parsed == NULL) || (Parsed->Scheme == NULL)) {
    Local = false;
  } else {
    Transport = strchr (Parsed->Scheme, '+');
    Local     = ((Parsed->Server == NULL) || (Parsed->Server[0] == 0)) &&
            ((Transport == NULL) || (strcmp (Transport, "+unix") == 0));
    *Session = Local && (Parsed->Path != NULL) && (strcmp (Parsed->Path, "/session") == 0);
  }

  if (Handle != NULL) {
    Xml->FreeUri (Handle);
  }

  return Local ? 0
               : VarsRefusal (
                     Error, VarsExitRemote,
                     std::string (Uri) +
                         " is not a local connection (it names a host or a remote transport): "
                         "run brisvane-vars on the host that keeps the NVRAM");
}

/**
  Takes the NVRAM out of the inactive definition: <nvram>PATH</nvram> or
  <nvram type='file'><source file='PATH'/>, <nvram type='block'><source
  dev='PATH'/>, with its template; a network NVRAM by QEMU's name for it.
**/
int
ReadDomainNvram (const char *Xml, DOMAIN_NVRAM *Nvram, std::string *DomainType, std::string *Error)
{
  std::string     Count, Type, File, Device, Text;
  const XML_QUERY Queries[] = {
    { "string(count(/domain/os/nvram))", &Count },
    { "string(/domain/os/nvram/@type)", &Type },
    { "string(/domain/os/nvram/source/@file)", &File },
    { "string(/domain/os/nvram/source/@dev)", &Device },
    { "string(/domain/os/nvram/text())", &Text },
    { "string(/domain/os/nvram/@template)", &Nvram->Template },
    { "string(/domain/@type)", DomainType },
  };
  int Code = QueryXml (Xml, Queries, sizeof (Queries) / sizeof (Queries[0]), Error);

  if (Code != 0) {
    return Code;
  }

  if (Count != "1") {
    return VarsRefusal (Error, VarsExitNoDomain, "it has no NVRAM (it does not boot UEFI)");
  }

  if (Type == "network") {
    return ReadNetworkNvram (Xml, &Nvram->Path, Error);
  }

  Nvram->Path = (Type == "block") ? Device : !File.empty () ? File : Text;
  if (((Type != "") && (Type != "file") && (Type != "block")) || Nvram->Path.empty ()) {
    return VarsRefusal (
        Error, VarsExitCannotRead,
        "its definition names no NVRAM file or device that this tool opens");
  }

  // libvirt takes such a name from its daemon's working directory, which this tool cannot see.
  if (Nvram->Path[0] != '/') {
    return VarsRefusal (
        Error, VarsExitCannotRead,
        "its NVRAM " + Nvram->Path +
            " is a relative path, which libvirt resolves against its daemon's working directory, "
            "not this tool's: give the domain an absolute path (virsh edit)");
  }

  return 0;
}

int
ReadNvramOwner (
    const char        *Capabilities,
    const std::string &DomainType,
    DOMAIN_NVRAM      *Nvram,
    std::string       *Error)
{
  std::string Label;
  std::string Expression =
      "string(/capabilities/host/secmodel[model='dac']/baselabel[@type='" + DomainType + "'])";
  const XML_QUERY Query = { Expression.c_str (), &Label };
  unsigned        Uid   = 0;
  unsigned        Gid   = 0;
  int             Code;

  // The type goes into the expression: only a word such as libvirt's own (qemu, kvm).
  if (DomainType.empty () ||
      (DomainType.find_first_not_of ("abcdefghijklmnopqrstuvwxyz") != std::string::npos)) {
    return VarsRefusal (
        Error, VarsExitNoDomain, "its type '" + DomainType + "' is not one libvirt has");
  }

  Code         = QueryXml (Capabilities, &Query, 1, Error);
  Nvram->Owned = (Code == 0) && (sscanf (Label.c_str (), "+%u:+%u", &Uid, &Gid) == 2);
  Nvram->Uid   = Uid;
  Nvram->Gid   = Gid;
  return Code;
}

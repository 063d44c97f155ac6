/** @file
  libxml2's XPath and URI parser, loaded at run time. The prototypes and the
  leading fields of its structures are those of its stable interface
  (libxml/xpath.h, libxml/uri.h, libxml/parser.h).
**/

#include "vars/DomainXml.h"

#include "vars/ExitStatus.h"
#include "vars/OptionalLibrary.h"

#include <stdio.h>
#include <string.h>

/// XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NONET: quiet, and never fetch anything.
#define XML_QUIET_OPTIONS ((1 << 5) | (1 << 6) | (1 << 11))
/// XPATH_STRING, the type of an object that string() returns.
#define XML_XPATH_STRING 4

///
/// The leading fields of xmlXPathObject.
///
typedef struct {
  int         Type;
  void       *NodeSet;
  int         BoolValue;
  double      FloatValue;
  const char *StringValue;
} XML_XPATH_OBJECT;

///
/// The leading fields of xmlURI.
///
typedef struct {
  const char *Scheme;
  const char *Opaque;
  const char *Authority;
  const char *Server;
} XML_URI;

static void *(*mReadMemory) (const char *, int, const char *, const char *, int);
static void (*mFreeDoc) (void *);
static void *(*mNewContext) (void *);
static void (*mFreeContext) (void *);
static XML_XPATH_OBJECT *(*mEvaluate) (const char *, void *);
static void (*mFreeObject) (XML_XPATH_OBJECT *);
static XML_URI *(*mParseUri) (const char *);
static void (*mFreeUri) (XML_URI *);

static const OPTIONAL_SYMBOL mSymbols[] = {
  { "xmlReadMemory", (void **)&mReadMemory },
  { "xmlFreeDoc", (void **)&mFreeDoc },
  { "xmlXPathNewContext", (void **)&mNewContext },
  { "xmlXPathFreeContext", (void **)&mFreeContext },
  { "xmlXPathEvalExpression", (void **)&mEvaluate },
  { "xmlXPathFreeObject", (void **)&mFreeObject },
  { "xmlParseURI", (void **)&mParseUri },
  { "xmlFreeURI", (void **)&mFreeUri },
};

static const OPTIONAL_LIBRARY mLibxml2 = { "libxml2.so.2", "libxml2", mSymbols,
                                           sizeof (mSymbols) / sizeof (mSymbols[0]) };

// The value of one string() expression, "" for anything else.
static std::string
Evaluate (void *Context, const char *Expression)
{
  XML_XPATH_OBJECT *Object = mEvaluate (Expression, Context);
  std::string       Value;

  if ((Object != NULL) && (Object->Type == XML_XPATH_STRING) && (Object->StringValue != NULL)) {
    Value = Object->StringValue;
  }

  if (Object != NULL) {
    mFreeObject (Object);
  }

  return Value;
}

int
QueryXml (const char *Text, const XML_QUERY *Queries, UINTN Count, std::string *Error)
{
  void *Document;
  void *Context;

  if (!LoadOptionalLibrary (&mLibxml2, Error)) {
    return VarsExitMissing;
  }

  Document = mReadMemory (Text, (int)strlen (Text), "libvirt.xml", NULL, XML_QUIET_OPTIONS);
  Context  = (Document != NULL) ? mNewContext (Document) : NULL;
  for (UINTN Index = 0; (Context != NULL) && (Index < Count); Index++) {
    *Queries[Index].Value = Evaluate (Context, Queries[Index].Expression);
  }

  if (Context != NULL) {
    mFreeContext (Context);
  }

  if (Document != NULL) {
    mFreeDoc (Document);
  }

  return (Context != NULL)
             ? 0
             : VarsRefusal (Error, VarsExitNoDomain, "libvirt gave XML that libxml2 cannot read");
}

int
CheckLocalUri (const char *Uri, std::string *Error)
{
  XML_URI    *Parsed;
  const char *Transport;
  bool        Local;

  if (!LoadOptionalLibrary (&mLibxml2, Error)) {
    return VarsExitMissing;
  }

  Parsed = mParseUri (Uri);
  if ((Parsed == NULL) || (Parsed->Scheme == NULL)) {
    Local = false;
  } else {
    Transport = strchr (Parsed->Scheme, '+');
    Local     = ((Parsed->Server == NULL) || (Parsed->Server[0] == 0)) &&
            ((Transport == NULL) || (strcmp (Transport, "+unix") == 0));
  }

  if (Parsed != NULL) {
    mFreeUri (Parsed);
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
  dev='PATH'/>, with its template; a network NVRAM is refused.
**/
int
ReadDomainNvram (const char *Xml, DOMAIN_NVRAM *Nvram, std::string *DomainType, std::string *Error)
{
  std::string     Count, Type, File, Device, Text, Protocol;
  const XML_QUERY Queries[] = {
    { "string(count(/domain/os/nvram))", &Count },
    { "string(/domain/os/nvram/@type)", &Type },
    { "string(/domain/os/nvram/source/@file)", &File },
    { "string(/domain/os/nvram/source/@dev)", &Device },
    { "string(/domain/os/nvram/text())", &Text },
    { "string(/domain/os/nvram/source/@protocol)", &Protocol },
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
    return VarsRefusal (
        Error, VarsExitNetworkNvram,
        "its NVRAM is on the network (" + Protocol + "), which brisvane-vars does not reach");
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

/** @file
  The few routines of libxml2 (libxml2.so.2) that reading libvirt's XML and
  its URIs needs, loaded at run time as the other optional libraries are.
  Its handles are declared by libxml2's own names, so that a test compiled
  against libxml2's headers can check every routine's type and the fields
  read here.
**/

#ifndef LIBXML2_H_
#define LIBXML2_H_

#include <string>

/// libxml2's character and handles, opaque here but for the fields below.
typedef unsigned char            xmlChar;
typedef struct _xmlDoc          *xmlDocPtr;
typedef struct _xmlXPathContext *xmlXPathContextPtr;
typedef struct _xmlXPathObject  *xmlXPathObjectPtr;
typedef struct _xmlURI          *xmlURIPtr;

/// XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NONET: quiet, and never fetch anything.
#define LIBXML2_QUIET_OPTIONS ((1 << 5) | (1 << 6) | (1 << 11))
/// XPATH_STRING, the type of an object that string() returns.
#define LIBXML2_XPATH_STRING 4

///
/// The leading fields of xmlXPathObject, read through an xmlXPathObjectPtr.
///
typedef struct {
  int         Type;
  void       *NodeSet;
  int         BoolValue;
  double      FloatValue;
  const char *StringValue;
} LIBXML2_XPATH_OBJECT;

///
/// The leading fields of xmlURI, read through an xmlURIPtr.
///
typedef struct {
  const char *Scheme;
  const char *Opaque;
  const char *Authority;
  const char *Server;
  const char *User;
  int         Port;
  const char *Path;
} LIBXML2_URI;

///
/// libxml2's routines, as its stable interface declares them.
///
typedef struct {
  xmlDocPtr (*ReadMemory) (
      const char *Buffer,
      int         Size,
      const char *Url,
      const char *Encoding,
      int         Options);
  void (*FreeDoc) (xmlDocPtr Document);
  xmlXPathContextPtr (*NewContext) (xmlDocPtr Document);
  void (*FreeContext) (xmlXPathContextPtr Context);
  xmlXPathObjectPtr (*Evaluate) (const xmlChar *Expression, xmlXPathContextPtr Context);
  void (*FreeObject) (xmlXPathObjectPtr Object);
  xmlURIPtr (*ParseUri) (const char *Text);
  void (*FreeUri) (xmlURIPtr Uri);
} LIBXML2_LIBRARY;

/**
  Loads libxml2 once per run.

  @param[out] Error  Receives a message naming its Debian package on failure.

  @return Its routines, or NULL when it is missing.
**/
const LIBXML2_LIBRARY *LoadLibxml2Library (std::string *Error);

#endif

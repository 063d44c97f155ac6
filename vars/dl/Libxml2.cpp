/** @file
  libxml2 loaded at run time.
**/

#include "vars/dl/Libxml2.h"

#include "vars/dl/OptionalLibrary.h"

// Filled in by the first load; plain pointers, so no constructor runs.
static LIBXML2_LIBRARY mLibxml2;

const LIBXML2_LIBRARY *
LoadLibxml2Library (std::string *Error)
{
  static const OPTIONAL_SYMBOL Symbols[] = {
    { "xmlReadMemory", reinterpret_cast<void **> (&mLibxml2.ReadMemory) },
    { "xmlFreeDoc", reinterpret_cast<void **> (&mLibxml2.FreeDoc) },
    { "xmlXPathNewContext", reinterpret_cast<void **> (&mLibxml2.NewContext) },
    { "xmlXPathFreeContext", reinterpret_cast<void **> (&mLibxml2.FreeContext) },
    { "xmlXPathEvalExpression", reinterpret_cast<void **> (&mLibxml2.Evaluate) },
    { "xmlXPathFreeObject", reinterpret_cast<void **> (&mLibxml2.FreeObject) },
    { "xmlParseURI", reinterpret_cast<void **> (&mLibxml2.ParseUri) },
    { "xmlFreeURI", reinterpret_cast<void **> (&mLibxml2.FreeUri) },
  };
  static const OPTIONAL_LIBRARY Library = { "libxml2.so.2", "libxml2", Symbols,
                                            sizeof (Symbols) / sizeof (Symbols[0]) };

  return LoadOptionalLibrary (&Library, Error) ? &mLibxml2 : NULL;
}

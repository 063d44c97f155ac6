/** @file
  The libraries that only some media need (libnbd and json-c for qcow2
  images, libvirt and libxml2 for domains), loaded when one is used, so that
  a plain NVRAM file needs libc alone and a missing library is named with its
  Debian package; each fills a typed table of its routines through
  LoadOptionalLibrary.
**/

#ifndef OPTIONAL_LIBRARY_H_
#define OPTIONAL_LIBRARY_H_

#include "platform/PlatformTypes.h"

#include <string>

///
/// One routine to look up: its name, and where its address goes.
///
typedef struct {
  const char *Name;
  void      **Address;
} OPTIONAL_SYMBOL;

///
/// A library, by its soname, the Debian package that provides it, and the
/// routines the caller needs from it.
///
typedef struct {
  const char            *Soname;
  const char            *Package;
  const OPTIONAL_SYMBOL *Symbols;
  UINTN                  SymbolCount;
} OPTIONAL_LIBRARY;

/**
  Loads a library once per run and fills in every routine's address.

  @param[in]  Library  The library and its routines.
  @param[out] Error    Receives a message naming the package on failure.

  @retval true   Every routine's address is filled in.
  @retval false  The library or one of its routines is missing.
**/
bool LoadOptionalLibrary (const OPTIONAL_LIBRARY *Library, std::string *Error);

#endif
